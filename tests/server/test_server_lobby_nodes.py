"""The lobby and the room limits of two nodes on one PostgreSQL store, each
node a hub in the test's event loop: each lists the other's public rooms
as the other shows them, never a private one, and the limits on unfinished
rooms count the rooms of both."""

from __future__ import annotations

import contextlib

import pytest

pytest.importorskip("asyncpg", reason="asyncpg missing (pip install '.[server]')")

from hub_helpers import attach, quick_room, running_hub  # noqa: E402
from server_helpers import run, until  # noqa: E402
from tesko_server.pgstore import PgStore  # noqa: E402
from tesko_server.protocol import HubError  # noqa: E402


@contextlib.asynccontextmanager
async def nodes(tmp_path, database, **settings):
    async with contextlib.AsyncExitStack() as stack:
        hubs = []
        for i in range(2):
            folder = tmp_path / f"node{i}"
            folder.mkdir()
            store = await PgStore.open(database, node=f"node{i}")
            hubs.append(await stack.enter_async_context(running_hub(folder, store, **settings)))
        yield hubs


def listed(hub, status: str) -> dict[str, dict]:
    return {summary["id"]: summary for summary in hub.list_rooms(status)}


def test_each_node_lists_the_public_rooms_made_on_the_other(tmp_path, database):
    async def scenario():
        async with nodes(tmp_path, database) as (a, b):
            hidden = (await a.create({"public": False}, "10.0.0.1"))["room"]["id"]
            made = await a.create({"join": {"seat": "A", "name": "Ana"}}, "10.0.0.1")
            room, token_a = made["room"]["id"], made["token"]
            theirs = (await b.create({}, "10.0.0.2"))["room"]["id"]
            await until(lambda: room in listed(b, "waiting") and theirs in listed(a, "waiting"))
            assert listed(b, "waiting")[room] == a.rooms[room].summary()
            assert list(listed(a, "waiting")) == list(listed(b, "waiting")) == [theirs, room]
            # Both seats taken and played from: in the players' lists of both.
            token_b = (await a.join(room, {"name": "Bia"}))["token"]
            await until(lambda: room not in listed(b, "waiting"))
            assert room not in listed(b, "playing")  # nobody connected
            attach(a, room, token_a)
            attach(a, room, token_b)
            await until(lambda: room in listed(b, "playing"))
            assert listed(b, "playing")[room] == a.rooms[room].summary()
            # Taken by the other node, the room is listed as that node holds
            # it: nobody is connected there yet, so in no list.
            await b.hold(room)
            await until(lambda: room not in listed(a, "playing"))
            assert room not in listed(b, "playing")
            # A room deleted (expired) on its node leaves the other's lobby.
            b._delete(b.rooms[theirs], "expired (idle)")
            await until(lambda: theirs not in listed(a, "waiting"))
            # The private room was never in any node's lobby, nor in the store's.
            await a.committer.settled()
            assert hidden not in await b.store.lobby_entries([hidden, room, theirs])
            for hub in (a, b):
                assert hidden not in {*listed(hub, "waiting"), *listed(hub, "playing")}

    run(scenario())


def test_the_room_limits_count_the_rooms_of_every_node(tmp_path, database):
    async def scenario():
        refused = []

        async def refusal(hub, address):
            with pytest.raises(HubError) as err:
                await hub.create({}, address)
            refused.append(err.value.code)

        async with nodes(tmp_path, database, max_rooms=3, max_rooms_per_address=2) as (a, b):
            await a.create({}, "10.0.0.1")
            finished = await quick_room(b, "10.0.0.1")
            # The finished room has left its maker's count, whichever node
            # asks next; the two unfinished ones, on two nodes, are counted.
            assert b.rooms[finished].over
            await b.committer.settled()
            await a.create({}, "10.0.0.1")
            await refusal(b, "10.0.0.1")
            await b.create({}, "10.0.0.2")
            await refusal(a, "10.0.0.3")
        return refused

    assert run(scenario()) == ["too_many_rooms", "server_full"]


def test_a_room_no_node_holds_expires_from_every_lobby_and_count(tmp_path, database):
    async def scenario():
        folders = [tmp_path / "a", tmp_path / "b"]
        for folder in folders:
            folder.mkdir()
        store = await PgStore.open(database, node="a")
        async with running_hub(folders[0], store, max_rooms_per_address=1) as a:
            room = (await a.create({}, "10.0.0.1"))["room"]["id"]
            await until(lambda: room in a.lobby.others)  # its entry is in the store
        # Node a stopped: nobody holds the room now, nor asks for it.
        store = await PgStore.open(database, node="b")
        async with running_hub(
            folders[1], store, max_rooms_per_address=1, idle_timeout=0.5, sweep_interval=0.1
        ) as b:
            await until(lambda: room not in listed(b, "waiting"))
            assert await b.store.load_room(room) is None
            await b.create({}, "10.0.0.1")  # its count is given back

    run(scenario())
