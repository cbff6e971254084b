"""Several Python threads on shared and separate boards.

The module never lets the interpreter lock go, so two calls overlap on a
board only when one of them runs Python code while it holds the board: a
depth's __index__ (held for reading), or a type's __qualname__ looked up for
an error message (held for writing by play). Such code that sleeps hands
the lock to other threads, whose calls must then be refused with the borrow
errors, and with nothing else.
"""

import os
import random
import subprocess
import sys
import textwrap
import threading

import game_model as model
import pytest
from tesko import Board, CardType, Player

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
RULE_ERRORS = set(model.M.values())


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


class Yielding:
    """A depth whose __index__ gives the interpreter lock away for a moment,
    with the board held for reading by play_bot."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        threading.Event().wait(0.0005)
        return self.value


class YieldingMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":  # looked up while play holds the board
            threading.Event().wait(0.0005)
            return "Slow"
        return super().__getattribute__(name)


Slow = YieldingMeta("Slow", (), {})


def test_threads_on_shared_and_separate_boards(fast_switching):
    shared = Board()
    start_grid = model.parse_deal(str(shared))
    played = []  # the plays that went through on the shared board, in order
    play_lock = threading.Lock()
    seen = []
    failures = []
    barrier = threading.Barrier(6)

    def worker(seed):
        rng = random.Random(seed)
        own = model.Game()  # nobody else touches it
        barrier.wait()
        for _ in range(400):
            board = shared if rng.random() < 0.7 else own.board
            player = rng.choice([Player.A, Player.B])
            what = rng.randrange(7)
            try:
                if what == 0:
                    text = str(board)
                    assert text.startswith(model.HEADER)
                elif what == 1:
                    assert type(board.get_legal_moves(player=player)) is list
                elif what == 2:
                    move = board.play_bot(player, Yielding(rng.randrange(3)))
                    assert type(move) is str
                elif what == 3:
                    with pytest.raises(TypeError):
                        board.play("A1", Slow(), "room")
                elif what == 4:
                    Board()
                    assert (
                        Player.A == 0
                        and CardType.Figure == 1
                        and repr(player).startswith("Player.")
                    )
                elif board is own.board:
                    letter = "AB"[int(player)]
                    moves = model.legal_moves(own.grid, letter)
                    if moves:
                        own.play(letter, rng.choice(moves))
                else:
                    moves = board.get_legal_moves(player)
                    if moves:
                        move = rng.choice(moves)
                        with play_lock:
                            board.play(move, player, "room")
                            played.append(("AB"[int(player)], move))
            except RuntimeError as e:
                seen.append(str(e))
                if str(e) not in BORROW_ERRORS or board is own.board:
                    failures.append(repr(e))
            except ValueError as e:
                # A legal move gone stale: another thread played in between.
                if e.args[0] not in RULE_ERRORS or board is own.board:
                    failures.append(repr(e))
            except Exception as e:
                failures.append(repr(e))
        assert str(own.board) == model.render(own.grid)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[:10]
    assert set(seen) <= BORROW_ERRORS
    assert seen, "no call ever met another one holding the board"
    grid = start_grid
    for letter, move in played:
        error, grid = model.check(grid, letter, move)
        assert error is None, (letter, move, error)
    assert str(shared) == model.render(grid)
    assert shared.get_legal_moves(Player.A) == model.legal_moves(grid, "A")


def run(code):
    env = dict(os.environ)
    tests = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (tests, env.get("PYTHONPATH")) if p)
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert result.returncode == 0, result.stderr[-4000:]
    return result.stdout


def test_concurrent_first_use_in_a_fresh_interpreter():
    """Threads that import the module, make its classes and members, deal
    and search for the first time in the process, all at once: one set of
    classes, one set of position keys (every thread gets the same move on
    the same board), and a random source of each thread's own."""
    out = run(
        """
        import sys, threading
        sys.setswitchinterval(1e-6)
        N = 8
        barrier = threading.Barrier(N)
        shared = []
        got = [None] * N

        def first_use(i):
            barrier.wait()
            import tesko
            classes = (tesko.Player, tesko.CardType, tesko.Board, tesko.Player.A, tesko.Player.B,
                       tesko.CardType.Normal, tesko.CardType.Figure)
            deals = [str(tesko.Board()) for _ in range(5)]
            if i == 0:
                shared.append(tesko.Board())
            barrier.wait()
            move = shared[0].play_bot(tesko.Player.A, 4)  # the first search of the process
            got[i] = (classes, deals, move)

        threads = [threading.Thread(target=first_use, args=(i,)) for i in range(N)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        import tesko
        assert all(g is not None for g in got)
        assert all(g[0] == got[0][0] and all(a is b for a, b in zip(g[0], got[0][0])) for g in got)
        assert got[0][0][:3] == (tesko.Player, tesko.CardType, tesko.Board)
        assert len({tuple(g[1]) for g in got}) == N, "two threads dealt the same games"
        assert {g[2] for g in got} == {shared[0].play_bot(tesko.Player.A, 4)}
        print("ok")
        """
    )
    assert out == "ok\n"


def test_a_forked_child_deals_other_games():
    out = run(
        """
        import os, tesko
        tesko.Board()  # the parent's random source is seeded before the fork
        read, write = os.pipe()
        pid = os.fork()
        deals = "".join(str(tesko.Board()) for _ in range(5))
        if pid == 0:
            os.write(write, deals.encode())
            os._exit(0)
        os.close(write)
        child = b""
        while chunk := os.read(read, 65536):
            child += chunk
        assert os.waitpid(pid, 0)[1] == 0
        assert child and child.decode() != deals
        print("ok")
        """
    )
    assert out == "ok\n"
