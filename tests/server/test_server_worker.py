"""The engine worker's searches on threads, against the referee's own."""

from __future__ import annotations

import random
import select

import pytest

pytest.importorskip("tesko_tools._analysis")


def finished(engine, timeout: float = 30) -> list:
    readable, _, _ = select.select([engine.searches.wake], [], [], timeout)
    assert readable, "no search finished"
    return engine.finished()


@pytest.mark.parametrize("seed", range(6))
def test_a_threaded_search_plays_the_referees_move(seed):
    """Positions along a random game: the move found on a search thread from
    the referee's model is the one the referee's play_bot finds on the board
    (face-down cards and captures included), and it is played."""
    from tesko_server.worker_process import Engine

    rng = random.Random(seed)
    engine = Engine()
    engine.handle((1, "new", "r", rng.choice("AB"), 200))
    game = engine.games["r"]
    for rid in range(2, 40):
        if game.over:
            break
        level = rng.randint(1, 6)
        expected = game.bot_move(level).move
        side = "AB"[int(game.to_move)]
        assert engine.handle((rid, "bot", "r", level, None)) is None  # answered later
        ((answered, ok, payload),) = finished(engine)
        assert (answered, ok) == (rid, True)
        assert payload["move"] == expected and payload["depth"] == level
        assert payload["turns"][0] == (side, expected)
        assert game.history[-len(payload["turns"])].move == expected
        if not game.over:  # and a random answer, to reach other positions
            engine.handle(
                (1000 + rid, "play", "r", "AB"[int(game.to_move)], rng.choice(game.legal_moves()))
            )


def test_a_room_dropped_during_its_search_is_answered_and_left_alone():
    from tesko_server.worker_process import Engine

    engine = Engine()
    engine.handle((1, "new", "r", "A", 200))
    game = engine.games["r"]
    engine.handle((2, "bot", "r", 3, 0.5))
    engine.handle((3, "drop", "r"))
    ((rid, ok, payload),) = finished(engine)
    assert (rid, ok, payload[0]) == (2, False, "busy")
    assert game.plies == 0


def test_searches_and_reviews_give_way_to_the_rooms_moves():
    """The threads that search for engine seats and review finished games run
    at a lower priority than the main thread, which answers people's moves."""
    import os
    import threading
    import time

    from tesko_server.worker_process import Engine

    answers: list = []
    engine = Engine(answers.extend)
    engine.handle((1, "new", "r", "A", 200))
    game = engine.games["r"]
    engine.handle((2, "bot", "r", 2, None))
    finished(engine)
    engine.handle((3, "review", "", game.layout, "A", 200, []))
    deadline = time.monotonic() + 30
    while not answers and time.monotonic() < deadline:  # the review is done
        time.sleep(0.01)
    threads = {t.name.split("_")[0]: t.native_id for t in threading.enumerate()}
    own = os.getpriority(os.PRIO_PROCESS, threading.get_native_id())
    niceness = {
        name: os.getpriority(os.PRIO_PROCESS, threads[name]) for name in ("search", "tesko-review")
    }
    assert answers and all(value > own for value in niceness.values()), (own, niceness)


@pytest.mark.parametrize("op", ["echo", "crash", "nothing"])
def test_the_servers_worker_knows_only_its_own_operations(op):
    """The tests' operations (a worker that echoes, or dies) are theirs
    alone: the server's worker refuses them as it refuses any unknown one."""
    from tesko_server.worker_process import Engine

    assert Engine().handle((1, op, "", "payload", 0.0)) == (
        1,
        False,
        ("bad_request", f"unknown operation {op!r}"),
    )
