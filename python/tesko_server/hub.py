"""The hub: every room of the server, its start and stop, and expiry.

This module knows nothing of HTTP or WebSockets. The web layer calls the
`Hub` with plain values and hands it connections that can `send` a text and
`close`; the hub reaches the boards through the engine pool and keeps every
change in the store. A change is committed before anyone hears of it: one
commit is in flight at a time and the changes made meanwhile go in the next
transaction (`Committer`); only when a change's commit has returned are its
moves acknowledged and its events broadcast. The hub's parts: rooms made
and seats taken in `seating` (`Seating`), a move's life in `turns`
(`Turns`), move clocks, forfeits and claims in `clocks` (`Clocks`), sockets
and presence in `presence` (`Presence`), bringing rooms back in `recovery`
(`Recovery`), rooms taken and lost on a shared store in `ownership`
(`Ownership`); the lists of public rooms and the limits on making rooms in
`lobby`."""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import metrics
from .clocks import Clocks
from .commit import Committer
from .lobby import Lobby, MemoryLobby, StoreLobby
from .ownership import Ownership
from .presence import Presence
from .protocol import (
    MOVE_TIMES,
    HubError,
)
from .record import record_name, record_text
from .recovery import Recovery
from .room import Phase, Room
from .rows import Alive, DeleteRoom, Store
from .seating import Seating
from .turns import Turns
from .worker_pool import EnginePool

log = logging.getLogger("tesko_server")


@dataclass
class Settings:
    workers: int = 1
    max_rooms: int = 10_000
    max_rooms_per_address: int = 20
    idle_timeout: float = 3600.0
    review_time: float = 86400.0
    sweep_interval: float = 30.0
    rate: float = 20.0
    burst: float = 40.0
    think_per_worker: float = 60.0
    think_per_address: float = 30.0
    hello_timeout: float = 10.0
    drain_timeout: float = 10.0
    move_times: tuple[float, ...] = MOVE_TIMES
    abandon_time: float = 60.0
    catch_up: int = 64  # events a reconnecting client is sent at most; else a snapshot
    max_joins: int = 100  # seats taken through the lobby per room
    max_rooms_held: int = 20_000  # finished rooms included
    unjoined_timeout: float = 600.0  # for an unfinished room where nobody holds a seat
    create_rate: float = 30.0  # rooms per minute per address
    lobby_rate: float = 10.0  # lobby calls per second per address
    max_spectators: int = 200  # per room
    max_sockets_per_address: int = 32
    presence_interval: float = 0.25  # seconds between a room's presence messages


class Buckets:
    """A token bucket per key (a client address): `rate` tokens a second,
    at most `burst` saved up. Keys whose bucket is full are forgotten."""

    def __init__(self, rate: float, burst: float, keep: int = 10_000) -> None:
        self.rate = rate
        self.burst = burst
        self.keep = keep
        self.buckets: dict[str, tuple[float, float]] = {}  # key: (tokens, when)

    def allow(self, key: str, now: float | None = None) -> bool:
        now = time.monotonic() if now is None else now
        tokens, then = self.buckets.get(key, (self.burst, now))
        tokens = min(self.burst, tokens + (now - then) * self.rate)
        allowed = tokens >= 1
        self.buckets[key] = (tokens - 1 if allowed else tokens, now)
        if len(self.buckets) > self.keep:
            self.forget_full(now)
        return allowed

    def forget_full(self, now: float | None = None) -> None:
        now = time.monotonic() if now is None else now
        self.buckets = {
            key: (tokens, then)
            for key, (tokens, then) in self.buckets.items()
            if tokens + (now - then) * self.rate < self.burst
        }
        # Keys still using their bucket are kept: at most as many as addresses
        # seen within burst / rate seconds.
        self.keep = max(self.keep, 2 * len(self.buckets))


class Hub(Seating, Turns, Clocks, Presence, Recovery, Ownership):
    """Every room of this server, and the requests made of them."""

    def __init__(
        self,
        settings: Settings,
        store: Store,
        on_failure: Callable[[BaseException], None] = lambda err: None,
    ) -> None:
        self.settings = settings
        self.store = store
        self.rooms: dict[str, Room] = {}
        self.committer = Committer(store, on_failure, self.rooms_taken)
        self._loading = {}  # rooms being taken from a shared store
        self._making = set()
        self.pool: EnginePool | None = None
        self.stopping = False
        self._sweeper: asyncio.Task[None] | None = None
        self._beater: asyncio.Task[None] | None = None
        self.clocks: set[Room] = set()  # rooms whose move clock runs
        self._tasks: set[asyncio.Task[Any]] = set()
        self._drained: asyncio.Future[None] | None = None
        self.lobby: Lobby
        if getattr(store, "shared", False):  # several nodes on one store
            self.lobby = StoreLobby(
                self.rooms,
                settings.max_rooms,
                settings.max_rooms_per_address,
                store,  # type: ignore[arg-type]
                self.committer.add,
            )
        else:
            self.lobby = MemoryLobby(self.rooms, settings.max_rooms, settings.max_rooms_per_address)
        self.finished: dict[str, None] = {}  # finished rooms' ids, earliest finished first
        self.sockets_by_address: dict[str, int] = {}
        self.creations = Buckets(settings.create_rate / 60, max(1.0, settings.create_rate / 4))
        self.lobby_calls = Buckets(settings.lobby_rate, 2 * settings.lobby_rate)

    async def start(self) -> None:
        self.pool = EnginePool(
            self.settings.workers,
            self._worker_restarted,
            self.settings.think_per_worker,
            self.settings.think_per_address,
        )
        self.pool.start()
        await self.lobby.start()
        cutoff = time.time() - self.settings.review_time
        purged = await self.store.purge(finished_before=cutoff)
        if purged:
            log.info("%d expired rooms deleted from the store", purged)
        if self.shared:
            # Rooms are taken from the store as they are asked for.
            await self.store.listen_claims(
                self._claimed, on_missed=lambda: self._spawn(self.check_owners())
            )
            log.info("rooms are loaded from the shared store as they are asked for")
        else:
            await self._load_all(cutoff)
        self._sweeper = asyncio.get_running_loop().create_task(self._sweep())
        self._beater = asyncio.get_running_loop().create_task(self._beat())

    async def _load_all(self, cutoff: float) -> None:
        """Every room of the store not finished before `cutoff`, held from now."""
        assert self.pool is not None
        stored = await self.store.load_rooms(finished_after=cutoff)
        alive = await self.store.last_alive()
        unreadable = dict(getattr(self.store, "unreadable", {}))
        by_worker: dict[int, list[Room]] = {}
        for entry in sorted(stored, key=lambda e: e.room.finished_at or 0.0):
            room = self._bring_back(entry, alive, unreadable)
            if room is not None and not room.over:
                by_worker.setdefault(self.pool.index_of(room.id), []).append(room)
        for index, rooms in by_worker.items():
            self._load(index, rooms, [[m for _, _, m in r.history] for r in rooms], notice=False)
        for room_id, cause in unreadable.items():
            log.error("room %s skipped, left in the store: %s", room_id, cause)
        metrics.unreadable_rooms.set(len(unreadable))
        log.info(
            "store holds %d rooms, %d of them unfinished",
            len(stored),
            sum(len(r) for r in by_worker.values()),
        )

    async def drain(self) -> None:
        """Stop taking work, let the moves in flight finish, close every
        connection with 'going away', stop the engine and close the store.
        Called again, it waits for the first call to end."""
        if self._drained is not None:
            await self._drained
            return
        self._drained = asyncio.get_running_loop().create_future()
        self.stopping = True
        # No move is taken from here on, so the clocks stop here: a restart
        # gives the side to move the time it has now.
        if self._beater is not None:
            self._beater.cancel()
        if self.clocks:
            self.committer.add([Alive(time.time())])
        deadline = time.monotonic() + self.settings.drain_timeout
        while time.monotonic() < deadline:
            if self.committer.idle and not any(
                r.phase in (Phase.MOVING, Phase.ENDING) for r in self.rooms.values()
            ):
                break
            await asyncio.sleep(0.01)
        await self.committer.settled()
        for room in self.rooms.values():
            for conn in list(room.connections()):
                conn.close(1001, "going away")
        # Wait (a little) for the clients to answer the close.
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline and any(
            any(True for _ in r.connections()) for r in self.rooms.values()
        ):
            await asyncio.sleep(0.02)
        if self._sweeper is not None:
            self._sweeper.cancel()
        if self.pool is not None:
            self.pool.stop()
        self.lobby.flush()
        self.lobby.close()
        await self.committer.settled()
        self.committer.closed = True  # nothing may be written after the close
        await self.store.close()
        log.info("stopped")
        self._drained.set_result(None)

    def room(self, room_id: str) -> Room:
        room = self.rooms.get(room_id) if isinstance(room_id, str) else None
        if room is None:
            raise HubError("no_such_room", "no such room")
        return room

    def _opened(self, room: Room) -> None:
        self.lobby.opened(room)

    def _closed(self, room: Room) -> None:
        self.lobby.closed(room)

    def list_rooms(self, status: str) -> list[dict]:
        return self.lobby.list(status)

    def read(self, room_id: str) -> dict:
        room = self.room(room_id)
        return {
            "room": room.summary(),
            "version": room.committed_version,
            "state": room.public_state(),
            "history": room.public_history(),
            "clock": room.clock_wire(),
            "review": room.review,
            "review_status": room.review_status(),
        }

    def record(self, room_id: str, token: str | None) -> tuple[str, str]:
        """The room's game as a text record, and its file name. A finished
        game's is anyone's who can read the room; a game in progress's is
        its players' alone (a spectator would learn the dealt layout, so
        every owner of a face-down card), and not even theirs in a room
        that hides face-down owners, whose players play from memory."""
        room = self.room(room_id)
        state = room.committed_state
        if state["result"] is None:
            if not token:
                raise HubError("missing_token", "a game in progress's record is for its players")
            if room.seat_of(token) is None:
                raise HubError("bad_token", "that token holds no seat of this room")
            if room.row.hide_face_down_owners:
                raise HubError(
                    "owners_hidden",
                    "this room hides the owners of face-down cards: "
                    "its record is readable once the game is over",
                )
        row = room.row
        turns = [(p, m) for v, p, m in room.history if v <= room.committed_version]
        result = state["result"]
        text = record_text(
            row.layout, row.first, row.ply_limit, turns, None if result is None else result["text"]
        )
        return record_name(room.id), text

    def lobby_call(self, address: str) -> None:
        """Count a lobby call of `address`, or refuse it over the rate."""
        if not self.lobby_calls.allow(address):
            raise HubError("too_many_requests", "too many requests from this address; slow down")

    def _spawn(self, coro: Any) -> None:
        task = asyncio.get_running_loop().create_task(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _sweep(self) -> None:
        while True:
            await asyncio.sleep(self.settings.sweep_interval)
            try:
                self.expire(time.time())
                await self.check_owners()
                await self.expire_unheld(time.time())
            except Exception:  # noqa: BLE001
                log.exception("expiring rooms failed")

    def expire(self, now: float) -> None:
        gone: list[Room] = []
        settings = self.settings
        for room in self.rooms.values():
            if room.over:
                finished = room.row.finished_at or room.last_activity
                if now - finished > settings.review_time:
                    gone.append(room)
            elif not room.phase.with_engine:
                seated = any(s.kind == "human" and s.taken for s in room.seats.values())
                timeout = settings.idle_timeout if seated else settings.unjoined_timeout
                if now - room.last_activity > timeout:
                    gone.append(room)
        for room in gone:
            self._delete(room, "deleted" if room.over else "expired (idle)")
        self.creations.forget_full()
        self.lobby_calls.forget_full()

    def _make_space(self) -> None:
        """Below the bound on rooms held, by deleting the rooms that finished
        first (their review ends early), or refuse a new room."""
        if len(self.rooms) < self.settings.max_rooms_held:
            return
        for room_id in self.finished:
            room = self.rooms[room_id]
            if room.phase is not Phase.REMATCHING:
                self._delete(room, "deleted early (too many rooms held)")
                return
        raise HubError("server_full", "the server holds as many rooms as it may")

    def _forget(self, room: Room) -> None:
        """No longer hold `room` (its board dropped from the engine)."""
        del self.rooms[room.id]
        self.finished.pop(room.id, None)
        self._closed(room)
        self._drop_clock(room)
        if not room.over:
            assert self.pool is not None
            self.pool.post(room.id, "drop")

    def _delete(self, room: Room, why: str) -> None:
        self._forget(room)
        log.info("room %s %s", room.id, why)
        for conn in list(room.connections()):
            conn.close(1000, "room expired")
        self.committer.add([DeleteRoom(room.id)])

    def update_gauges(self) -> None:
        """Set the rooms gauge (called when the metrics are read)."""
        counts = {"waiting": 0, "playing": 0, "over": 0}
        for room in self.rooms.values():
            counts[room.status()] += 1
        for status, count in counts.items():
            metrics.rooms.labels(status).set(count)
