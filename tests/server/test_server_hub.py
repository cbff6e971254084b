"""The hub's own rules, run in the test's event loop with recording
connections: seats changing hands, what hiding rooms send, limits on
events, rooms and spectators."""

from __future__ import annotations

import asyncio
import time

import pytest
from hub_helpers import attach, play, quick_room, running_hub, settle, two_seats
from server_helpers import run
from tesko_server.protocol import MAX_COUNTER, HubError, Move, Rematch


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
                hub.move(stale, Move(n=leaver_n + 1, move=legal[0]))
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
            hub.move(a, Move(n=1, move=move))
            hub.move(a, Move(n=1, move=move))
            await settle(hub, room)
            return [m for m in a.sent if m["type"] in ("ack", "event")]

    answers = run(scenario())
    kinds = [(m["type"], bool(m.get("duplicate"))) for m in answers]
    assert kinds == [("ack", False), ("event", False), ("ack", True)], kinds
    assert answers[2]["version"] == answers[0]["version"] == answers[1]["version"]


def test_a_repeated_rematch_offer_is_a_duplicate(tmp_path):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub, ply_limit=2)
            a, b = attach(hub, room, token_a), attach(hub, room, token_b)
            await play(hub, a, 1)
            await play(hub, b, 1)
            answers = []
            for n in (2, 3, 4):
                hub.rematch(a, Rematch(n=n))
                answers.append(await a.answer(n))
            await settle(hub, room)
            offers = [e for e in b.of("event") if e["event"]["kind"] == "rematch_offer"]
            # A page opened after the offer learns of it from its snapshot.
            late = attach(hub, room, token_b).of("snapshot")[0]["room"]["seats"]
            return answers, offers, hub.rooms[room].version, late

    answers, offers, version, late = run(scenario())
    first = answers[0]["version"]
    assert len(offers) == 1 and version == first
    assert (late["A"]["rematch_offer"], late["B"]["rematch_offer"]) == (True, False)
    assert [a.get("duplicate", False) for a in answers] == [False, True, True]
    assert {a["version"] for a in answers} == {first}


@pytest.mark.parametrize("offered_first", [False, True], ids=["no offer yet", "after an offer"])
def test_no_rematch_is_offered_once_the_other_seat_is_given_up(tmp_path, offered_first):
    """A finished room's free seat cannot be taken again, so an offer there
    would wait for ever: it is refused, and says why."""

    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub, ply_limit=2)
            a, b = attach(hub, room, token_a), attach(hub, room, token_b)
            await play(hub, a, 1)
            await play(hub, b, 1)
            if offered_first:
                hub.rematch(a, Rematch(n=2))
                assert (await a.answer(2))["type"] == "ack"
            await hub.leave(room, token_b)
            hub.rematch(a, Rematch(n=3))
            answer = await a.answer(3)
            await settle(hub, room)
            return answer, hub.rooms[room]

    answer, room = run(scenario())
    assert (answer["type"], answer["code"]) == ("refused", "opponent_left")
    assert room.row.rematch is None and room.seats["A"].last_n != 3


def test_joins_per_room_are_bounded(tmp_path):
    async def scenario():
        async with running_hub(tmp_path, max_joins=3) as hub:
            room, _, token = await two_seats(hub)  # the first join
            for _ in range(2):
                await hub.leave(room, token)
                token = (await hub.join(room, {"name": "Bia"}))["token"]
            await hub.leave(room, token)  # leaving is always allowed
            with pytest.raises(HubError) as refused:
                await hub.join(room, {"name": "Bia"})
            version = hub.rooms[room].version
        async with running_hub(tmp_path, max_joins=3) as hub:  # counted from the store
            with pytest.raises(HubError) as again:
                await hub.join(room, {"name": "Bia"})
        return refused.value.code, again.value.code, version

    assert run(scenario()) == ("too_many_joins", "too_many_joins", 6)


@pytest.mark.parametrize(
    ("restart", "behind", "events"),
    [(False, 0, True), (False, 4, True), (False, 5, False), (True, 4, True), (True, 5, False)],
)
def test_a_long_catch_up_is_answered_with_a_snapshot(tmp_path, restart, behind, events):
    async def scenario():
        async with running_hub(tmp_path, catch_up=4) as hub:
            room, token_a, token_b = await two_seats(hub)  # version 1: B's join
            a, b = attach(hub, room, token_a), attach(hub, room, token_b)
            for n in range(1, 4):
                await play(hub, a, n)
                await play(hub, b, n)
            await settle(hub, room)
            if not restart:
                return hub.rooms[room].version, list(attach(hub, room, None, 7 - behind).sent)
        async with running_hub(tmp_path, catch_up=4) as hub:
            return hub.rooms[room].version, list(attach(hub, room, None, 7 - behind).sent)

    version, sent = run(scenario())
    assert version == 7
    kinds = [m["type"] for m in sent]
    if events:
        assert kinds == ["welcome"] + ["event"] * behind + ["presence"]
        assert [m["version"] for m in sent[1:-1]] == list(range(8 - behind, 8))
    else:
        assert kinds[:2] == ["welcome", "snapshot"] and sent[1]["version"] == 7


def test_room_creation_is_rate_limited_per_address(tmp_path):
    async def scenario():
        async with running_hub(tmp_path, create_rate=60) as hub:  # bursts of 15
            made = []
            for _ in range(18):
                try:
                    await hub.create({}, "10.0.0.1")
                    made.append("made")
                except HubError as err:
                    made.append(err.code)
            await hub.create({}, "10.0.0.2")  # another address is not held back
            return made

    made = run(scenario())
    assert made == ["made"] * 15 + ["too_many_requests"] * 3


def test_rooms_held_are_bounded_the_earliest_finished_deleted_first(tmp_path):
    async def scenario():
        async with running_hub(tmp_path, max_rooms_held=3) as hub:
            first, second = await quick_room(hub), await quick_room(hub)
            waiting = [(await hub.create({}, "10.0.0.1"))["room"]["id"]]
            held = [set(hub.rooms)]
            for _ in range(2):
                waiting.append((await hub.create({}, "10.0.0.1"))["room"]["id"])
                held.append(set(hub.rooms))
            with pytest.raises(HubError) as full:
                await hub.create({}, "10.0.0.1")
        async with running_hub(tmp_path, max_rooms_held=3) as hub:
            stored = set(hub.rooms)
        return first, second, waiting, held, full.value.code, stored

    first, second, waiting, held, code, stored = run(scenario())
    assert held == [
        {first, second, waiting[0]},
        {second, *waiting[:2]},
        set(waiting),
    ]
    assert code == "server_full" and stored == set(waiting)


def test_rooms_where_nobody_holds_a_seat_expire_sooner(tmp_path):
    async def scenario():
        async with running_hub(tmp_path, idle_timeout=100, unjoined_timeout=10) as hub:
            await hub.create({}, "10.0.0.1")  # nobody sits down
            seated, _, _ = await two_seats(hub)
            left, token, _ = await two_seats(hub)
            await hub.leave(left, token)
            await hub.join(left, {"name": "Cy"})
            emptied = await hub.create({"join": {"name": "Di"}}, "10.0.0.1")
            await hub.leave(emptied["room"]["id"], emptied["token"])
            now = time.time()
            hub.expire(now + 11)
            soon = set(hub.rooms)
            hub.expire(now + 101)
            return {seated, left}, soon, set(hub.rooms)

    seated, soon, late = run(scenario())
    assert soon == seated and not late


def spectators_known(conn) -> int:
    """The spectators' count as the connection last heard it."""
    counts = [
        m["room"]["spectators"] if m["type"] == "snapshot" else m["spectators"]
        for m in conn.sent
        if m["type"] in ("snapshot", "presence")
    ]
    return counts[-1]


def test_presence_is_coalesced_and_spectators_are_capped(tmp_path):
    async def scenario():
        # Presence at most every 0.1 s: the waits below outlast it.
        async with running_hub(tmp_path, max_spectators=40, presence_interval=0.1) as hub:
            room, token_a, _ = await two_seats(hub)
            seat = attach(hub, room, token_a)
            watchers = [attach(hub, room) for _ in range(40)]
            with pytest.raises(HubError) as full:
                attach(hub, room)
            attach(hub, room, token_a)  # a seat is not a spectator
            await asyncio.sleep(0.2)
            arrived = [w.of("presence") for w in watchers]
            known = [spectators_known(w) for w in watchers]
            for watcher in watchers:
                hub.detach(watcher)
            attach(hub, room)  # room again for one
            await asyncio.sleep(0.2)
            return full.value.code, arrived, known, seat.of("presence")

    code, arrived, known, seen = run(scenario())
    assert code == "too_many_spectators"
    assert sum(len(p) for p in arrived) <= 2 * len(arrived)
    assert known == [40] * 40
    assert len(seen) <= 5 and seen[-1]["spectators"] == 1


@pytest.mark.parametrize("call", ["leave", "join", "create"])
def test_a_lobby_call_after_the_stop_is_told_the_server_stops(tmp_path, call):
    """Once the drain has closed the store, a call that would write is
    refused as the server stopping, not as a store that failed."""

    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub)
            await hub.leave(room, token_a)  # seat A free for a join
        # The hub has drained: its store is closed.
        with pytest.raises(HubError) as refused:
            if call == "leave":
                await hub.leave(room, token_b)
            elif call == "join":
                await hub.join(room, {"name": "Cy"})
            else:
                await hub.create({}, "10.0.0.2")
        return refused.value.code

    assert run(scenario()) == "shutting_down"
