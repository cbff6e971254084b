"""The hub: every room of the server, its start and stop, making and
joining rooms, and expiry.

This module knows nothing of HTTP or WebSockets. The web layer calls the
`Hub` with plain values and hands it connections that can `send` a text and
`close`; the hub reaches the boards through the engine pool and keeps every
change in the store. A change is committed before anyone hears of it: one
commit is in flight at a time and the changes made meanwhile go in the next
transaction (`Committer`); only when a change's commit has returned are its
moves acknowledged and its events broadcast. The hub's parts: a move's life
in `turns` (`Turns`), move clocks, forfeits and claims in `clocks`
(`Clocks`), sockets and presence in `presence` (`Presence`), bringing rooms
back in `recovery` (`Recovery`), rooms taken and lost on a shared store in
`ownership` (`Ownership`); the lists of public rooms and the limits on
making rooms in `lobby`."""

from __future__ import annotations

import asyncio
import logging
import secrets
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any

from . import metrics
from .clocks import Clocks
from .commit import Committer
from .lobby import ROOM_MADE_ELSEWHERE, Lobby, MemoryLobby, StoreLobby
from .ownership import ROUTE_KEY, Ownership
from .presence import Presence
from .protocol import (
    MOVE_TIMES,
    SEATS,
    HubError,
    check_name,
    parse_create,
)
from .record import record_name, record_text
from .recovery import Recovery
from .room import Phase, Room, Seat, new_token
from .rows import Alive, Change, DeleteRoom, EventRow, RoomRow, Store
from .turns import Turns
from .worker_pool import EnginePool, EngineRefused, WorkerDied

log = logging.getLogger("tesko_server")

NEW_ROOM_ATTEMPTS = 4  # a worker that ended while dealing: asked again after 0.25, 0.5, 0.75 s


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


class Hub(Turns, Clocks, Presence, Recovery, Ownership):
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

    async def create(self, body: object, address: str, routed: str | None = None) -> dict:
        """Make a room; under the id `routed` (one the router drew) if it
        is of the router's form and no room has it, else under one drawn here."""
        if self.stopping:
            raise HubError("shutting_down", "the server is stopping")
        options = parse_create(body, self.settings.move_times)
        if not self.creations.allow(address):
            raise HubError("too_many_requests", "rooms are made too fast from this address")
        routed = await self.routed_id(routed)
        room_id = routed or self._new_id()
        try:
            await self.lobby.admit(room_id, address)
            try:
                return await self._create(room_id, options, address)
            except Exception:
                await self.lobby.cancel(room_id)
                raise
            except BaseException:
                self._spawn(self.lobby.cancel(room_id))
                raise
        finally:
            if routed is not None:
                self.made_routed(routed)

    async def _create(self, room_id: str, options: dict, address: str) -> dict:
        join = options.pop("join")
        seats = {s: Seat(**options["seats"][s]) for s in SEATS}
        token = None
        if join is not None:
            seat_name, name = join
            if seats[seat_name].kind != "human":
                raise HubError("seat_taken", f"seat {seat_name} is the engine's")
            token, seats[seat_name].token_hash = new_token()
            seats[seat_name].name = name
        room = await self._new_room(options, seats, address, room_id)
        log.info(
            "room %s created by %s: %s, first %s, ply limit %d",
            room.id,
            address,
            " against ".join(
                f"{s} engine level {seat.level}" if seat.kind == "engine" else f"{s} human"
                for s, seat in seats.items()
            ),
            options["first"],
            options["ply_limit"],
        )
        answer: dict[str, Any] = {"room": room.summary()}
        if join is not None:
            answer["seat"] = join[0]
            answer["token"] = token
        self._continue_play(room)
        return answer

    def _new_id(self, like: str = "") -> str:
        """A new room id; one that begins as `like` does, if given, which
        the router sends to the same node (a rematch's, after its room)."""
        head = like[:ROUTE_KEY]
        room_id = head + secrets.token_urlsafe(9)[len(head) :]
        while room_id in self.rooms:  # pragma: no cover - 36 random bits or more
            room_id = head + secrets.token_urlsafe(9)[len(head) :]
        return room_id

    async def _new_room(
        self, options: dict, seats: dict[str, Seat], address: str, room_id: str | None = None
    ) -> Room:
        assert self.pool is not None
        self._make_space()
        room_id = room_id or self._new_id()
        for attempt in range(1, NEW_ROOM_ATTEMPTS + 1):
            try:
                dealt = await self.pool.request(
                    room_id, "new", options["first"], options["ply_limit"]
                )
                break
            except WorkerDied:
                # The worker ended (or is being started again) before it dealt.
                # Nobody knows this room yet, so it is simply asked again.
                if attempt == NEW_ROOM_ATTEMPTS or self.stopping:
                    raise HubError(
                        "engine_unavailable", "the engine is being restarted; try again"
                    ) from None
                await asyncio.sleep(0.25 * attempt)
            except EngineRefused as err:
                log.error("the engine could not deal a new room: %s", err)
                raise HubError("engine_unavailable", f"the engine could not deal: {err}") from None
        # This node's before the first write of it; a room that another node
        # made meanwhile under the same id is not taken from it.
        if self.shared and await self.store.claim(room_id, new=True) is None:
            if room_id not in self._loading:
                self.pool.post(room_id, "drop")
            raise HubError("room_moved", ROOM_MADE_ELSEWHERE)
        row = RoomRow(
            id=room_id,
            created=time.time(),
            public=options["public"],
            first=options["first"],
            ply_limit=options["ply_limit"],
            hide_face_down_owners=options["hide_face_down_owners"],
            layout=dealt["layout"],
            initial_state=dealt["state"],
            creator=address,
            move_time=options["move_time"],
        )
        room = Room(row, seats, self.settings.catch_up)
        room.abandon_time = self.settings.abandon_time
        room.phase = Phase.READY
        self.rooms[room_id] = room
        self._opened(room)
        self._turn_clock(room)
        self._watch_away(room)
        await self._commit([row, *(seat.row(room_id, s) for s, seat in seats.items())])
        self.lobby.changed(room)
        return room

    async def join(self, room_id: str, body: object) -> dict:
        if self.stopping:
            raise HubError("shutting_down", "the server is stopping")
        room = self.room(room_id)
        if not isinstance(body, dict):
            raise HubError("bad_request", "the body must be a JSON object")
        name = check_name(body.get("name"))
        wanted = body.get("seat")
        if room.over:
            raise HubError("game_over", "the game is over")
        if wanted is None:
            free = [s for s in SEATS if not room.seats[s].taken]
            if not free:
                raise HubError("room_full", "no seat is free")
            wanted = free[0]
        elif wanted not in SEATS:
            raise HubError("bad_request", "seat is 'A' or 'B'")
        seat = room.seats[wanted]
        if seat.taken:
            raise HubError("seat_taken", f"seat {wanted} is taken")
        if room.joins >= self.settings.max_joins:
            raise HubError("too_many_joins", "this room's seats have been taken too often")
        room.joins += 1
        token, seat.token_hash = new_token()
        seat.name = name
        await self._seat_event(room, wanted, {"kind": "join", "seat": wanted, "name": name})
        log.info("room %s: seat %s taken", room.id, wanted)
        self._continue_play(room)
        return {"room": room.summary(), "seat": wanted, "token": token}

    async def leave(self, room_id: str, token: str | None) -> dict:
        room = self.room(room_id)
        if not token:
            raise HubError("missing_token", "the seat's token is needed")
        seat_name = room.seat_of(token)
        if seat_name is None:
            raise HubError("bad_token", "that token holds no seat of this room")
        room.seats[seat_name].vacate()
        room.queue = deque(q for q in room.queue if q.seat != seat_name)
        # The seat's connections lose it now, not when their close is sent:
        # a socket that does not read may hold its close back for long.
        for conn in list(room.conns[seat_name]):
            self.detach(conn)
            conn.seat = None
            conn.close(1000, "seat given up")
        await self._seat_event(room, seat_name, {"kind": "leave", "seat": seat_name})
        log.info("room %s: seat %s given up", room.id, seat_name)
        return {"room": room.summary()}

    async def _seat_event(self, room: Room, seat_name: str, data: dict) -> None:
        room.version += 1
        row = EventRow(room.id, room.version, data["kind"], data, room.state, time.time())
        room.last_activity = row.at
        room.playing_since = time.monotonic()
        if data["kind"] == "join":
            room.seats[seat_name].away_since = room.playing_since  # until it connects
        self._watch_away(room)
        seat_row = room.seats[seat_name].row(room.id, seat_name)
        changes: list[Change] = [seat_row, row]
        if self._turn_clock(room):  # a seat taken starts the game, a seat given up stops it
            changes.append(room.row)
        future = self.committer.waiter()
        self.committer.add(changes, partial(self._publish, room, [row], None, None, future), future)
        await future

    async def _commit(self, changes: list[Change]) -> None:
        future = self.committer.waiter()
        self.committer.add(changes, partial(future.set_result, None), future)
        await future

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
