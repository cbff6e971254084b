"""Move clocks through the real server: the option, moves in and out of
time, the loss on time, engine seats, and a kill -9 in a timed game."""

from __future__ import annotations

import asyncio
import sqlite3
import time

import pytest
from server_helpers import STORES, Server, run, seated_pair, until
from tesko_server.client import Lobby, LobbyError, MoveRefused, RoomClient
from tesko_server.rows import Alive
from tesko_server.store import MIGRATIONS, SCHEMA_VERSION, SqliteStore


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """The default times per move and two short ones, for the tests that run
    out of time."""
    server = Server(tmp_path_factory.mktemp("clocks"), "--move-times", "1,3,15,30,60")
    yield server.start()
    server.end()


@pytest.mark.parametrize(
    "move_time, accepted",
    [(None, True), (15, True), (60.0, True)] + [(v, False) for v in (10, "30", True, [30])],
)
def test_a_room_takes_a_time_per_move_from_the_lobby_and_no_other(server, move_time, accepted):
    async def scenario():
        lobby = Lobby(server.base)
        try:
            made = await lobby.create(move_time=move_time, join={"name": "Ana"})
        except LobbyError as err:
            return err
        return (await lobby.read(made["room"]["id"]))["room"]

    answer = run(scenario())
    if accepted:
        assert answer["options"]["move_time"] == move_time
    else:
        assert isinstance(answer, LobbyError)
        assert (answer.status, answer.code) == (400, "bad_request")
        assert "move_time" in answer.message


def test_a_move_just_in_time_is_played_a_late_one_refused_and_the_game_lost_on_time(server):
    async def scenario():
        a, b = await seated_pair(server.base, move_time=1)
        watcher = RoomClient(server.base, a.room_id)
        await watcher.connect()
        assert a.clock["seat"] == "A" and 0.5 < a.clock_left() <= 1.0
        # A moves a moment before its deadline: played, and B's clock starts full.
        await until(lambda: a.clock_left() < 0.25)
        ack = await a.play(a.legal_moves[0])
        await until(lambda: b.my_turn)
        assert b.clock["seat"] == "B" and b.clock_left() > 0.7
        # B waits past its deadline: its move is refused, and it has lost on time.
        move = b.legal_moves[0]
        await asyncio.sleep(1.2)
        with pytest.raises(MoveRefused) as late:
            await b.play(move)
        await until(lambda: a.over and b.over and watcher.over)
        return a, b, watcher, ack, late.value

    a, b, watcher, ack, late = run(scenario())
    assert ack["version"] and not ack.get("duplicate")
    assert late.code == "out_of_time"
    for client in (a, b, watcher):
        result = client.result
        assert (result["winner"], result["end"]) == ("A", "time")
        assert result["text"] == "A wins on time: B ran out of time"
        assert client.clock is None and client.room["status"] == "over"
        ending = [m["event"] for m in client.messages if m["type"] == "event"][-1]
        assert ending == {"kind": "timeout", "seat": "B"}
    assert [p for _, p, _ in server.stored_turns()[a.room_id]] == ["A"]


def test_engine_seats_have_no_clock_and_the_person_gets_full_time_after_them(server):
    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(
            move_time=3,
            seats={"B": {"kind": "engine", "level": 2, "think_time": 0.05}},
            join={"seat": "A", "name": "Ana"},
        )
        me = RoomClient(server.base, made["room"]["id"], token=made["token"])
        await me.connect()
        for _ in range(3):
            if not await me.wait_for_turn():
                break
            await asyncio.sleep(0.25)  # a person's clock runs while they think
            await me.play(me.legal_moves[0])
        return me

    me = run(scenario())
    snapshot = next(m for m in me.messages if m["type"] == "snapshot")
    events = [m for m in me.messages if m["type"] == "event"]
    assert snapshot["clock"]["seat"] == "A"
    assert {e["state"]["to_move"] for e in events} >= {"A", "B"}
    for event in events:
        to_move = event["state"]["to_move"]
        if to_move == "B" or to_move is None:
            assert event["clock"] is None
        else:  # sent as the engine's move is: A's full time
            assert event["clock"]["seat"] == "A" and event["clock"]["left"] > 2.9


@pytest.mark.parametrize("store_url", STORES, indirect=True)
def test_a_kill_9_brings_the_clock_back_with_the_time_it_had_and_not_the_outage(server_factory):
    server = server_factory("--move-times", "2")

    async def scenario():
        a, b = await seated_pair(server.base, move_time=2)
        await until(lambda: a.clock_left() <= 1.2)
        server.kill()
        await asyncio.sleep(1.3)  # longer than the 1.2 s A had: charged, A would lose
        server.start()
        restarted = time.monotonic()
        while not a.reconnects:
            await a.ensure_connected()
            await asyncio.sleep(0.05)
        # The clock as the restarted server sends it, once it runs again.
        await until(lambda: a.clock_at > restarted and a.clock and a.clock["running"], timeout=20)
        left = a.clock_left()
        await until(lambda: a.over, timeout=20)
        return a, left

    a, left = run(scenario())
    # A had 1.2 s at the kill, up to one heartbeat (0.5 s) more at the last
    # note the server kept; a little went by between the rebuild and now.
    assert 0.5 < left <= 1.75
    assert a.result["end"] == "time" and a.result["winner"] == "B"
    log = server.log.read_text()
    assert "clock restored with" in log


def test_an_older_store_gains_the_clock_columns_and_keeps_its_rooms(tmp_path):
    path = str(tmp_path / "old.db")
    with sqlite3.connect(path) as db:  # a store of the first schema, with a room
        db.executescript(MIGRATIONS[0] + "CREATE TABLE schema_version (version INTEGER);")
        db.execute("INSERT INTO schema_version VALUES (1)")
        db.execute("INSERT INTO rooms VALUES ('r1',1,1,'A',200,0,'','{}','me',NULL,NULL,0)")
    store = SqliteStore(path)
    try:
        assert store.schema_version == SCHEMA_VERSION
        (old,) = asyncio.run(store.load_rooms(finished_after=0))
        assert old.room.id == "r1" and old.room.move_time is None and old.room.deadline is None
        assert asyncio.run(store.last_alive()) is None
        asyncio.run(store.write([Alive(5.0), Alive(7.5)]))
        assert asyncio.run(store.last_alive()) == 7.5
    finally:
        asyncio.run(store.close())
