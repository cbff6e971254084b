"""tesko_tools._analysis: the bot's search on a position given as values.

The search's results depend, rarely, on the process's random position keys:
two positions whose keys share a table place replace each other's entries,
and a later probe then finds or misses a remembered result. Across key sets
the bot's move differed for about 1 in 1,000 positions at depth 4 and about
1 in 100 at depths 6 to 8. `tesko` and `_analysis` each build their own
keys, so their moves are compared exactly at every depth only with equal
keys (both seeded, in a fresh interpreter, against the bot turn that
`Board.play_bot` runs), and against `Board.play_bot` itself at depths 1 and
2, whose passes store nothing that a shallower probe could miss (depth 1)
or only the root moves' own positions (depth 2).
"""

from __future__ import annotations

import math
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from tesko import Player
from tesko_tools import Game
from tesko_tools._analysis import search, think

WIN = 10000

# A1 holds A's face-up Normal, C4 B's face-down Normal: A takes B's last card
# at once; B, to move, can only take its own.
LAST_CARD = [(0, 0, False)] + [None] * 10 + [(1, 0, True)]


def cells_of(game: Game) -> list[tuple[int, int, bool] | None]:
    return [
        None if c is None else (int(c.owner), int(c.kind), not c.face_up)
        for c in game._position.cells
    ]


def games(seed: int, count: int):
    """Dealt games, some of them played on a few random moves."""
    rng = random.Random(seed)
    for _ in range(count):
        game = Game()
        for _ in range(rng.randrange(6)):
            if game.over or not game.legal_moves():
                break
            game.play(rng.choice(game.legal_moves()))
        yield game


@pytest.mark.parametrize("side", [Player.A, Player.B])
def test_same_move_as_play_bot(side):
    for game in games(int(side), 12):
        cells = cells_of(game)
        for depth in (1, 2):
            score, move = search(cells, int(side), depth)
            assert move == game.board.play_bot(side, depth), (str(game), depth)


EQUAL_KEYS = textwrap.dedent(
    """
    import random, sys
    import _tesko_testing as t
    from tesko_tools import _analysis as a
    assert t.seed_zobrist(2026) and a._seed_zobrist(2026)
    rng = random.Random(7)
    compared = 0
    for _ in range(40):
        grid, _ = t.deal([rng.getrandbits(32) for _ in range(64)])
        side = rng.randrange(2)
        for _ in range(rng.randrange(10)):
            moves = t.legal_moves(grid, side)
            if not moves:
                break
            grid = t.apply_action(grid, rng.choice(moves))
            side ^= 1
        cells = [None if c is None else (c[1], c[2], bool(c[0])) for c in grid]
        for depth in range(1, DEPTH + 1):
            expected = t.bot_turn(grid, side, depth)[0]
            found = a.search(cells, side, depth)[1]
            if found != expected:
                sys.exit(f"{grid} side {side} depth {depth}: {found!r}, the bot {expected!r}")
            compared += 1
    print(compared)
    """
)


def test_same_move_as_the_bot_turn_with_equal_keys():
    testing = pytest.importorskip("_tesko_testing", reason="needs the engine test module")
    from tesko_tools import _analysis

    if not hasattr(_analysis, "_seed_zobrist"):
        pytest.skip("_analysis was built without TESKO_TESTING")
    del testing
    run = subprocess.run(
        [sys.executable, "-c", EQUAL_KEYS.replace("DEPTH", "7")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr or run.stdout
    assert int(run.stdout) == 40 * 7


@pytest.mark.parametrize(
    "side, depth, expected",
    [
        # A wins at once: the first pass finds WIN_SCORE with no depth left.
        (0, 5, (WIN, "C4")),
        # B's only move loses; every pass looks one ply further.
        (1, 1, (-WIN, "C4")),
        (1, 4, (-WIN - 3, "C4")),
        # Depth 0 searches nothing: the position's own value.
        (0, 0, (10 - 10, "")),
    ],
)
def test_scores_are_the_side_to_moves(side, depth, expected):
    assert search(LAST_CARD, side, depth) == expected


@pytest.mark.parametrize("side", [0, 1])
def test_material_score_is_seen_from_the_side_to_move(side):
    # A face-up Figure of A's at A1, a face-up Normal of B's at C4: A is 5
    # ahead, and neither can take anything in one move.
    cells = [(0, 1, False)] + [None] * 10 + [(1, 0, False)]
    assert search(cells, side, 0) == (5 if side == 0 else -5, "")


@pytest.mark.parametrize(
    "cells, side, depth, expected",
    [
        # B has no card left: no move, and B has lost.
        ([(0, 0, False)] + [None] * 11, 1, 3, (-WIN - 3, "")),
        ([(0, 0, False)] + [None] * 11, 1, 0, (-WIN, "")),
        # Nothing on the grid: nothing to win or lose.
        ([None] * 12, 0, 4, (0, "")),
    ],
)
def test_no_move(cells, side, depth, expected):
    assert search(cells, side, depth) == expected
    assert think(cells, side, depth, 1.0) == (*expected, 0)


@pytest.mark.parametrize("seconds", [0.05, 0.1, 0.2])
def test_think_returns_its_deepest_finished_pass(seconds):
    cells = cells_of(Game())
    start = time.perf_counter()
    score, move, done = think(cells, 0, 60, seconds)
    elapsed = time.perf_counter() - start
    assert 1 <= done < 60
    # A margin for a machine busy with other work: the search it stopped
    # would have run for hours.
    assert seconds <= elapsed < seconds + 0.5
    # The same keys in this process: the first `done` passes are the search
    # to that depth.
    assert (score, move) == search(cells, 0, done)


@pytest.mark.parametrize("seconds", [0, 0.0, 1e-9])
def test_think_always_finishes_depth_one(seconds):
    cells = cells_of(Game())
    score, move, done = think(cells, 1, 40, seconds)
    assert done == 1
    assert (score, move) == search(cells, 1, 1)


def test_think_without_a_deadline_is_search():
    cells = cells_of(Game())
    assert think(cells, 0, 4, math.inf) == (*search(cells, 0, 4), 4)


def test_other_threads_run_during_a_search():
    cells = cells_of(Game())
    span: list[float] = []
    started = threading.Event()

    def worker() -> None:
        started.set()
        span.append(time.perf_counter())
        think(cells, 0, 60, 0.4)
        span.append(time.perf_counter())

    thread = threading.Thread(target=worker)
    thread.start()
    started.wait()
    ticks = []
    while thread.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    thread.join()
    inside = [t for t in ticks if span[0] + 0.1 < t < span[1] - 0.1]
    assert len(inside) > 20, f"{len(inside)} ticks of the main thread during the search"


GOOD = [(0, 0, False)] + [None] * 11


@pytest.mark.parametrize(
    "args, error, text",
    [
        (("cells", 0, 1), TypeError, "cells must be a sequence of 12 cells, not 'str'"),
        ((None, 0, 1), TypeError, "cells must be a sequence of 12 cells, not 'NoneType'"),
        ((GOOD[:11], 0, 1), ValueError, "cells must hold 12 cells (A1 to C4), not 11"),
        (([None] * 11 + [(0, 0)], 0, 1), ValueError, "cell C4 must be a tuple"),
        (([None] * 4 + [[0, 0, False]] + [None] * 7, 0, 1), TypeError, "cell B1 must be None"),
        # The engine test module's order (face_down, owner, kind) is caught.
        (([(1, 0, 0)] + [None] * 11, 0, 1), TypeError, "cell A1: face_down must be a bool"),
        (([(2, 0, False)] + [None] * 11, 0, 1), ValueError, "cell A1: owner must be 0 or 1"),
        (([(0, True, False)] + [None] * 11, 0, 1), TypeError, "cell A1: kind must be an int"),
        (([(0, 1, False)] * 3 + [None] * 9, 0, 1), ValueError, "A 0 Normal cards and 3 Figures"),
        (([(1, 0, True)] * 5 + [None] * 7, 0, 1), ValueError, "B 5 Normal cards and 0 Figures"),
        ((GOOD, 2, 1), ValueError, "side must be 0 or 1, not 2"),
        ((GOOD, Player.A, 1), TypeError, "side must be an int, not 'Player'"),
        ((GOOD, True, 1), TypeError, "side must be an int, not 'bool'"),
        ((GOOD, 0, -1), ValueError, "depth must be from 0 to 4294967295, not -1"),
        ((GOOD, 0, 2**32), ValueError, "depth must be from 0 to 4294967295"),
        ((GOOD, 0, 2.0), TypeError, "depth must be an int, not 'float'"),
        ((GOOD, 0), TypeError, "missing required argument 'depth'"),
    ],
)
def test_argument_errors(args, error, text):
    for call in (
        lambda: search(*args),
        lambda: think(*args, 1.0) if len(args) == 3 else think(*args),
    ):
        with pytest.raises(error) as info:
            call()
        assert type(info.value) is error
        assert text in str(info.value)


@pytest.mark.parametrize(
    "seconds, error, text",
    [
        (-0.5, ValueError, "seconds must be 0 or more, not -0.5"),
        (math.nan, ValueError, "seconds must be 0 or more, not nan"),
        ("1", TypeError, "seconds must be an int or a float, not 'str'"),
        (False, TypeError, "seconds must be an int or a float, not 'bool'"),
    ],
)
def test_think_seconds_errors(seconds, error, text):
    with pytest.raises(error, match="^" + text.replace("(", r"\(").replace(")", r"\)")):
        think(GOOD, 0, 1, seconds)


def test_keywords():
    assert search(cells=LAST_CARD, side=0, depth=2) == (WIN, "C4")
    assert think(cells=LAST_CARD, side=0, depth=2, seconds=1) == (WIN, "C4", 1)
