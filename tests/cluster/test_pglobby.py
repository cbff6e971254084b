"""What nodes share through the PostgreSQL store besides their rooms: the
lobby (each node's view of the others' public rooms), the room limits, and
an alive row per node. Two stores on one database stand for two nodes
(tests/server/test_server_lobby_nodes.py has two hubs)."""

from __future__ import annotations

import asyncio
import logging
import time

import pytest

pytest.importorskip("asyncpg", reason="asyncpg missing (pip install '.[server]')")

import asyncpg  # noqa: E402
from tesko_server import pglisten  # noqa: E402
from tesko_server.lobby import StoreLobby  # noqa: E402
from tesko_server.pgstore import PgStore  # noqa: E402
from tesko_server.room import Room, Seat  # noqa: E402
from tesko_server.rows import Alive, DeleteRoom, RoomRow  # noqa: E402


def run(coro):
    return asyncio.run(coro)


def row(room_id: str, creator: str = "198.51.100.1", **fields) -> RoomRow:
    values = dict(
        id=room_id,
        created=time.time(),
        public=True,
        first="A",
        ply_limit=60,
        hide_face_down_owners=False,
        layout="L",
        initial_state={"result": None, "plies": 0, "to_move": "A", "cells": []},
        creator=creator,
    )
    values.update(fields)
    return RoomRow(**values)


async def poll(check, timeout: float = 5.0):
    """Wait until `check()` is true (bounded); returns its last value."""
    deadline = time.monotonic() + timeout
    while not (value := check()) and time.monotonic() < deadline:
        await asyncio.sleep(0.01)
    return value


def ids(lobby: StoreLobby, status: str) -> list[str]:
    return [summary["id"] for summary in lobby.list(status)]


class Node:
    """A node's store and lobby view, its rooms made by hand; the view's
    entries are committed as the hub's group commit would."""

    def __init__(self, store: PgStore) -> None:
        self.store = store
        self.rooms: dict[str, Room] = {}
        self.lobby = StoreLobby(self.rooms, 100, 100, store, self._write, interval=0.05)
        self.commits: list[asyncio.Task] = []

    def _write(self, changes) -> None:
        self.commits.append(asyncio.ensure_future(self.store.write(changes)))

    async def make(self, room_id: str, public: bool = True) -> Room:
        room = Room(row(room_id, public=public), {"A": Seat("human"), "B": Seat("human")})
        await self.store.claim(room_id, new=True)
        await self.store.write([room.row])
        self.rooms[room_id] = room
        self.lobby.changed(room)
        return room

    async def settled(self) -> None:
        await poll(lambda: not self.lobby.dirty and all(t.done() for t in self.commits))
        for task in self.commits:
            await task  # a failed commit fails the test


@pytest.mark.parametrize("how", ["killed", "silent"])
def test_the_lobby_catches_up_after_its_listening_connection_is_lost(
    database, monkeypatch, caplog, how
):
    """Killed: PostgreSQL ends the connection. Silent: the connection stops
    answering (its check takes longer than it may)."""
    # The first attempt to come back waits long enough for a change to be
    # made while nobody listens.
    monkeypatch.setattr(pglisten, "PAUSES", (1.0, 0.1))
    if how == "silent":
        monkeypatch.setattr(pglisten, "CHECK_INTERVAL", 0.1)
        monkeypatch.setattr(pglisten, "CHECK_TIMEOUT", 0.2)
        monkeypatch.setattr(pglisten, "_CHECK", "SELECT pg_sleep(5)")
    caplog.set_level(logging.INFO, logger="tesko_server")

    async def go():
        a, b = (
            Node(await PgStore.open(database, node="a")),
            Node(await PgStore.open(database, node="b")),
        )
        try:
            await b.lobby.start()
            listener = b.store._listener
            if how == "killed":
                admin = await asyncpg.connect(database)
                try:
                    killed = await admin.fetchval(
                        "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                        " WHERE application_name='tesko-server listener'"
                    )
                finally:
                    await admin.close()
                assert killed == 1
            assert await poll(lambda: not listener.connected)
            monkeypatch.setattr(pglisten, "_CHECK", "SELECT 1")
            await a.make("missed")
            await a.settled()
            assert await poll(lambda: ids(b.lobby, "waiting") == ["missed"])
            assert listener.connected
            # Listening again: a change after it is heard.
            await a.make("heard")
            await a.settled()
            assert await poll(lambda: ids(b.lobby, "waiting") == ["heard", "missed"])
        finally:
            for n in (a, b):
                n.lobby.close()
                await n.store.close()

    run(go())
    said = [r.getMessage() for r in caplog.records]
    (lost,) = [line for line in said if "listening connection was lost" in line]
    assert ("did not answer within 0.2 s" in lost) == (how == "silent")
    assert sum("listening connection is back" in line for line in said) == 1


def test_the_room_limits_hold_across_two_nodes(database):
    """Reservations from two nodes at once: never more than the limits."""

    async def go():
        a, b = await PgStore.open(database, node="a"), await PgStore.open(database, node="b")
        try:
            asked = [
                (a if i % 2 else b).reserve_room(f"x{i}", "x", max_rooms=6, max_per_creator=4)
                for i in range(10)
            ]
            answers = await asyncio.gather(*asked)
            assert answers.count(None) == 4
            assert set(answers) == {None, "too_many_rooms"}
            asked = [
                (a if i % 2 else b).reserve_room(f"y{i}", f"y{i}", max_rooms=6, max_per_creator=4)
                for i in range(6)
            ]
            answers = await asyncio.gather(*asked)
            assert answers.count(None) == 2
            assert set(answers) == {None, "server_full"}
            assert (await a.open_rooms(), await b.open_rooms("x")) == (6, 4)
        finally:
            await a.close()
            await b.close()

    run(go())


def test_a_room_id_is_made_by_one_node_only(database):
    """Two nodes making rooms under one id (the router's): the second's
    reservation and claim are refused, and the first keeps its room."""

    async def go():
        a, b = await PgStore.open(database, node="a"), await PgStore.open(database, node="b")
        try:
            assert await a.reserve_room("r1", "x", 10, 10) is None
            assert await b.reserve_room("r1", "y", 10, 10) == "room_moved"
            assert await a.claim("r1", new=True) == 1
            assert await b.claim("r1", new=True) is None
            await a.write([row("r1", "x")])
            assert await b.claim("r1", new=True) is None
            assert (await a.owner("r1"), b.epochs) == (("a", 1), {})
            assert (await b.open_rooms("x"), await b.open_rooms("y")) == (1, 0)
        finally:
            await a.close()
            await b.close()

    run(go())


LEAVING = ["finished", "deleted", "reservation given back", "reservation lapsed"]


@pytest.mark.parametrize("how", LEAVING)
def test_a_room_leaves_the_counts_once_it_is_over(database, how):
    async def go():
        a, b = await PgStore.open(database, node="a"), await PgStore.open(database, node="b")
        try:
            for room_id in ("r1", "r2"):
                assert await a.reserve_room(room_id, "x", 10, 2) is None
            # The room that stays is written (its reservation kept, however
            # old), and written again later: still counted once.
            await a.claim("r1", new=True)
            await a.write([row("r1", "x")])
            await a.write([row("r1", "x", deadline=5.0, deadline_set=1.0)])
            if how in ("finished", "deleted"):
                await a.claim("r2", new=True)
                await a.write([row("r2", "x")])
            conn = await asyncpg.connect(database)
            try:
                aged = ["r1", "r2"] if how == "reservation lapsed" else ["r1"]
                await conn.execute(
                    "UPDATE open_rooms SET reserved_at = reserved_at - 3600"
                    " WHERE room = ANY($1::text[])",
                    aged,
                )
            finally:
                await conn.close()
            if how == "finished":
                await a.write([row("r2", "x", finished_at=time.time())])
            elif how == "deleted":
                await a.write([DeleteRoom("r2")])
            elif how == "reservation given back":
                await a.cancel_reservation("r2")
            # Another node now finds one place for x, not two.
            assert await b.reserve_room("r3", "x", 10, 2) is None
            assert await b.reserve_room("r4", "x", 10, 2) == "too_many_rooms"
            assert await b.open_rooms("x") == 2
        finally:
            await a.close()
            await b.close()

    run(go())


def test_each_node_has_its_own_alive_time(database):
    async def go():
        a, b = await PgStore.open(database, node="a"), await PgStore.open(database, node="b")
        try:
            await a.write([Alive(10.0)])
            await b.write([Alive(20.0)])
            await a.write([Alive(15.0)])
            assert (await a.last_alive(), await b.last_alive()) == (15.0, 20.0)
            # A node taking a room over from `a` reads a's last time.
            assert await b.last_alive("a") == 15.0
            assert await b.last_alive("c") is None
        finally:
            await a.close()
            await b.close()

    run(go())


def test_a_games_moves_are_written_to_the_lobby_less_often_than_its_listing():
    """A game's plies are held back for `moves_interval`; a change of what
    the lists show (someone coming, a list changed) goes out at once, with
    the plies as they are."""

    async def go():
        written: list = []
        rooms: dict[str, Room] = {}
        lobby = StoreLobby(rooms, 10, 10, None, written.extend, interval=0.0)
        lobby.moves_interval = 60.0
        room = rooms["g"] = Room(row("g"), {"A": Seat("human", "Ana", b"t"), "B": Seat("engine")})
        room.spectators.add(object())

        def flushed(plies: int | None = None) -> list:
            if plies is not None:
                room.committed_state = dict(room.committed_state, plies=plies)
            lobby.changed(room)
            lobby.flush()
            out = [(r.status, r.summary["plies"], r.summary["spectators"]) for r in written]
            written.clear()
            return out

        assert flushed() == [("playing", 0, 1)]
        assert flushed(1) == flushed(2) == []
        room.spectators.add(object())
        assert flushed() == [("playing", 2, 2)]
        assert flushed(3) == []
        lobby.moves_interval = 0.0
        assert flushed() == [("playing", 3, 2)]
        lobby.close()

    run(go())
