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
    from tesko_server.worker import Engine

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
    from tesko_server.worker import Engine

    engine = Engine()
    engine.handle((1, "new", "r", "A", 200))
    game = engine.games["r"]
    engine.handle((2, "bot", "r", 3, 0.5))
    engine.handle((3, "drop", "r"))
    ((rid, ok, payload),) = finished(engine)
    assert (rid, ok, payload[0]) == (2, False, "busy")
    assert game.plies == 0
