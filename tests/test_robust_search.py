"""Deep, endless and interrupted searches.

Each case runs in a fresh interpreter, so that a crash or a hang fails the
case instead of ending the whole run.
"""

import os
import resource
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from docs_text import examples

TESTS = os.path.dirname(os.path.abspath(__file__))
UNDER_ASAN = any("libasan" in line for line in open("/proc/self/maps"))
MAX_DEPTH = 2**32 - 1

# Shared by the scripts below: a think-time limit as a host would set one.
PRELUDE = """\
import os, random, resource, signal, sys, time
import game_model as model
import tesko
from tesko import Board, Player

class OutOfTime(Exception):
    pass

def out_of_time(signum, frame):
    raise OutOfTime

signal.signal(signal.SIGALRM, out_of_time)

def think(board, player, depth, seconds):
    '''The bot's move, or None when `seconds` ran out first.'''
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        try:
            return board.play_bot(player, depth)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except OutOfTime:
        return None

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def mappings():
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)

def still_works(game):
    '''The board renders as the model says, and takes reads and writes.'''
    assert str(game.board) == model.render(game.grid)
    for letter in "AB":
        assert game.board.get_legal_moves(game.player(letter)) == model.legal_moves(game.grid, letter)
        move = game.board.play_bot(game.player(letter), 2)
        assert move in model.bot_moves(game.grid, letter) or (move == "" and not model.bot_moves(game.grid, letter))
    moves = model.legal_moves(game.grid, "A")
    if moves:
        game.play("A", moves[0])
"""


def run(code, *, stack=None, timeout=300, prelude=PRELUDE):
    """Runs `code` after `prelude` in a fresh interpreter; its stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (TESTS, env.get("PYTHONPATH")) if p)

    def limit_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (stack, stack))

    result = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        preexec_fn=limit_stack if stack else None,
    )
    assert result.returncode == 0, result.stderr[-4000:]
    return result.stdout


@pytest.mark.parametrize("player", ["A", "B"])
def test_endless_depth_on_small_positions_is_stopped_by_think_time(player):
    """On a handful of cards the search follows lines as deep as it is told
    (moves that turn cards over can go on for ever). Asked for the largest
    depth there is, it either finds a forced win or runs until the think
    time runs out; either way the board is untouched and usable."""
    out = run(
        f"""
        _tesko_testing = __import__("_tesko_testing")
        def as_tuples(grid):
            return tuple(None if c is None else (int(c.down), "AB".index(c.owner), "NF".index(c.kind)) for c in grid)
        def nodes(grid, side, depth):
            table = _tesko_testing.Table()
            return table.minimax(as_tuples(grid), depth, True, side, side, -2147483646, 2147483645)[1]
        rng = random.Random()
        side = "AB".index("{player}")
        # Take cards off with random moves of either side (the engine keeps
        # no turn order) until a few are left on both sides, in a position
        # that the side cannot win within 30 plies and where twice the depth
        # costs clearly more nodes: the lines do not end.
        for attempt in range(500):
            game = model.Game()
            target = rng.randint(4, 6)
            while sum(c is not None for c in game.grid) > target:
                sides = [letter for letter in "AB" if model.legal_moves(game.grid, letter)]
                if not sides:
                    break
                letter = rng.choice(sides)
                moves = model.legal_moves(game.grid, letter)
                down = [m for m in moves if len(m) == 2 and game.grid[model.slot(m)].down]
                game.play(letter, rng.choice(down if down and rng.random() < 0.5 else moves))
            owners = {{c.owner for c in game.grid if c is not None}}
            if owners != {{"A", "B"}} or _tesko_testing.bot_turn(as_tuples(game.grid), side, 30)[2] < 30:
                continue  # over, or won within 30 plies
            if nodes(game.grid, side, 400) > 1.5 * nodes(game.grid, side, 200):
                break
        else:
            raise AssertionError("no small position with endless lines was reached")
        before = str(game.board)
        player = game.player("{player}")
        start = time.monotonic()
        move = think(game.board, player, {MAX_DEPTH}, 1.0)
        took = time.monotonic() - start
        assert took < 15, took  # stops soon after its limit, not hours later
        assert str(game.board) == before
        assert move is None or move in model.bot_moves(game.grid, "{player}"), move
        still_works(game)
        print("stopped" if move is None else "won")
        """
    )
    assert out in ("stopped\n", "won\n")


def test_think_time_stops_a_search_whose_every_move_ends_the_game():
    """Each pass of such a search settles every root move at once (the side
    can only take its own last card off), so no pass ever goes into the
    loop of the search proper, and the passes go on for a very long time:
    the think time must still stop them."""
    out = run(
        f"""
        def cornered(grid):  # A's one card face down, B's cards all face up
            mine = [c for c in grid if c and c.owner == "A"]
            theirs = [c for c in grid if c and c.owner == "B"]
            return len(mine) == 1 and mine[0].down and theirs and not any(c.down for c in theirs)
        rng = random.Random()
        for attempt in range(2000):
            game = model.Game()
            for step in range(60):
                sides = [letter for letter in "AB" if model.legal_moves(game.grid, letter)]
                if cornered(game.grid) or not sides:
                    break
                letter = rng.choice(sides)
                game.play(letter, rng.choice(model.legal_moves(game.grid, letter)))
            if cornered(game.grid):
                break
        else:
            raise AssertionError("A was never cornered")
        start = time.monotonic()
        assert think(game.board, Player.A, {MAX_DEPTH}, 0.2) is None
        assert time.monotonic() - start < 15
        still_works(game)
        print("stopped")
        """,
        timeout=120,
    )
    assert out == "stopped\n"


def test_extreme_depth_keeps_off_the_thread_stack():
    """A single search 100,000 plies deep, in a process whose thread stack
    is limited to 1 MiB, so that its frames must live elsewhere. The lines
    really are that long: a hundred times the depth costs about a hundred
    times the nodes (every remaining depth down to 0 is visited). The result
    is that of a shallower search shifted by the extra depth (a win found at
    the same ply)."""
    out = run(
        """
        _tesko_testing = __import__("_tesko_testing")
        # A1 A up Normal, A2 B down Normal, A3 A down Figure, B1 B up Normal,
        # B3 B down Figure, B4 A down Normal: cards turn over for ever.
        grid = ((0, 0, 0), (1, 1, 0), (1, 0, 1), None, (0, 1, 0), None, (1, 1, 1), (1, 0, 0), None, None, None, None)
        def search(depth):
            table = _tesko_testing.Table()
            return table.minimax(grid, depth, False, 1, 0, -2147483646, 2147483645)
        shallow, shallow_nodes = search(1000)
        deep, deep_nodes = search(100_000)
        assert deep - shallow == 99_000, (shallow, deep)
        assert deep_nodes > 50 * shallow_nodes, (shallow_nodes, deep_nodes)
        print("deep")
        """,
        stack=1 << 20,
    )
    assert out == "deep\n"


def test_scores_near_the_largest_depth_stay_in_range():
    """Won and lost positions searched with the largest depth: WIN_SCORE plus
    the remaining depth would leave 32 bits; the scores stay inside the
    search's window, with the right sign (the sanitizer build would stop on
    any signed overflow)."""
    out = run(
        f"""
        _tesko_testing = __import__("_tesko_testing")
        won = ((0, 0, 0),) + (None,) * 11            # only the bot (A) has a card
        lost = ((0, 1, 1),) + (None,) * 11           # only the opponent has
        short = ((0, 0, 0), None, None, None, None, None, None, None, None, None, None, (0, 1, 0))
        for grid, sign in ((won, 1), (lost, -1), (short, 0)):
            for depth in (2**31 - 10001, 2**31 - 1, 2**31 + 5, {MAX_DEPTH}):
                for maximizing in (True, False):
                    table = _tesko_testing.Table()
                    s, _ = table.minimax(grid, depth, maximizing, 0 if maximizing else 1, 0, -2147483646, 2147483645)
                    assert -2147483646 < s < 2147483645, (depth, s)
                    assert sign == 0 or s * sign > 9000, (grid, depth, s)
        # The side that can take the last card wins at once, whatever the depth.
        move, nodes, passes = _tesko_testing.bot_turn(short[:11] + ((1, 1, 0),), 0, {MAX_DEPTH})
        assert (move, passes) == ("C4", 1), (move, passes)
        print("in range")
        """
    )
    assert out == "in range\n"


def test_think_time_stops_a_search_promptly_and_leaves_the_board_usable():
    out = run(
        f"""
        game = model.Game()
        before = str(game.board)
        for seconds in (0.05, 0.3):
            start = time.monotonic()
            assert think(game.board, Player.A, {MAX_DEPTH}, seconds) is None
            assert time.monotonic() - start < seconds + 5
            assert str(game.board) == before
        still_works(game)
        print("stopped")
        """
    )
    assert out == "stopped\n"


def test_signal_handlers_that_return_do_not_change_the_result():
    """A handler that only counts ticks runs during the search, and the
    search then goes on to the same move as without it."""
    out = run(
        """
        board = Board()
        plain = board.play_bot(Player.B, 10)
        ticks = []
        signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            ticked = board.play_bot(Player.B, 10)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert ticked == plain, (ticked, plain)
        print("same", len(ticks))
        """
    )
    assert out.startswith("same ") and int(out.split()[1]) > 0, out


def test_signal_handler_reentering_the_board_during_a_search():
    """A handler that runs in the middle of a search may read the board
    (a nested search with a table of its own), is refused a write to it,
    may change another board, and may then end the search."""
    out = run(
        f"""
        game, other = model.Game(), model.Game()
        before = str(game.board)
        seen = []
        def reenter(*_):
            seen.append(str(game.board) == before)
            seen.append(game.board.play_bot(Player.B, 3) in model.bot_moves(game.grid, "B"))
            seen.append(game.board.get_legal_moves(Player.A) == model.legal_moves(game.grid, "A"))
            try:
                game.board.play(model.legal_moves(game.grid, "A")[0], Player.A, "room")
            except RuntimeError as e:
                seen.append(str(e) == "Already borrowed")
            else:
                seen.append(False)
            other.play("B", model.legal_moves(other.grid, "B")[0])
            if len(seen) >= 15:
                raise OutOfTime
        signal.signal(signal.SIGALRM, reenter)
        signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
        try:
            game.board.play_bot(Player.A, {MAX_DEPTH})
        except OutOfTime:
            pass
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert seen and all(seen), seen
        still_works(game)
        assert str(other.board) == model.render(other.grid)
        print("reentered")
        """
    )
    assert out == "reentered\n"


def test_repeated_interrupted_searches_keep_memory_flat():
    """Every interrupted search gives back its table and its frames: the
    resident size and the number of mappings stay flat over many, stopped
    at all sorts of depths."""
    rounds = 10 if UNDER_ASAN else 60
    out = run(
        f"""
        game = model.Game()
        def stop_some(n):
            for i in range(n):
                player = (Player.A, Player.B)[i % 2]
                assert think(game.board, player, {MAX_DEPTH}, 0.005 + 0.005 * (i % 7)) is None
        stop_some(10)
        rss, maps = resident(), mappings()
        stop_some({rounds})
        grown = resident() - rss
        print(grown, mappings() - maps)
        still_works(game)
        """
    )
    grown, maps = map(int, out.split())
    assert maps <= 2, maps
    if not UNDER_ASAN:  # the sanitizer holds freed memory back on purpose
        assert grown < 4 << 20, grown


@pytest.mark.parametrize("caught", [True, False])
def test_ctrl_c_ends_a_long_search(caught):
    """SIGINT during a search that would run for hours: KeyboardInterrupt,
    caught by the host with the board usable, or ending the interpreter the
    usual way."""
    code = textwrap.dedent(
        f"""
        game = model.Game()
        before = str(game.board)
        try:
            print("searching", flush=True)
            game.board.play_bot(Player.B, {MAX_DEPTH})
        except KeyboardInterrupt:
            if not {caught}:
                raise
            assert str(game.board) == before
            still_works(game)
            print("interrupted", flush=True)
        """
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (TESTS, env.get("PYTHONPATH")) if p)
    child = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + code],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        assert child.stdout.readline() == "searching\n"
        time.sleep(0.3)  # well into the search
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    if caught:
        assert child.returncode == 0 and out == "interrupted\n", err
    else:
        assert child.returncode == -signal.SIGINT, err
        assert err.rstrip().endswith("KeyboardInterrupt"), err


def test_docs_think_time_recipe_runs():
    for code in examples("docs/embedding.md", "## Think time"):
        assert run(code + "\nprint(board)\n", prelude="").startswith("   1   2   3   4\n")
