"""Rooms shared by two nodes on one PostgreSQL store, each node a hub in the
test's event loop: a room is taken when it is asked for, at the position
its last owner committed; once taken, the old owner writes and
acknowledges nothing more of it, and tells its sockets to reconnect."""

from __future__ import annotations

import asyncio
import contextlib
import json
import time
import urllib.request

import pytest

pytest.importorskip("asyncpg", reason="asyncpg missing (pip install '.[server]')")

from hub_helpers import attach, play, running_hub, settle, two_seats  # noqa: E402
from server_helpers import run, until  # noqa: E402
from tesko_server import pglisten  # noqa: E402
from tesko_server.pgstore import PgStore  # noqa: E402
from tesko_server.protocol import HubError, Move  # noqa: E402

RECONNECT = (1012, "reconnect")


@contextlib.asynccontextmanager
async def nodes(tmp_path, database, count: int = 2):
    """`count` hubs, each its own node of the store at `database`."""
    async with contextlib.AsyncExitStack() as stack:
        hubs = []
        for i in range(count):
            folder = tmp_path / f"node{i}"
            folder.mkdir()
            store = await PgStore.open(database, node=f"node{i}")
            hubs.append(await stack.enter_async_context(running_hub(folder, store=store)))
        yield hubs


def test_a_node_holds_no_room_until_asked_then_continues_at_its_position(tmp_path, database):
    async def scenario():
        async with nodes(tmp_path, database) as (a, b):
            room, token_a, token_b = await two_seats(a)
            ana = attach(a, room, token_a)
            assert (await play(a, ana, 1))["type"] == "ack"
            await settle(a, room)
            position = a.rooms[room].committed_state
            assert b.rooms == {}  # nothing loaded at its start
            # Asked several times at once, it takes the room once.
            await asyncio.gather(*(b.hold(room) for _ in range(5)))
            assert await b.store.owner(room) == ("node1", 2)
            assert b.rooms[room].committed_state == position
            with pytest.raises(HubError, match="no such room"):
                await b.hold("not-a-room")
            assert await b.store.owner("not-a-room") is None
            # The seat's counter came with it: a resend is a duplicate, the
            # next move is played on the board rebuilt from the store.
            ana_b = attach(b, room, token_a)
            bia_b = attach(b, room, token_b)
            b.move(ana_b, Move(n=1, move="A1"))
            assert (await ana_b.answer(1))["type"] == "ack"
            assert (await play(b, bia_b, 1))["type"] == "ack"
            await settle(b, room)
            return room, await b.store.load_moves(room), ana

    room, moves, old = run(scenario())
    assert len(moves) == 2 and None not in moves
    assert old.closing == RECONNECT  # told at once, by the claim's notification


@pytest.mark.parametrize("hears_the_claim", [False, True], ids=["fenced", "told"])
def test_the_old_owner_acknowledges_nothing_once_the_room_is_taken(
    tmp_path, database, hears_the_claim
):
    """Fenced: the old node has not heard of the takeover (its listening
    connection down) and tries to write; told: it hears of it and drops the
    room before anything more is asked of it. Either way its sockets are
    told to reconnect, and the store holds each acknowledged move once."""

    async def scenario():
        async with nodes(tmp_path, database) as (a, b):
            room, token_a, token_b = await two_seats(a)
            ana, bia = attach(a, room, token_a), attach(a, room, token_b)
            watcher = attach(a, room)
            first = a.rooms[room].committed_state["legal_moves"][0]
            acked = [(await play(a, ana, 1))["version"]]
            await settle(a, room)
            if not hears_the_claim:
                await a.store._listener.close()  # as if its connection were down
            legal = a.rooms[room].committed_state["legal_moves"]
            await b.hold(room)
            if hears_the_claim:
                await until(lambda: room not in a.rooms)
            a.move(bia, Move(n=1, move=legal[0]))  # to the old owner
            await until(lambda: bia.closing is not None)
            assert room not in a.rooms
            # The move the old owner could not commit lands once, through
            # the new owner, when its client sends it there again.
            bia_b = attach(b, room, token_b)
            b.move(bia_b, Move(n=1, move=legal[0]))
            acked.append((await bia_b.answer(1))["version"])
            await settle(b, room)
            return acked, await b.store.load_moves(room), [first, legal[0]], (ana, bia, watcher)

    acked, moves, played, old = run(scenario())
    assert [conn.closing for conn in old] == [RECONNECT] * 3
    assert [m["type"] for m in old[1].sent if m["type"] in ("ack", "refused")] == []
    assert acked == [2, 3] and moves == played  # after the join's event, 1


def test_two_nodes_asked_at_once_leave_one_owner(tmp_path, database):
    async def scenario():
        async with nodes(tmp_path, database, 3) as (maker, a, b):
            room, _, _ = await two_seats(maker)
            await asyncio.gather(a.hold(room), b.hold(room), return_exceptions=True)
            await until(lambda: sum(room in hub.rooms for hub in (maker, a, b)) == 1)
            (holder,) = [hub for hub in (maker, a, b) if room in hub.rooms]
            return await holder.store.owner(room), holder.store.node, holder.store.epochs[room]

    (node, epoch), holder, held = run(scenario())
    assert (node, epoch) == (holder, held)


def test_a_claim_missed_while_the_listening_connection_was_down_is_caught_up(
    tmp_path, database, monkeypatch
):
    """The claim's notification is lost with the old owner's listening
    connection; when that connection is back, the node checks the owners
    of the rooms it holds, and drops the one it lost."""
    # Away long enough for the claim to come meanwhile, however slow the machine.
    monkeypatch.setattr(pglisten, "PAUSES", (1.0,))

    async def scenario():
        async with nodes(tmp_path, database) as (a, b):
            room, token_a, _ = await two_seats(a)
            ana = attach(a, room, token_a)
            # Nothing more to write of it (else that write would be fenced).
            await until(lambda: not a.lobby.dirty and a.committer.idle)
            await asyncio.sleep(0.1)
            pid = a.store._listener._conn.get_server_pid()
            await b.store._pool.execute("SELECT pg_terminate_backend($1)", pid)
            await until(lambda: not a.store._listener.connected)
            await b.hold(room)  # while it is away
            assert a.rooms[room] is not None  # not heard
            await until(lambda: ana.closing is not None, timeout=5)
            return ana.closing, room in a.rooms

    assert run(scenario()) == (RECONNECT, False)


def test_through_real_servers_a_room_asked_for_elsewhere_closes_its_sockets_here(
    tmp_path, database
):
    """Two server processes on one store: reading a room through the second
    takes it at the version the first served, and the first closes the
    room's sockets with 1012 "reconnect"; the player's client, coming back,
    finds its game where it was."""
    import websockets
    from server_helpers import Server
    from tesko_server.client import Lobby, RoomClient

    servers = []
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        servers.append(Server(tmp_path / name, "--node-id", name, store=database))

    async def scenario():
        a, b = servers
        made = await Lobby(a.base).create(join={"seat": "A", "name": "Ana"})
        room = made["room"]["id"]
        joined = await Lobby(a.base).join(room, "Bia")
        ana = RoomClient(a.base, room, token=made["token"])
        await ana.connect()
        await ana.play(ana.legal_moves[0])
        url = a.base.replace("http", "ws") + f"/ws/{room}"
        async with websockets.connect(url) as watcher:
            await watcher.send(json.dumps({"type": "hello", "protocol": 1}))
            await watcher.recv()  # welcome
            read = await Lobby(b.base).read(room)  # the second server takes it
            with contextlib.suppress(websockets.ConnectionClosed):
                while True:
                    await watcher.recv()
            closed = (watcher.close_code, watcher.close_reason)
        # Bia, through the second server, where the router now sends her.
        bia = RoomClient(b.base, room, token=joined["token"])
        await bia.connect()
        await bia.play(bia.legal_moves[0])
        return read["version"], closed, bia.version

    def counted(server: Server) -> list[str]:
        with urllib.request.urlopen(server.base + "/metrics", timeout=5) as answer:
            text = answer.read().decode()
        return [line for line in text.splitlines() if line.startswith("tesko_rooms_")]

    try:
        for server in servers:
            server.start()
        version, closed, after = run(scenario())
        metrics = [counted(server) for server in servers]
    finally:
        for server in servers:
            server.stop()
    assert closed == RECONNECT
    assert (version, after) == (2, 3)  # the join, Ana's move; then Bia's
    assert [[m for m in counts if "_total" in m] for counts in metrics] == [
        ["tesko_rooms_taken_total 0.0", "tesko_rooms_lost_total 1.0"],
        ["tesko_rooms_taken_total 1.0", "tesko_rooms_lost_total 0.0"],
    ]


def test_a_room_taken_from_a_live_node_keeps_its_clock_running(tmp_path, database):
    """The clock the new owner restores is the old owner's: its deadline less
    the old owner's last alive time, not a fresh move's time."""

    async def scenario():
        async with nodes(tmp_path, database) as (a, b):
            room, _, _ = await two_seats(a, move_time=15)
            await asyncio.sleep(2.5)
            told = a.rooms[room].clock.remaining(time.monotonic())
            await b.hold(room)
            clock = b.rooms[room].clock
            return told, clock.seat, clock.remaining(time.monotonic())

    told, seat, left = run(scenario())
    assert seat == "A"
    # Restored from a fresh move's time, it would be 2.5 s more; from the old
    # owner's last alive time (a beat every 0.5 s), within about a beat.
    assert 9 < told < 13 and abs(left - told) < 1.2


def test_an_engine_search_of_a_room_taken_elsewhere_ends_quietly(tmp_path, database, caplog):
    """The old owner's search is not wanted once another node holds the
    room (which searches again): its end is no fault of the engine."""

    async def scenario():
        async with nodes(tmp_path, database) as (a, b):
            made = await a.create(
                {
                    "seats": {"B": {"kind": "engine", "level": 12, "think_time": 2}},
                    "join": {"seat": "A", "name": "Ana"},
                },
                "10.0.0.1",
            )
            room = made["room"]["id"]
            ana = attach(a, room, made["token"])
            assert (await play(a, ana, 1))["type"] == "ack"
            await until(lambda: a.rooms[room].phase.with_engine)
            await b.hold(room)
            await until(lambda: room not in a.rooms)
            await asyncio.sleep(2.5)  # the search's think time is over

    with caplog.at_level("INFO", logger="tesko_server"):
        run(scenario())
    assert [r.getMessage() for r in caplog.records if r.levelname == "ERROR"] == []
