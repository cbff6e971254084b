"""The hub's own rules, run in the test's event loop with recording
connections: seats changing hands, what hiding rooms send, limits on
events, rooms and spectators."""

from __future__ import annotations

import pytest
from hub_helpers import attach, running_hub, settle
from server_helpers import run
from tesko_server.rooms import MAX_COUNTER


async def two_seats(hub, **options):
    made = await hub.create({"join": {"seat": "A", "name": "Ana"}, **options}, "10.0.0.1")
    room = made["room"]["id"]
    joined = await hub.join(room, {"name": "Bia"})
    return room, made["token"], joined["token"]


async def play(hub, conn, n: int) -> dict:
    """Play the seat's first legal move under `n`; its answer."""
    room = conn.room
    hub.move(conn, {"type": "move", "move": room.committed_state["legal_moves"][0], "n": n})
    return await conn.answer(n)


@pytest.mark.parametrize(
    ("leaver_n", "restart"), [(5, False), (MAX_COUNTER - 1, False), (MAX_COUNTER - 1, True)]
)
def test_a_seat_given_up_is_lost_at_once_and_its_counter_starts_again(tmp_path, leaver_n, restart):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub)
            stale = attach(hub, room, token_a)  # never reads: its close stays queued
            b = attach(hub, room, token_b)
            assert (await play(hub, stale, leaver_n))["type"] == "ack"
            assert (await play(hub, b, 1))["type"] == "ack"
            await hub.leave(room, token_a)
            assert stale.closing == (1000, "seat given up")
            if not restart:
                token_c = (await hub.join(room, {"name": "Cy", "seat": "A"}))["token"]
                # The old socket's move is not the new occupant's.
                legal = hub.rooms[room].committed_state["legal_moves"]
                hub.move(stale, {"type": "move", "move": legal[0], "n": leaver_n + 1})
                await settle(hub, room)
                assert not [m for m in stale.sent if m.get("n") == leaver_n + 1]
                assert len(hub.rooms[room].history) == 2
                return await play(hub, attach(hub, room, token_c), 1)
        async with running_hub(tmp_path) as hub:
            token_c = (await hub.join(room, {"name": "Cy", "seat": "A"}))["token"]
            return await play(hub, attach(hub, room, token_c), 1)

    answer = run(scenario())
    assert answer["type"] == "ack" and not answer.get("duplicate")


@pytest.mark.parametrize("hide", [True, False])
def test_a_room_that_hides_owners_sends_no_counts_until_the_end(tmp_path, hide):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub, ply_limit=4, hide_face_down_owners=hide)
            a, b = attach(hub, room, token_a), attach(hub, room, token_b)
            states = [a.of("snapshot")[0]["state"], hub.read(room)["state"]]
            for n in range(1, 5):
                await play(hub, a if n % 2 else b, n)
                states.append(hub.read(room)["state"])
            await settle(hub, room)
            late = attach(hub, room)  # a snapshot of the finished game
            return states + [e["state"] for e in a.of("event")] + [late.of("snapshot")[0]["state"]]

    states = run(scenario())
    playing = [s for s in states if s["result"] is None]
    over = [s for s in states if s["result"] is not None]
    assert len(playing) >= 6 and len(over) >= 3
    for state in playing:
        assert (state["cards"] is None) == hide and (state["material"] is None) == hide
    for state in over:
        assert state["material"] == state["result"]["material"] and len(state["cards"]) == 2


def test_a_resent_move_is_answered_after_the_original_is_committed(tmp_path):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub)
            a, _b = attach(hub, room, token_a), attach(hub, room, token_b)
            move = hub.rooms[room].committed_state["legal_moves"][0]
            # The resend arrives while the original is still with the engine.
            hub.move(a, {"type": "move", "move": move, "n": 1})
            hub.move(a, {"type": "move", "move": move, "n": 1})
            await settle(hub, room)
            return [m for m in a.sent if m["type"] in ("ack", "event")]

    answers = run(scenario())
    kinds = [(m["type"], bool(m.get("duplicate"))) for m in answers]
    assert kinds == [("ack", False), ("event", False), ("ack", True)], kinds
    assert answers[2]["version"] == answers[0]["version"] == answers[1]["version"]
