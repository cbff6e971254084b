"""A `Hub` run in the test's own event loop, on a store in a temporary
folder, with connections that only record what they are sent. Every send
and every store write is stamped from one counter, so a test can tell which
came first; the store can be made to refuse its writes, and the engine's
answers to moves can be held back."""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import json
from pathlib import Path
from typing import Any
from unittest import mock

from inline_pool import InlinePool
from tesko_server import hub as hub_module
from tesko_server.hub import Hub, Settings
from tesko_server.protocol import Move
from tesko_server.rows import EventRow

# One clock for sends and writes: which happened first, in the loop's order.
from tesko_server.store import SqliteStore

# One clock for sends and writes: which happened first, in the loop's order.
STAMPS = itertools.count()


class WitnessStore(SqliteStore):
    """The SQLite store, noting each write's event rows (room, version) with
    the stamp taken when the write returned; with `fail` set, a write raises
    as a full disk would."""

    def __init__(self, path: str) -> None:
        super().__init__(path)
        self.fail = False
        self.written: dict[tuple[str, int], int] = {}
        self.batches: list[set[tuple[str, int]]] = []  # each write's event rows
        self.gate: asyncio.Event | None = None  # writes wait while it is unset
        self.in_flight = 0
        self.most_in_flight = 0

    def hold(self) -> None:
        self.gate = asyncio.Event()

    def release(self) -> None:
        assert self.gate is not None
        self.gate.set()

    async def write(self, changes) -> None:
        self.in_flight += 1
        self.most_in_flight = max(self.most_in_flight, self.in_flight)
        try:
            if self.gate is not None:
                await self.gate.wait()
            if self.fail:
                raise OSError("disk full")
            await super().write(changes)
        finally:
            self.in_flight -= 1
        stamp = next(STAMPS)
        rows = {(c.room, c.version) for c in changes if isinstance(c, EventRow)}
        self.batches.append(rows)
        for row in rows:
            self.written[row] = stamp


class HeldPool:
    """The hub's engine pool, with the answers to moves held back while
    `held` is set, until `release()`."""

    def __init__(self, pool: Any) -> None:
        self.pool = pool
        self.held = False
        self.waiting: list[tuple[asyncio.Future, asyncio.Future]] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(self.pool, name)

    def request(self, room: str, op: str, *args: Any) -> asyncio.Future:
        inner = self.pool.request(room, op, *args)
        if op != "play" or not self.held:
            return inner
        outer = asyncio.get_running_loop().create_future()
        self.waiting.append((inner, outer))
        return outer

    def release(self) -> None:
        self.held = False
        waiting, self.waiting = self.waiting, []
        for inner, outer in waiting:
            inner.add_done_callback(
                lambda f, outer=outer: (
                    outer.set_exception(f.exception())
                    if f.exception()
                    else outer.set_result(f.result())
                )
            )


class Recorder:
    """A connection whose writer never runs: what is sent or a close is only
    recorded, as for a socket that does not read."""

    def __init__(self) -> None:
        self.room = None
        self.seat = None
        self.sent: list[dict] = []
        self.stamps: list[int] = []  # of each message sent, in `sent`'s order
        self.closing: tuple[int, str] | None = None

    def send(self, text: str) -> None:
        self.sent.append(json.loads(text))
        self.stamps.append(next(STAMPS))

    def stamped(self) -> list[tuple[int, dict]]:
        return list(zip(self.stamps, self.sent))

    def close(self, code: int, reason: str) -> None:
        self.closing = self.closing or (code, reason)

    def of(self, kind: str) -> list[dict]:
        return [m for m in self.sent if m["type"] == kind]

    async def answer(self, n: int, timeout: float = 10) -> dict:
        """The ack or refusal of the message numbered `n`."""
        for _ in range(int(timeout / 0.01)):
            for m in self.sent:
                if m["type"] in ("ack", "refused") and m["n"] == n:
                    return m
            await asyncio.sleep(0.01)
        raise AssertionError(f"no answer to n={n}: {self.sent[-3:]}")


@contextlib.asynccontextmanager
async def running_hub(folder: Path, store: SqliteStore | None = None, on_failure=None, **settings):
    store = store or SqliteStore(str(folder / "store.db"))
    hub = Hub(Settings(**settings), store, on_failure or (lambda err: None))
    with mock.patch.object(hub_module, "EnginePool", InlinePool):
        await hub.start()
    hub.pool = HeldPool(hub.pool)
    try:
        yield hub
    finally:
        # The test's connections go first, as clients answering the drain's
        # close would: a Recorder never answers, and the drain would wait.
        for room in list(hub.rooms.values()):
            for conn in list(room.connections()):
                hub.detach(conn)
        await hub.drain()


def attach(hub: Hub, room: str, token: str | None = None, version: int | None = None) -> Recorder:
    conn = Recorder()
    hub.attach(room, token, version, conn)
    return conn


async def settle(hub: Hub, room_id: str, timeout: float = 10) -> None:
    """Wait until the room's moves are played and committed."""
    room = hub.rooms[room_id]
    for _ in range(int(timeout / 0.01)):
        if not room.phase.with_engine and not room.queue and hub.committer.idle:
            if room.version == room.committed_version:
                return
        await asyncio.sleep(0.01)
    raise AssertionError("the room did not settle")


async def two_seats(hub: Hub, **options) -> tuple[str, str, str]:
    """A room of two people (Ana in A, Bia in B): its id and their tokens."""
    made = await hub.create({"join": {"seat": "A", "name": "Ana"}, **options}, "10.0.0.1")
    room = made["room"]["id"]
    joined = await hub.join(room, {"name": "Bia"})
    return room, made["token"], joined["token"]


async def play(hub: Hub, conn: Recorder, n: int) -> dict:
    """Play the seat's first legal move under `n`; its answer."""
    room = conn.room
    hub.move(conn, Move(n=n, move=room.committed_state["legal_moves"][0]))
    return await conn.answer(n)


async def quick_room(hub: Hub, address: str = "10.0.0.1") -> str:
    """A room whose level-1 engine ends the game with its first move."""
    made = await hub.create(
        {
            "ply_limit": 1,
            "seats": {"A": {"kind": "engine", "level": 1, "think_time": 0.05}},
            "join": {"seat": "B", "name": "Bia"},
        },
        address,
    )
    room = made["room"]["id"]
    for _ in range(500):
        if hub.rooms[room].over:
            await settle(hub, room)
            return room
        await asyncio.sleep(0.01)
    raise AssertionError("the engine did not end the game")
