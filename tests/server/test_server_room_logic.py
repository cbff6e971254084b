"""The room logic's promises, in the test's event loop: nothing is told
before the store holds it, a failed write acknowledges nothing, a restart
keeps every seat's counter, and the bookkeeping of seats, lists and counts
that a client cannot see go wrong until much later."""

from __future__ import annotations

import asyncio

import pytest
from hub_helpers import (
    WitnessStore,
    attach,
    play,
    quick_room,
    running_hub,
    settle,
    two_seats,
)
from server_helpers import run, until
from tesko_server.protocol import HubError, Move, Rematch
from tesko_server.worker_pool import EngineRefused


def test_no_ack_and_no_event_before_its_commit_has_returned(tmp_path):
    async def scenario():
        store = WitnessStore(str(tmp_path / "store.db"))
        async with running_hub(tmp_path, store=store) as hub:
            room, token_a, token_b = await two_seats(hub, ply_limit=4)
            a, b = attach(hub, room, token_a), attach(hub, room, token_b)
            watcher = attach(hub, room)
            for n in range(1, 5):
                await play(hub, a if n % 2 else b, n)
            hub.rematch(a, Rematch(n=3))
            await a.answer(3)
            await settle(hub, room)
            told = [m for conn in (a, b, watcher) for m in conn.stamped()]
            return room, store.written, told

    room, written, told = run(scenario())
    checked = 0
    for stamp, message in told:
        if message["type"] in ("ack", "event") and message.get("version") is not None:
            assert written[(room, message["version"])] < stamp, message
            checked += 1
    assert checked >= 15  # 5 acks, and 5 events to each of three


def test_one_commit_in_flight_while_the_next_batch_gathers(tmp_path):
    async def scenario():
        store = WitnessStore(str(tmp_path / "store.db"))
        async with running_hub(tmp_path, store=store) as hub:
            rooms = [await two_seats(hub) for _ in range(3)]
            seats = [attach(hub, room, token_a) for room, token_a, _ in rooms]
            store.hold()
            moves = [Move(n=1, move=conn.room.committed_state["legal_moves"][0]) for conn in seats]
            hub.move(seats[0], moves[0])
            await until(lambda: store.in_flight == 1)
            hub.move(seats[1], moves[1])
            hub.move(seats[2], moves[2])
            await until(lambda: not any(r.phase.with_engine for r in hub.rooms.values()))
            await asyncio.sleep(0.05)
            early = [m for conn in seats for m in conn.sent if m["type"] == "ack"]
            store.release()
            for conn in seats:
                await conn.answer(1)
            return early, store.batches[-2:], store.most_in_flight, [r for r, _, _ in rooms]

    early, (first, then), most, ids = run(scenario())
    assert early == []  # nobody hears of a move whose commit has not returned
    assert most == 1
    assert {room for room, _ in first} == {ids[0]}
    assert {room for room, _ in then} == {ids[1], ids[2]}  # gathered while the first was held


@pytest.mark.parametrize("request_kind", ["move", "join", "rematch"])
def test_a_failed_commit_acknowledges_nothing(tmp_path, request_kind):
    async def scenario():
        failures = []
        store = WitnessStore(str(tmp_path / "store.db"))
        async with running_hub(tmp_path, store=store, on_failure=failures.append) as hub:
            room, token_a, token_b = await two_seats(hub, ply_limit=2)
            a, b = attach(hub, room, token_a), attach(hub, room, token_b)
            if request_kind == "rematch":
                await play(hub, a, 1)
                await play(hub, b, 1)
                await settle(hub, room)
            else:
                await hub.leave(room, token_b)
                if request_kind == "move":
                    await hub.join(room, {"name": "Cy"})
            before = len(a.sent)
            store.fail = True
            error = None
            if request_kind == "join":
                try:
                    await hub.join(room, {"name": "Cy"})
                except HubError as err:
                    error = err.code
            else:
                if request_kind == "move":
                    hub.move(a, Move(n=5, move=hub.rooms[room].state["legal_moves"][0]))
                else:
                    hub.rematch(a, Rematch(n=5))
                await until(lambda: failures)
                await asyncio.sleep(0.1)
            return failures, error, a.sent[before:], hub.rooms[room].committed_version

    failures, error, after, committed = run(scenario())
    assert len(failures) == 1 and isinstance(failures[0], OSError)
    assert error == (None if request_kind != "join" else "store_failed")
    assert [m for m in after if m["type"] in ("ack", "event")] == []
    assert all(m.get("version", 0) <= committed for m in after)


@pytest.mark.parametrize("last", ["move", "rematch", "move_then_other_moves"])
def test_a_restart_keeps_each_seats_last_counter_so_a_resend_is_a_duplicate(tmp_path, last):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub, ply_limit=2 if last == "rematch" else 8)
            a, b = attach(hub, room, token_a), attach(hub, room, token_b)
            await play(hub, a, 1)
            await play(hub, b, 1)
            if last == "rematch":  # the game is over: A offers a rematch
                hub.rematch(a, Rematch(n=7))
                first = await a.answer(7)
            else:
                first = await play(hub, a, 7)  # counters may skip
            if last == "move_then_other_moves":
                await play(hub, b, 2)
                await play(hub, a, 8)
                await play(hub, b, 3)
                first = next(m for m in a.sent if m["type"] == "ack" and m["n"] == 7)
            await settle(hub, room)
        async with running_hub(tmp_path) as hub:
            a = attach(hub, room, token_a)
            welcome = a.of("welcome")[0]
            if last == "rematch":
                hub.rematch(a, Rematch(n=7))
            else:
                hub.move(a, Move(n=7, move="A1"))
            again = await a.answer(7)
            await settle(hub, room)
            return first, welcome, again, hub.rooms[room].version

    first, welcome, again, version = run(scenario())
    expected_last = 8 if last == "move_then_other_moves" else 7
    assert first["type"] == "ack" and not first.get("duplicate")
    assert welcome["last_n"] == expected_last
    assert again == {"type": "ack", "n": 7, "version": first["version"], "duplicate": True}
    assert version == welcome["version"]  # nothing applied again


def test_face_down_owners_stay_hidden_beside_rooms_that_show_them(tmp_path):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            # The rooms that show owners play first, so their cells' texts
            # are made before the hiding room's.
            rooms = []
            for hide in (False, False, False, False, True):
                room, token_a, token_b = await two_seats(hub, hide_face_down_owners=hide)
                a, b = attach(hub, room, token_a), attach(hub, room, token_b)
                for n in range(1, 4):
                    await play(hub, a, n)
                    await play(hub, b, n)
                await settle(hub, room)
                rooms.append((room, hide))
            return [(hide, attach(hub, room, None, 0).of("event")) for room, hide in rooms]

    for hide, events in run(scenario()):
        cells = [c for e in events for c in e["state"]["cells"]]
        down = [c for c in cells if not c["empty"] and not c["face_up"]]
        assert len(events) == 7 and down
        assert {c["owner"] is None and c["kind"] is None for c in down} == {hide}


@pytest.mark.parametrize("ending", ["engine", "people", "people_and_restart"])
def test_a_finished_room_no_longer_counts_against_its_creator(tmp_path, ending):
    async def finish(hub):
        if ending == "engine":
            return await quick_room(hub)
        room, token_a, token_b = await two_seats(hub, ply_limit=2)
        await play(hub, attach(hub, room, token_a), 1)
        await play(hub, attach(hub, room, token_b), 1)
        await settle(hub, room)
        return room

    async def scenario():
        async with running_hub(tmp_path, max_rooms_per_address=2) as hub:
            for _ in range(2):
                assert hub.rooms[await finish(hub)].over
            if ending != "people_and_restart":
                await hub.create({}, "10.0.0.1")
                await hub.create({}, "10.0.0.1")
                with pytest.raises(HubError) as refused:
                    await hub.create({}, "10.0.0.1")
                return refused.value.code
        async with running_hub(tmp_path, max_rooms_per_address=2) as hub:
            await hub.create({}, "10.0.0.1")
            await hub.create({}, "10.0.0.1")
            with pytest.raises(HubError) as refused:
                await hub.create({}, "10.0.0.1")
            return refused.value.code

    assert run(scenario()) == "too_many_rooms"


def test_rooms_asked_for_at_once_are_counted_before_they_are_dealt(tmp_path):
    """A room is counted from the moment it is admitted, not once dealt: the
    requests made meanwhile see it, and a room not made gives its place back."""

    async def scenario():
        async with running_hub(tmp_path, max_rooms_per_address=2) as hub:
            deal = hub.pool.request

            def refuse_to_deal(room, op, *args):
                if op != "new":
                    return deal(room, op, *args)
                future = asyncio.get_running_loop().create_future()
                future.set_exception(EngineRefused("bad_request", "no cards today"))
                return future

            hub.pool.request = refuse_to_deal
            for _ in range(2):
                with pytest.raises(HubError, match="could not deal"):
                    await hub.create({}, "10.0.0.1")
            hub.pool.request = deal
            made = await asyncio.gather(
                *(hub.create({}, "10.0.0.1") for _ in range(3)), return_exceptions=True
            )
            return [m.code if isinstance(m, HubError) else "made" for m in made]

    assert sorted(run(scenario())) == ["made", "made", "too_many_rooms"]


def test_moves_queued_by_a_seat_given_up_are_dropped_with_it(tmp_path):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, token_b = await two_seats(hub)
            a, stale = attach(hub, room, token_a), attach(hub, room, token_b)
            hub.pool.held = True  # A's move stays with the engine
            legal = hub.rooms[room].state["legal_moves"]
            hub.move(a, Move(n=1, move=legal[0]))
            # B's moves wait behind it, for after A's turn.
            for n, move in enumerate(legal[1:4], start=1):
                hub.move(stale, Move(n=n, move=move))
            await hub.leave(room, token_b)
            token_c = (await hub.join(room, {"name": "Cy", "seat": "B"}))["token"]
            c = attach(hub, room, token_c)
            hub.pool.release()
            await a.answer(1)
            await settle(hub, room)
            return stale.sent, c.sent, hub.rooms[room].history, c.of("welcome")[0]["last_n"]

    stale, c, history, last_n = run(scenario())
    assert [m for m in stale if m.get("n") is not None] == []
    assert [m for m in c if m["type"] in ("ack", "refused")] == []
    assert len(history) == 1 and last_n == 0


@pytest.mark.parametrize("status", ["waiting", "playing"])
def test_private_rooms_are_not_listed(tmp_path, status):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            made = {}
            for public in (True, False):
                if status == "waiting":
                    made[public] = (await hub.create({"public": public}, "10.0.0.1"))["room"]["id"]
                else:
                    made[public], token, _ = await two_seats(hub, public=public)
                    attach(hub, made[public], token)
            return made, [r["id"] for r in hub.list_rooms(status)]

    made, listed = run(scenario())
    assert listed == [made[True]]
