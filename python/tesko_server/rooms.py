"""Rooms: seats, turns, versions, and who is told what.

This module knows nothing of HTTP or WebSockets. The web layer calls the
`Hub` with plain values and hands it connections that can `send` a text and
`close`; the hub reaches the boards through the engine pool and keeps every
change in the store. A change is committed before anyone hears of it: the
changes made during one pass of the event loop are written in one
transaction (`Committer`), and only then are moves acknowledged and events
broadcast.
"""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import logging
import math
import secrets
import time
import unicodedata
from collections import deque
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from functools import partial
from itertools import islice
from typing import Any, Protocol

from . import metrics
from .engine import EnginePool, EngineRefused, WorkerDied
from .record import record_name, record_text
from .store import (
    Alive,
    Change,
    DeleteRoom,
    EventRow,
    ReviewRow,
    RoomRow,
    SeatRow,
    Store,
    StoredRoom,
)

log = logging.getLogger("tesko_server")

PROTOCOL = 1
SEATS = ("A", "B")
SLOTS = tuple(r + c for r in "ABC" for c in "1234")
NAME_LIMIT = 24
# What a name may not hold. Format characters (Cf) are allowed: the zero-width
# joiner of emoji sequences and the zero-width non-joiner of Persian and other
# scripts are parts of real names. The bidirectional embeddings, overrides
# and isolates are not: they would reorder the text around the name wherever
# it is shown.
NAME_REFUSED = frozenset({"Cc", "Cs", "Zl", "Zp"})
BIDI_CONTROLS = frozenset("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")
MAX_LEVEL = 12
MAX_PLY_LIMIT = 1000
MAX_MOVE_TEXT = 16
MAX_COUNTER = 2**53
MOVE_TIMES = (15.0, 30.0, 60.0)  # the times per move a room may have, in seconds
# While a move clock runs, the store notes this often that the server runs:
# after a kill, a clock goes on from the time it had at the latest note.
CLOCK_BEAT = 0.5
NEW_ROOM_ATTEMPTS = 4  # a worker that ended while dealing: asked again after 0.25, 0.5, 0.75 s


class HubError(Exception):
    """A request the hub refuses; `code` is the protocol's error code."""

    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


class Connection(Protocol):
    """What the hub needs of a client connection."""

    room: Room | None
    seat: str | None

    def send(self, text: str) -> None:
        """Queue a text message; never blocks."""

    def close(self, code: int, reason: str) -> None:
        """Send what is queued, then close with `code`."""


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


# One encoder for every message (json.dumps with options makes one per call).
dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode


def hash_token(token: str) -> bytes:
    return hashlib.sha256(token.encode("utf-8", "surrogatepass")).digest()


def new_token() -> tuple[str, bytes]:
    token = secrets.token_urlsafe(32)  # 256 bits
    return token, hash_token(token)


def check_name(name: object) -> str:
    if not isinstance(name, str):
        raise HubError("bad_request", "name must be a string")
    name = name.strip()
    if not 1 <= len(name) <= NAME_LIMIT:
        raise HubError("bad_request", f"a name has 1 to {NAME_LIMIT} characters")
    for c in name:
        if unicodedata.category(c) in NAME_REFUSED or c in BIDI_CONTROLS:
            raise HubError(
                "bad_request",
                f"a name cannot hold U+{ord(c):04X}: no control characters, line "
                "separators, lone surrogates, or bidirectional overrides and isolates",
            )
    if all(c.isspace() or unicodedata.category(c) == "Cf" for c in name):
        raise HubError("bad_request", "a name needs a visible character")
    return name


def expand_state(state: dict, hide: bool) -> dict:
    """The compact state the engine gives (cells as 24 letters) as the
    protocol's state object."""
    codes = state["cells"]
    cells = []
    for i, slot in enumerate(SLOTS):
        code = codes[2 * i : 2 * i + 2]
        if code == "--":
            cells.append(
                {"slot": slot, "empty": True, "face_up": False, "owner": None, "kind": None}
            )
        else:
            up = code.isupper()
            show = up or not hide
            cells.append(
                {
                    "slot": slot,
                    "empty": False,
                    "face_up": up,
                    "owner": code[0].upper() if show else None,
                    "kind": code[1].upper() if show else None,
                }
            )
    out = dict(state)
    out["cells"] = cells
    if hide and state.get("result") is None:
        out.update(COUNTS_HIDDEN)
    return out


# Each side's cards and material, less its face-up cards, would tell how many
# face-down cards and Figures it owns (and, once one side has none face down,
# every owner): a room that hides owners sends them only once the game is over.
COUNTS_HIDDEN = {"cards": None, "material": None}


_CELL_TEXTS: dict[tuple[int, str, bool], str] = {}


def state_text(state: dict, hide: bool) -> str:
    """`expand_state(state, hide)` as JSON text, the cells put together from
    texts made once per slot and card (an event's largest part)."""
    codes = state["cells"]
    parts = []
    for i in range(len(SLOTS)):
        key = (i, codes[2 * i : 2 * i + 2], hide)
        text = _CELL_TEXTS.get(key)
        if text is None:
            cell = expand_state({"cells": "--" * i + key[1] + "--" * (11 - i)}, hide)["cells"][i]
            text = _CELL_TEXTS[key] = dumps(cell)
        parts.append(text)
    others = {k: v for k, v in state.items() if k != "cells"}
    if hide and state.get("result") is None:
        others.update(COUNTS_HIDDEN)
    rest = dumps(others)
    cells = '{"cells":[' + ",".join(parts) + "]"
    return cells + ("," + rest[1:] if rest != "{}" else "}")


@dataclass
class Seat:
    kind: str  # "human" or "engine"
    name: str | None = None
    token_hash: bytes | None = None
    level: int | None = None
    think_time: float | None = None
    last_n: int = 0
    applied: dict[int, int] = field(default_factory=dict)
    rematch: int = 0  # the version of this seat's rematch offer, 0 before it
    # Since when no connection holds the seat (time.monotonic()), None while
    # one does; a seat starts away until its first connection.
    away_since: float | None = field(default_factory=time.monotonic)
    away_timer: asyncio.TimerHandle | None = None

    @property
    def taken(self) -> bool:
        return self.kind == "engine" or self.token_hash is not None

    def vacate(self) -> None:
        """Free the seat; the next occupant starts its own counter."""
        self.token_hash = None
        self.name = None
        self.restart()

    def restart(self) -> None:
        self.last_n = 0
        self.applied = {}
        self.rematch = 0

    def row(self, room: str, seat: str) -> SeatRow:
        return SeatRow(
            room, seat, self.kind, self.name, self.token_hash, self.level, self.think_time
        )


@dataclass
class Clock:
    """A person's time for the move they are to make. Times are
    `time.monotonic()`; a clock restored from the store waits, not running,
    until its room's board is rebuilt."""

    seat: str
    left: float  # seconds left at `since`
    since: float = 0.0
    running: bool = True
    timer: asyncio.TimerHandle | None = None

    @property
    def deadline(self) -> float:
        return self.since + self.left

    def remaining(self, now: float) -> float:
        return max(0.0, self.deadline - now) if self.running else self.left

    def expired(self, now: float) -> bool:
        # A restored clock that had run out before the restart is out already.
        return now >= self.deadline if self.running else self.left <= 0

    def wire(self, now: float) -> dict:
        return {"seat": self.seat, "left": round(self.remaining(now), 3), "running": self.running}


class Room:
    def __init__(self, row: RoomRow, seats: dict[str, Seat], catch_up: int = 64) -> None:
        self.row = row
        self.id = row.id
        self.seats = seats
        self.state: dict = row.initial_state  # after the last applied event
        self.version = 0  # of the last applied event
        self.committed_version = 0
        self.committed_state: dict = row.initial_state
        # The latest committed event messages, the last one that of
        # `committed_version`; a client further behind gets a snapshot.
        self.texts: deque[str] = deque(maxlen=catch_up)
        self.joins = 0  # seats taken through the lobby's join
        self.presence_sent = 0.0  # monotonic time of the last presence message
        self.presence_due: asyncio.TimerHandle | None = None
        # Connections that have had the presence since the last message, as
        # they had it: a coalesced message that says the same skips them.
        self.told: dict[Connection, str] = {}
        self.history: list[tuple[int, str, str | None]] = []  # (version, player, move)
        self.last_activity = row.created
        self.conns: dict[str, set[Connection]] = {"A": set(), "B": set()}
        self.spectators: set[Connection] = set()
        # Moves waiting for the engine: connection, seat, n, move, arrival time;
        # the arrival is negated once the move has been sent again after an engine fault.
        self.queue: deque[tuple[Connection, str, int, str, float]] = deque()
        self.busy = False  # a request to the engine is in flight
        self.ready = False  # the engine holds the board
        self.broken: str | None = None
        self.thinking: tuple[str, float] | None = None
        self.expanded: tuple[int, dict] | None = None
        self.counted = False  # among the hub's open rooms
        self.clock: Clock | None = None  # the side to move's, in a timed room
        self.abandon_time = 60.0  # the hub's setting
        self.review: dict | None = None  # the engine's review, once the game is over
        self.reviewing = False  # a review is being made
        self.review_failed = False  # no review could be made (tried again at a restart)
        self.playing_since = time.monotonic()  # since the game last started or went on

    # -- what the room looks like -------------------------------------------

    @property
    def over(self) -> bool:
        return self.state["result"] is not None

    def status(self, state: dict | None = None) -> str:
        state = state or self.state
        if state["result"] is not None:
            return "over"
        if any(not s.taken for s in self.seats.values()):
            return "waiting"
        return "playing"

    def summary(self, state: dict | None = None) -> dict:
        state = state or self.committed_state
        seats = {}
        for name, seat in self.seats.items():
            entry: dict[str, Any] = {
                "kind": seat.kind,
                "name": seat.name,
                "taken": seat.taken,
                "connected": seat.kind == "engine" or bool(self.conns[name]),
                "claimable": self.claim_wait(name) == 0.0,
            }
            if seat.kind == "engine":
                entry["level"] = seat.level
                entry["think_time"] = seat.think_time
            seats[name] = entry
        row = self.row
        return {
            "id": self.id,
            "status": self.status(state),
            "public": row.public,
            "options": {
                "first": row.first,
                "ply_limit": row.ply_limit,
                "hide_face_down_owners": row.hide_face_down_owners,
                "move_time": row.move_time,
            },
            "seats": seats,
            "plies": state["plies"],
            "to_move": state["to_move"],
            "result": state["result"],
            "spectators": len(self.spectators),
            "created": row.created,
            "rematch": None if row.rematch == "pending" else row.rematch,
        }

    def public_state(self) -> dict:
        cached = self.expanded
        if cached is None or cached[0] != self.committed_version:
            cached = (
                self.committed_version,
                expand_state(self.committed_state, self.row.hide_face_down_owners),
            )
            self.expanded = cached
        return cached[1]

    def public_history(self) -> list[dict]:
        return [{"player": p, "move": m} for v, p, m in self.history if v <= self.committed_version]

    def presence(self) -> dict:
        return {
            "type": "presence",
            "seats": {
                s: seat.kind == "engine" or bool(self.conns[s]) for s, seat in self.seats.items()
            },
            "spectators": len(self.spectators),
            "claimable": {s: self.claim_wait(s) == 0.0 for s in self.seats},
        }

    def claim_wait(self, name: str, now: float | None = None) -> float | None:
        """Seconds until the other player may claim the win against seat
        `name`, which has left a game under way (0.0 once it may); None when
        no claim can come: the game is not on, or the seat is an engine's,
        free, or connected. Only the time away while the game is on counts."""
        seat = self.seats[name]
        if (
            seat.kind != "human"
            or seat.away_since is None
            or self.conns[name]
            or self.status() != "playing"
        ):
            return None
        now = time.monotonic() if now is None else now
        away = now - max(seat.away_since, self.playing_since)
        return max(0.0, self.abandon_time - away)

    @property
    def attended(self) -> bool:
        """Whether someone plays or watches: a seat's connection or a spectator."""
        return bool(self.conns["A"] or self.conns["B"] or self.spectators)

    def connections(self) -> Iterable[Connection]:
        yield from self.conns["A"]
        yield from self.conns["B"]
        yield from self.spectators

    def broadcast(self, text: str) -> None:
        for conn in self.connections():
            conn.send(text)

    def moves_for(self, seat: str | None) -> list[str]:
        state = self.committed_state
        if seat is None or state["to_move"] != seat:
            return []
        return state["legal_moves"]

    def search(self) -> dict | None:
        """The engine seat's search in progress: seat, level, think time and
        the seconds it has run so far; None when no engine seat searches."""
        if self.thinking is None:
            return None
        who, since = self.thinking
        seat = self.seats[who]
        elapsed = round(time.monotonic() - since, 3)
        return {"seat": who, "level": seat.level, "think_time": seat.think_time, "elapsed": elapsed}

    def snapshot(self, seat: str | None) -> dict:
        return {
            "type": "snapshot",
            "version": self.committed_version,
            "room": self.summary(),
            "state": self.public_state(),
            "history": self.public_history(),
            "you": {"seat": seat, "legal_moves": self.moves_for(seat)},
            "thinking": self.search(),
            "clock": self.clock_wire(),
            "review": self.review,
            "review_status": self.review_status(),
        }

    def review_status(self) -> str | None:
        """Where the finished game's review stands: "ready" (sent), "pending"
        (being made), "failed" (none will come); None before the end."""
        if not self.over:
            return None
        if self.review is not None:
            return "ready"
        return "failed" if self.review_failed else "pending"

    def clock_wire(self) -> dict | None:
        """The clock as sent: the seconds left now, which a client counts
        down from its own receipt (no wall time to agree on)."""
        return None if self.clock is None else self.clock.wire(time.monotonic())

    def clock_text(self) -> str:
        return "null" if self.clock is None else dumps(self.clock_wire())

    def seat_of(self, token: str) -> str | None:
        digest = hash_token(token)
        found = None
        for name, seat in self.seats.items():
            # Every seat is compared, in constant time, whatever matches.
            if seat.token_hash is not None and hmac.compare_digest(seat.token_hash, digest):
                found = name
        return found


class Committer:
    """Group commit: the changes of one pass of the event loop in one
    transaction, then the callbacks that tell people, in order."""

    def __init__(self, store: Store, on_failure: Callable[[BaseException], None]) -> None:
        self.store = store
        self.on_failure = on_failure
        self.changes: list[Change] = []
        self.after: list[Callable[[], None]] = []
        self.scheduled = False
        self.failed = False
        self.closed = False  # the server stopped and closed the store
        self.waiting: set[asyncio.Future[None]] = set()

    def waiter(self) -> asyncio.Future[None]:
        """A future for a request that waits on a commit; it fails with
        `store_failed` if the store refuses the write (or has refused one),
        `shutting_down` if the server has closed the store meanwhile."""
        future: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.waiting.add(future)
        future.add_done_callback(self.waiting.discard)
        if self.failed or self.closed:
            self._fail_waiting()
        return future

    def _fail_waiting(self) -> None:
        for future in list(self.waiting):
            if not future.done():
                if self.failed:
                    err = HubError("store_failed", "the store failed; the server stops")
                else:
                    err = HubError("shutting_down", "the server is stopping")
                future.set_exception(err)

    def add(self, changes: list[Change], after: Callable[[], None] | None = None) -> None:
        self.changes.extend(changes)
        if after is not None:
            self.after.append(after)
        if not self.scheduled:
            self.scheduled = True
            asyncio.get_running_loop().call_soon(self.flush)

    @property
    def idle(self) -> bool:
        return not self.changes and not self.after

    def flush(self) -> None:
        self.scheduled = False
        if self.failed or self.closed:
            self._fail_waiting()
            return
        changes, self.changes = self.changes, []
        after, self.after = self.after, []
        if changes:
            start = time.perf_counter()
            try:
                self.store.write(changes)
            except Exception as err:  # noqa: BLE001 - nothing is acknowledged past this
                self.failed = True
                log.critical("the store refused a write: %s; stopping", err)
                self._fail_waiting()
                self.on_failure(err)
                return
            metrics.commits.observe(time.perf_counter() - start)
        for callback in after:
            try:
                callback()
            except Exception:  # noqa: BLE001
                log.exception("error after a commit")


class Hub:
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
        self.committer = Committer(store, on_failure)
        self.pool: EnginePool | None = None
        self.stopping = False
        self._sweeper: asyncio.Task[None] | None = None
        self._beater: asyncio.Task[None] | None = None
        self.clocks: set[Room] = set()  # rooms whose move clock runs
        self._tasks: set[asyncio.Task[Any]] = set()
        self._drained: asyncio.Future[None] | None = None
        # Unfinished rooms, in all and by the address that made them.
        self.open_count = 0
        self.open_by_address: dict[str, int] = {}
        self.finished: dict[str, None] = {}  # finished rooms' ids, earliest finished first
        self.sockets_by_address: dict[str, int] = {}
        self.creations = Buckets(settings.create_rate / 60, max(1.0, settings.create_rate / 4))
        self.lobby_calls = Buckets(settings.lobby_rate, 2 * settings.lobby_rate)

    # -- start and stop -----------------------------------------------------

    async def start(self) -> None:
        self.pool = EnginePool(
            self.settings.workers,
            self._worker_restarted,
            self.settings.think_per_worker,
            self.settings.think_per_address,
        )
        self.pool.start()
        cutoff = time.time() - self.settings.review_time
        purged = self.store.purge(finished_before=cutoff)
        if purged:
            log.info("%d expired rooms deleted from the store", purged)
        stored = self.store.load_rooms(finished_after=cutoff)
        alive = self.store.last_alive()
        unreadable = dict(getattr(self.store, "unreadable", {}))
        by_worker: dict[int, list[Room]] = {}
        for entry in sorted(stored, key=lambda e: e.room.finished_at or 0.0):
            try:
                room = self._restore(entry)
            except (KeyError, TypeError, ValueError, AttributeError) as err:
                unreadable[entry.room.id] = f"its events do not make a room ({err!r})"
                continue
            self.rooms[room.id] = room
            room.review = entry.review
            if room.over and room.review is None:
                self._start_review(room)  # ended while the server stopped, or before reviews
            if room.over:
                self.finished[room.id] = None
            else:
                self._restore_clock(room, alive)
                self._watch_away(room)  # everyone is away at a restart, since now
                self._opened(room)
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
        self._sweeper = asyncio.get_running_loop().create_task(self._sweep())
        self._beater = asyncio.get_running_loop().create_task(self._beat())

    def _restore(self, entry: StoredRoom) -> Room:
        seats = {
            s.seat: Seat(s.kind, s.name, s.token_hash, s.level, s.think_time) for s in entry.seats
        }
        room = Room(entry.room, seats, self.settings.catch_up)
        room.abandon_time = self.settings.abandon_time
        kept = entry.events[-1].version - self.settings.catch_up if entry.events else 0
        for event in entry.events:
            room.version = room.committed_version = event.version
            room.state = room.committed_state = event.state
            room.last_activity = event.at
            if event.kind == "turn":
                room.history.append((event.version, event.data["player"], event.data["move"]))
            if event.seat is not None and event.n is not None:
                seat = room.seats[event.seat]
                seat.last_n = max(seat.last_n, event.n)
                seat.applied[event.n] = event.version
            if event.kind == "rematch_offer":
                room.seats[event.data["seat"]].rematch = event.version
            elif event.kind == "leave":  # the seat rows hold who sits now
                room.seats[event.data["seat"]].restart()
            elif event.kind == "join":
                room.joins += 1
            if event.version > kept:
                room.texts.append(self._event_text(room, event))
        if room.over:
            room.ready = True
        return room

    def _restore_clock(self, room: Room, alive: float | None) -> None:
        """The side to move's clock as the server last knew it: its stored
        deadline less the later of the moment it was set and the latest
        note that the server ran. The outage is not counted. It starts
        again when the room's board is rebuilt."""
        row = room.row
        to_move = room.state["to_move"]
        if row.deadline is None or row.move_time is None or to_move is None:
            return
        known = max(row.deadline_set or 0.0, alive or 0.0)
        left = min(max(row.deadline - known, 0.0), float(row.move_time))
        room.clock = Clock(to_move, left, running=False)
        log.info("room %s: %s's clock restored with %.2f s left", room.id, to_move, left)

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
                r.busy and not r.thinking for r in self.rooms.values()
            ):
                break
            await asyncio.sleep(0.01)
        self.committer.flush()
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
        self.committer.flush()
        self.committer.closed = True  # nothing may be written after the close
        self.store.close()
        log.info("stopped")
        self._drained.set_result(None)

    # -- lobby --------------------------------------------------------------

    def room(self, room_id: str) -> Room:
        room = self.rooms.get(room_id) if isinstance(room_id, str) else None
        if room is None:
            raise HubError("no_such_room", "no such room")
        return room

    def _opened(self, room: Room) -> None:
        room.counted = True
        self.open_count += 1
        creator = room.row.creator
        self.open_by_address[creator] = self.open_by_address.get(creator, 0) + 1

    def _closed(self, room: Room) -> None:
        if not room.counted:
            return
        room.counted = False
        self.open_count -= 1
        creator = room.row.creator
        left = self.open_by_address[creator] - 1
        if left:
            self.open_by_address[creator] = left
        else:
            del self.open_by_address[creator]

    def list_rooms(self, status: str) -> list[dict]:
        if status not in ("waiting", "playing"):
            raise HubError("bad_request", "status is 'waiting' or 'playing'")
        found = [
            r
            for r in self.rooms.values()
            if r.row.public
            and r.status(r.committed_state) == status
            and (status == "waiting" or r.attended)
        ]
        found.sort(key=lambda r: r.row.created, reverse=True)
        return [r.summary() for r in found[:100]]

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

    async def create(self, body: object, address: str) -> dict:
        if self.stopping:
            raise HubError("shutting_down", "the server is stopping")
        options = parse_create(body, self.settings.move_times)
        if not self.creations.allow(address):
            raise HubError("too_many_requests", "rooms are made too fast from this address")
        if self.open_count >= self.settings.max_rooms:
            raise HubError("server_full", "the server holds as many rooms as it may")
        if self.open_by_address.get(address, 0) >= self.settings.max_rooms_per_address:
            raise HubError("too_many_rooms", "too many open rooms from this address")
        join = options.pop("join")
        seats = {s: Seat(**options["seats"][s]) for s in SEATS}
        token = None
        if join is not None:
            seat_name, name = join
            if seats[seat_name].kind != "human":
                raise HubError("seat_taken", f"seat {seat_name} is the engine's")
            token, seats[seat_name].token_hash = new_token()
            seats[seat_name].name = name
        room = await self._new_room(options, seats, address)
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
        self._next(room)
        return answer

    async def _new_room(self, options: dict, seats: dict[str, Seat], address: str) -> Room:
        assert self.pool is not None
        self._make_space()
        room_id = secrets.token_urlsafe(9)
        while room_id in self.rooms:  # pragma: no cover - 72 random bits
            room_id = secrets.token_urlsafe(9)
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
        room.ready = True
        self.rooms[room_id] = room
        self._opened(room)
        self._turn_clock(room)
        self._watch_away(room)
        await self._commit([row, *(seat.row(room_id, s) for s, seat in seats.items())])
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
        self._next(room)
        return {"room": room.summary(), "seat": wanted, "token": token}

    async def leave(self, room_id: str, token: str | None) -> dict:
        room = self.room(room_id)
        if not token:
            raise HubError("missing_token", "the seat's token is needed")
        seat_name = room.seat_of(token)
        if seat_name is None:
            raise HubError("bad_token", "that token holds no seat of this room")
        room.seats[seat_name].vacate()
        room.queue = deque(q for q in room.queue if q[1] != seat_name)
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
        self.committer.add(changes, partial(self._publish, room, [row], None, None, future))
        await future

    async def _commit(self, changes: list[Change]) -> None:
        future = self.committer.waiter()
        self.committer.add(changes, partial(future.set_result, None))
        await future

    # -- connections --------------------------------------------------------

    def attach(self, room_id: str, token: object, version: object, conn: Connection) -> None:
        room = self.room(room_id)
        seat = None
        if token is not None:
            if not isinstance(token, str) or not token:
                raise HubError("bad_token", "that token holds no seat of this room")
            seat = room.seat_of(token)
            if seat is None:
                raise HubError("bad_token", "that token holds no seat of this room")
        if seat is None and len(room.spectators) >= self.settings.max_spectators:
            raise HubError("too_many_spectators", "this room has as many spectators as it may")
        conn.room = room
        conn.seat = seat
        (room.conns[seat] if seat else room.spectators).add(conn)
        if seat is not None:
            room.seats[seat].away_since = None
            self._watch_away(room)
        metrics.connections.labels("seat" if seat else "spectator").inc()
        conn.send(
            dumps(
                {
                    "type": "welcome",
                    "protocol": PROTOCOL,
                    "room": room.id,
                    "seat": seat,
                    "version": room.committed_version,
                    "last_n": room.seats[seat].last_n if seat else None,
                }
            )
        )
        if (
            isinstance(version, int)
            and not isinstance(version, bool)
            and 0 <= room.committed_version - version <= len(room.texts)
        ):
            clock = room.clock_text()
            texts = room.texts
            for text in islice(texts, len(texts) - (room.committed_version - version), None):
                conn.send(with_clock(text, clock))
            conn.send(dumps(room.presence()))
            search = room.search()
            if search is not None:  # the search under way, as a snapshot would tell it
                conn.send(dumps({"type": "thinking", **search}))
            if room.row.move_time is not None:
                conn.send(f'{{"type":"clock","clock":{clock}}}')
        else:
            conn.send(dumps(room.snapshot(seat)))
        room.told[conn] = dumps(room.presence())
        self._presence_changed(room, skip=conn)

    def detach(self, conn: Connection) -> None:
        room = conn.room
        if room is None:
            return
        conn.room = None
        group = room.conns[conn.seat] if conn.seat else room.spectators
        if conn in group:
            group.discard(conn)
            metrics.connections.labels("seat" if conn.seat else "spectator").dec()
            if conn.seat is not None and not group:
                room.seats[conn.seat].away_since = time.monotonic()
                self._watch_away(room)
            self._presence_changed(room)

    def _watch_away(self, room: Room) -> None:
        """Tell the room when a seat that left can be claimed against: a
        timer at the end of each absent seat's grace time."""
        for name, seat in room.seats.items():
            if seat.away_timer is not None:
                seat.away_timer.cancel()
                seat.away_timer = None
            wait = room.claim_wait(name)
            if wait is not None and wait > 0:
                seat.away_timer = asyncio.get_running_loop().call_later(
                    wait + 0.01, self._away_due, room, name
                )

    def _away_due(self, room: Room, name: str) -> None:
        room.seats[name].away_timer = None
        if room.claim_wait(name) == 0.0 and self.rooms.get(room.id) is room:
            log.info(
                "room %s: seat %s has been away %g s; it can be claimed against",
                room.id,
                name,
                room.abandon_time,
            )
            self._presence_changed(room)
        else:
            self._watch_away(room)

    def _presence_changed(self, room: Room, skip: Connection | None = None) -> None:
        """Tell the room who is there: at once, or, within `presence_interval`
        of the last time, once when the interval is over (so many sockets
        coming and going cost one message each per interval)."""
        if room.presence_due is not None:
            return
        wait = room.presence_sent + self.settings.presence_interval - time.monotonic()
        if wait > 0:
            room.presence_due = asyncio.get_running_loop().call_later(
                wait, self._send_presence, room, None
            )
        else:
            self._send_presence(room, skip)

    def _send_presence(self, room: Room, skip: Connection | None) -> None:
        room.presence_due = None
        room.presence_sent = time.monotonic()
        text = dumps(room.presence())
        told, room.told = room.told, {}
        for other in room.connections():
            if other is not skip and told.get(other) != text:
                other.send(text)

    def socket_opened(self, address: str) -> None:
        """Count a room socket of `address`, or refuse it over the limit."""
        count = self.sockets_by_address.get(address, 0)
        if count >= self.settings.max_sockets_per_address:
            raise HubError("too_many_sockets", "too many open sockets from this address")
        self.sockets_by_address[address] = count + 1

    def socket_closed(self, address: str) -> None:
        count = self.sockets_by_address.get(address, 0) - 1
        if count > 0:
            self.sockets_by_address[address] = count
        else:
            self.sockets_by_address.pop(address, None)

    def lobby_call(self, address: str) -> None:
        """Count a lobby call of `address`, or refuse it over the rate."""
        if not self.lobby_calls.allow(address):
            raise HubError("too_many_requests", "too many requests from this address; slow down")

    # -- moves --------------------------------------------------------------

    def _counter(self, conn: Connection, message: dict) -> int | None:
        """The client's counter `n` of a move or rematch message, or None
        after refusing a message without a valid one."""
        n = message.get("n")
        if not isinstance(n, int) or isinstance(n, bool) or not 0 < n < MAX_COUNTER:
            self._refuse(conn, n, "bad_message", "n is a positive integer")
            return None
        return n

    def move(self, conn: Connection, message: dict) -> None:
        room = conn.room
        if room is None:
            return  # detached (its seat given up): it is being closed
        n = self._counter(conn, message)
        if n is None:
            return
        move = message.get("move")
        if not isinstance(move, str) or len(move) > MAX_MOVE_TEXT:
            self._refuse(conn, n, "bad_message", "move is the text of a move")
            return
        if conn.seat is None:
            self._refuse(conn, n, "spectator", "a spectator cannot move")
            return
        if n > room.seats[conn.seat].last_n and self._late(room, conn.seat):
            self._refuse(conn, n, "out_of_time", "your time for this move ran out")
            return
        room.last_activity = time.time()
        room.queue.append((conn, conn.seat, n, move.strip().upper(), time.perf_counter()))
        self._pump(room)

    def _refuse(self, conn: Connection, n: object, code: str, message: str) -> None:
        metrics.refusals.labels(code).inc()
        conn.send(dumps({"type": "refused", "n": n, "code": code, "message": message}))

    def _duplicate(self, conn: Connection, seat: Seat, n: int) -> None:
        # The original may still be on its way to the store: the answer to a
        # resend waits behind it, so it never names a version before that
        # version is committed (nor reaches the sender before the original's).
        text = dumps({"type": "ack", "n": n, "version": seat.applied.get(n), "duplicate": True})
        self.committer.add([], partial(conn.send, text))

    def _pump(self, room: Room) -> None:
        """Send the room's next queued move to the engine, if it may go now."""
        assert self.pool is not None
        while room.queue and not room.busy and room.ready and not self.stopping:
            conn, seat_name, n, move, arrival = room.queue.popleft()
            seat = room.seats[seat_name]
            if n <= seat.last_n:
                self._duplicate(conn, seat, n)
            elif room.broken:
                self._refuse(conn, n, "busy", "the room cannot go on: " + room.broken)
            elif room.over:
                self._refuse(conn, n, "game_over", "the game is over")
            elif room.status() == "waiting":
                self._refuse(conn, n, "waiting", "a seat is still free")
            elif room.state["to_move"] != seat_name:
                self._refuse(conn, n, "not_your_turn", "it is not your turn")
            else:
                room.busy = True
                future = self.pool.request(room.id, "play", seat_name, move)
                future.add_done_callback(
                    partial(self._played, room, conn, seat_name, n, move, arrival)
                )

    def _played(
        self,
        room: Room,
        conn: Connection,
        seat_name: str,
        n: int,
        move: str,
        arrival: float,
        future: asyncio.Future[Any],
    ) -> None:
        room.busy = False
        err = future.exception()
        if err is not None:
            if isinstance(err, EngineRefused):
                self._refuse(conn, n, err.code, err.message)
            elif isinstance(err, WorkerDied) and arrival > 0:
                room.queue.appendleft((conn, seat_name, n, move, -arrival))  # after the rebuild
                return
            else:
                log.error("room %s: move %s failed: %s", room.id, move, err)
                self._refuse(conn, n, "busy", "the engine failed on this move; send it again")
            self._next(room)  # the clock may have run out meanwhile
            return
        seat = room.seats[seat_name]
        # A seat given up while its move was being played keeps its counter
        # reset: the move is stored without its `n`.
        kept = n if conn.seat == seat_name else None
        rows = self._record_turns(room, future.result(), "human", kept)
        played = rows[0]  # the move's own event; a pass or the room's end may follow
        assert isinstance(played, EventRow)
        if kept is not None:
            seat.last_n = n
            seat.applied[n] = played.version
        metrics.moves.labels("human").inc()
        ack = dumps({"type": "ack", "n": n, "version": played.version})
        self.committer.add(rows, partial(self._publish, room, rows, conn, ack, None, abs(arrival)))
        self._next(room)

    def _record_turns(
        self, room: Room, payload: dict, by: str, n: int | None, seconds: float | None = None
    ) -> list[Change]:
        state = payload["state"]
        now = time.time()
        rows: list[Change] = []
        for i, (player, move) in enumerate(payload["turns"]):
            room.version += 1
            first = i == 0 and move is not None
            data: dict[str, Any] = {
                "kind": "turn",
                "player": player,
                "move": move,
                "by": by if first else "rules",
            }
            if first and seconds is not None:
                data["seconds"] = round(seconds, 6)
            rows.append(
                EventRow(
                    room.id,
                    room.version,
                    "turn",
                    data,
                    state,
                    now,
                    seat=player if first else None,
                    n=n if first else None,
                )
            )
            room.history.append((room.version, player, move))
            log.info(
                "room %s v%d: %s %s%s",
                room.id,
                room.version,
                player,
                move or "passes",
                f" (engine, {seconds * 1000:.2f} ms)" if first and seconds is not None else "",
            )
        room.state = state
        room.last_activity = now
        if state["result"] is not None:
            rows.append(self._ended(room, now))
        elif self._turn_clock(room):
            rows.append(room.row)
        return rows

    def _ended(self, room: Room, now: float) -> RoomRow:
        """What follows the end of the game: the room row to write."""
        self._closed(room)
        self.finished[room.id] = None
        self._drop_clock(room)
        room.row.finished_at = now
        room.row.deadline = room.row.deadline_set = None
        assert self.pool is not None
        self.pool.post(room.id, "drop")
        log.info("room %s over: %s", room.id, room.state["result"]["text"])
        self._start_review(room)
        return room.row

    # -- the review of a finished game ----------------------------------------

    REVIEW_RETRIES = 3

    def _start_review(self, room: Room, attempt: int = 0) -> None:
        """Ask the room's worker for the engine's review of its game; it is
        made on a thread of the worker, off this loop and off the moves."""
        if self.pool is None or self.stopping or room.review is not None or room.reviewing:
            return
        if self.rooms.get(room.id) is not room:
            return  # deleted meanwhile
        room.reviewing = True
        row = room.row
        turns = [move for _, _, move in room.history]
        future = self.pool.request(room.id, "review", row.layout, row.first, row.ply_limit, turns)
        future.add_done_callback(partial(self._reviewed, room, attempt))

    def _reviewed(self, room: Room, attempt: int, future: asyncio.Future[Any]) -> None:
        room.reviewing = False
        err = future.exception()
        if err is not None:
            if isinstance(err, WorkerDied) and attempt < self.REVIEW_RETRIES:
                delay = 1.0 * 2**attempt  # the worker is restarted meanwhile
                asyncio.get_running_loop().call_later(delay, self._start_review, room, attempt + 1)
            else:
                log.error("room %s: the game's review failed: %s", room.id, err)
                if self.rooms.get(room.id) is room:
                    room.review_failed = True
                    room.broadcast('{"type":"review","status":"failed","review":null}')
            return
        if self.rooms.get(room.id) is not room:
            return  # deleted while the review was made
        review = future.result()
        log.info("room %s reviewed (%d turns)", room.id, len(review["moves"]))
        self.committer.add([ReviewRow(room.id, review)], partial(self._review_ready, room, review))

    def _review_ready(self, room: Room, review: dict) -> None:
        """The review is stored: it is the room's, and its watchers get it."""
        room.review = review
        room.broadcast(dumps({"type": "review", "status": "ready", "review": review}))

    def _publish(
        self,
        room: Room,
        rows: list[Change],
        conn: Connection | None,
        ack: str | None,
        future: asyncio.Future[None] | None,
        arrival: float | None = None,
    ) -> None:
        """After a commit: acknowledge, then tell everyone, in version order."""
        if ack is not None and conn is not None:
            conn.send(ack)
            if arrival is not None:
                metrics.move_seconds.observe(time.perf_counter() - arrival)
        clock = room.clock_text()
        for row in rows:
            if isinstance(row, EventRow):
                room.committed_version = row.version
                room.committed_state = row.state
                text = self._event_text(room, row)
                room.texts.append(text)
                room.broadcast(with_clock(text, clock))
        if future is not None and not future.done():
            future.set_result(None)

    def _event_text(self, room: Room, row: EventRow) -> str:
        # {"type": "event", "version", "event", "state": the expanded state, "room"};
        # kept without the clock, which `with_clock` adds as each is sent.
        data = dumps(row.data)
        state = state_text(row.state, room.row.hide_face_down_owners)
        summary = dumps(room.summary(row.state))
        return (
            f'{{"type":"event","version":{row.version},"event":{data},'
            f'"state":{state},"room":{summary}}}'
        )

    def _next(self, room: Room) -> None:
        """Start the engine seat's search if it is its turn, else the next queued move."""
        if room.busy or not room.ready or self.stopping or room.broken:
            return
        clock = room.clock
        if (
            clock is not None
            and clock.expired(time.monotonic())
            and not any(q[1] == clock.seat for q in room.queue)  # in time, so played first
        ):
            self._forfeit(room, clock.seat, "time", {"kind": "timeout", "seat": clock.seat})
            return
        to_move = room.state["to_move"]
        if to_move is not None and room.status() == "playing":
            seat = room.seats[to_move]
            if seat.kind == "engine":
                self._start_bot(room, to_move, seat)
                return
        self._pump(room)

    def _start_bot(self, room: Room, seat_name: str, seat: Seat) -> None:
        assert self.pool is not None
        room.busy = True
        room.thinking = (seat_name, time.monotonic())
        future = self.pool.search(room.id, seat.level, seat.think_time, room.row.creator)
        future.add_done_callback(partial(self._bot_done, room, seat_name))
        notice = dumps(
            {
                "type": "thinking",
                "seat": seat_name,
                "level": seat.level,
                "think_time": seat.think_time,
            }
        )
        # After the commit of whatever came before, so it follows that event.
        self.committer.add([], partial(room.broadcast, notice))

    def _bot_done(self, room: Room, seat_name: str, future: asyncio.Future[Any]) -> None:
        room.busy = False
        room.thinking = None
        err = future.exception()
        if err is not None:
            if not isinstance(err, WorkerDied):
                log.error("room %s: the engine seat failed: %s", room.id, err)
                room.broken = str(err)
            return  # a restarted worker asks again once the room is rebuilt
        payload = future.result()
        seconds = payload["seconds"]
        metrics.bot_think.observe(seconds)
        metrics.moves.labels("engine").inc()
        rows = self._record_turns(room, payload, "engine", None, seconds)
        self.committer.add(rows, partial(self._publish, room, rows, None, None, None))
        self._next(room)

    # -- move clocks ------------------------------------------------------------

    def _turn_clock(self, room: Room) -> bool:
        """After a change of turn or of the room's status: the side to move
        gets its full time when it is a person in a game under way, and no
        clock runs otherwise. True when the room's row has changed."""
        before = room.clock is not None
        self._drop_clock(room)
        move_time = room.row.move_time
        to_move = room.state["to_move"]
        if (
            move_time is not None
            and to_move is not None
            and room.seats[to_move].kind == "human"
            and room.status() == "playing"
        ):
            room.clock = Clock(to_move, float(move_time), time.monotonic())
            self._arm(room)
        elif not before:
            return False
        self._store_clock(room)
        return True

    def _store_clock(self, room: Room) -> None:
        """The deadline as the room's row keeps it (written with the change
        that set it): a wall time, and the wall time it was set at."""
        clock = room.clock
        row = room.row
        if clock is None:
            row.deadline = row.deadline_set = None
        elif clock.running:
            row.deadline_set = time.time()
            row.deadline = row.deadline_set + clock.remaining(time.monotonic())

    def _arm(self, room: Room) -> None:
        clock = room.clock
        assert clock is not None and clock.running
        if clock.timer is not None:
            clock.timer.cancel()
        delay = max(0.0, clock.deadline - time.monotonic())
        clock.timer = asyncio.get_running_loop().call_later(delay, self._time_up, room, clock)
        self.clocks.add(room)

    def _drop_clock(self, room: Room) -> None:
        clock = room.clock
        if clock is not None and clock.timer is not None:
            clock.timer.cancel()
        room.clock = None
        self.clocks.discard(room)

    def _time_up(self, room: Room, clock: Clock) -> None:
        if room.clock is not clock:
            return
        if not clock.expired(time.monotonic()):  # the loop's timers may fire a little early
            self._arm(room)
            return
        self._next(room)  # ends the game on time, once no move of that side is in flight

    def _late(self, room: Room, seat: str) -> bool:
        """Whether a move of `seat` arrives after its time ran out: its clock
        has run out, or the game has ended on its time."""
        clock = room.clock
        if clock is not None and clock.seat == seat and clock.expired(time.monotonic()):
            return True
        result = room.state["result"]
        return (
            result is not None and result["end"] == "time" and result["winner"] not in (None, seat)
        )

    def _start_restored_clock(self, room: Room) -> None:
        """A clock restored from the store starts again once its room can
        take moves, and everyone is told."""
        clock = room.clock
        if clock is None or clock.running:
            return
        clock.since = time.monotonic()
        clock.running = True
        self._arm(room)
        self._store_clock(room)
        notice = f'{{"type":"clock","clock":{room.clock_text()}}}'
        self.committer.add([room.row], partial(room.broadcast, notice))

    async def _beat(self) -> None:
        while True:
            await asyncio.sleep(CLOCK_BEAT)
            if self.clocks:
                self.committer.add([Alive(time.time())])

    # -- ends outside play: on time, abandoned -----------------------------------

    def _forfeit(
        self,
        room: Room,
        loser: str,
        end: str,
        data: dict,
        conn: Connection | None = None,
        n: int | None = None,
    ) -> None:
        """End the game with `loser` beaten (the referee decides the
        result), recorded as the event `data`."""
        assert self.pool is not None
        room.busy = True
        future = self.pool.request(room.id, "forfeit", loser, end)
        future.add_done_callback(partial(self._forfeited, room, data, conn, n))

    def _forfeited(
        self,
        room: Room,
        data: dict,
        conn: Connection | None,
        n: int | None,
        future: asyncio.Future[Any],
    ) -> None:
        room.busy = False
        err = future.exception()
        if isinstance(err, WorkerDied):
            if conn is not None:
                self._refuse(conn, n, "busy", "the engine is being restarted; send it again")
            return  # the rebuilt room is looked at again
        if err is not None:
            log.error("room %s: ending the game (%s) failed: %s", room.id, data["kind"], err)
            if conn is not None:
                code = err.code if isinstance(err, EngineRefused) else "busy"
                self._refuse(conn, n, code, str(err))
            else:
                room.broken = str(err)
            self._next(room)
            return
        state = future.result()["state"]
        now = time.time()
        room.version += 1
        seat = data["seat"] if conn is not None else None
        row = EventRow(room.id, room.version, data["kind"], data, state, now, seat, n)
        if conn is not None and seat is not None and n is not None:
            room.seats[seat].last_n = n
            room.seats[seat].applied[n] = row.version
        room.state = state
        room.last_activity = now
        rows: list[Change] = [row, self._ended(room, now)]
        ack = None if n is None else dumps({"type": "ack", "n": n, "version": row.version})
        self.committer.add(rows, partial(self._publish, room, rows, conn, ack, None))
        self._next(room)

    def claim(self, conn: Connection, message: dict) -> None:
        """A player claims the win against an opponent who has left."""
        room = conn.room
        if room is None:
            return  # detached (its seat given up): it is being closed
        n = self._counter(conn, message)
        if n is None:
            return
        if conn.seat is None:
            self._refuse(conn, n, "spectator", "a spectator cannot claim a win")
            return
        seat = room.seats[conn.seat]
        if n <= seat.last_n:
            self._duplicate(conn, seat, n)
            return
        if room.over:
            self._refuse(conn, n, "game_over", "the game is over")
            return
        if room.status() == "waiting":
            self._refuse(conn, n, "waiting", "a seat is still free")
            return
        other = "B" if conn.seat == "A" else "A"
        wait = room.claim_wait(other)
        if wait is None:
            self._refuse(conn, n, "opponent_connected", "your opponent is here")
            return
        if wait > 0:
            self._refuse(
                conn,
                n,
                "too_early",
                f"your opponent may still come back: a claim can be made in {math.ceil(wait)} s",
            )
            return
        if room.busy or not room.ready or room.broken or self.stopping:
            self._refuse(conn, n, "busy", "the room is busy; send it again")
            return
        log.info("room %s: seat %s claims the win against the absent %s", room.id, conn.seat, other)
        self._forfeit(room, other, "abandoned", {"kind": "claim", "seat": conn.seat}, conn, n)

    # -- rematch ------------------------------------------------------------

    def rematch(self, conn: Connection, message: dict) -> None:
        room = conn.room
        if room is None:
            return  # detached (its seat given up): it is being closed
        n = self._counter(conn, message)
        if n is None:
            return
        if conn.seat is None:
            self._refuse(conn, n, "spectator", "a spectator cannot ask for a rematch")
            return
        seat = room.seats[conn.seat]
        if n <= seat.last_n:
            self._duplicate(conn, seat, n)
            return
        if not room.over:
            self._refuse(conn, n, "bad_message", "the game is not over")
            return
        if not all(s.taken for s in room.seats.values()):
            # A finished room's seat cannot be taken again: the rematch
            # would wait for an offer that never comes.
            self._refuse(conn, n, "opponent_left", "the other seat was given up: no rematch")
            return
        seat.last_n = n
        if seat.rematch:
            # Offered already: no new event; answered after the first offer's ack.
            seat.applied[n] = seat.rematch
            ack = dumps({"type": "ack", "n": n, "version": seat.rematch, "duplicate": True})
            self.committer.add([], partial(conn.send, ack))
        else:
            room.version += 1
            seat.rematch = room.version
            data = {"kind": "rematch_offer", "seat": conn.seat}
            row = EventRow(
                room.id, room.version, "rematch_offer", data, room.state, time.time(), conn.seat, n
            )
            seat.applied[n] = row.version
            ack = dumps({"type": "ack", "n": n, "version": row.version})
            self.committer.add([row], partial(self._publish, room, [row], conn, ack, None))
        humans = [s for s in room.seats.values() if s.kind == "human"]
        if room.row.rematch is None and all(s.rematch for s in humans):
            room.row.rematch = "pending"
            self._spawn(self._make_rematch(room))

    async def _make_rematch(self, room: Room) -> None:
        old = room.row
        options = {
            "first": "B" if old.first == "A" else "A",
            "ply_limit": old.ply_limit,
            "public": old.public,
            "hide_face_down_owners": old.hide_face_down_owners,
            "move_time": old.move_time,
        }
        seats = {
            s: Seat(seat.kind, seat.name, seat.token_hash, seat.level, seat.think_time)
            for s, seat in room.seats.items()
        }
        try:
            new = await self._new_room(options, seats, old.creator)
        except HubError as err:
            log.error("room %s: no rematch: %s", room.id, err.message)
            old.rematch = None
            return
        old.rematch = new.id
        room.version += 1
        data = {"kind": "rematch", "room": new.id}
        row = EventRow(room.id, room.version, "rematch", data, room.state, time.time())
        self.committer.add([old, row], partial(self._publish, room, [row], None, None, None))
        log.info("room %s: rematch in room %s", room.id, new.id)
        self._next(new)

    def _spawn(self, coro: Any) -> None:
        task = asyncio.get_running_loop().create_task(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    # -- engine faults --------------------------------------------------------

    def _worker_restarted(self, index: int) -> None:
        assert self.pool is not None
        metrics.worker_restarts.inc()
        self.committer.flush()  # the store must hold every applied turn
        rooms = [r for r in self.rooms.values() if not r.over and self.pool.index_of(r.id) == index]
        for room in rooms:
            room.ready = False
        moves = [self.store.load_moves(r.id) for r in rooms]
        self._load(index, rooms, moves, notice=True)

    def _load(
        self, index: int, rooms: list[Room], moves: list[list[str | None]], notice: bool
    ) -> None:
        assert self.pool is not None
        if not rooms:
            return
        saved = [
            (r.id, r.row.layout, r.row.first, r.row.ply_limit, m) for r, m in zip(rooms, moves)
        ]
        start = time.perf_counter()
        future = self.pool.request_to(index, "load", "", saved)
        future.add_done_callback(partial(self._loaded, rooms, notice, start))

    def _loaded(
        self, rooms: list[Room], notice: bool, start: float, future: asyncio.Future[Any]
    ) -> None:
        err = future.exception()
        if err is not None:
            if not isinstance(err, WorkerDied):  # a dead worker is restarted and asked again
                for room in rooms:
                    room.broken = str(err)
                log.error("rebuilding %d rooms failed: %s", len(rooms), err)
            return
        answers = future.result()
        log.info(
            "%d rooms rebuilt on the engine in %.2f s", len(rooms), time.perf_counter() - start
        )
        text = dumps(
            {
                "type": "notice",
                "code": "engine_restarted",
                "message": "the engine was restarted; the game goes on from the same position",
            }
        )
        for room in rooms:
            ok, state = answers.get(room.id, (False, "not rebuilt"))
            if not ok:
                room.broken = state
                log.error("room %s cannot be rebuilt: %s", room.id, state)
                continue
            if state["cells"] != room.state["cells"] or state["to_move"] != room.state["to_move"]:
                room.broken = "the rebuilt board differs from the stored one"
                log.error("room %s: %s", room.id, room.broken)
                continue
            room.ready = True
            if notice:
                room.broadcast(text)
            self._start_restored_clock(room)
            self._next(room)

    # -- expiry ----------------------------------------------------------------

    async def _sweep(self) -> None:
        while True:
            await asyncio.sleep(self.settings.sweep_interval)
            try:
                self.expire(time.time())
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
            elif not room.busy:
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
            if room.row.rematch != "pending":  # its rematch is being made
                self._delete(room, "deleted early (too many rooms held)")
                return
        raise HubError("server_full", "the server holds as many rooms as it may")

    def _delete(self, room: Room, why: str) -> None:
        del self.rooms[room.id]
        self.finished.pop(room.id, None)
        self._closed(room)
        self._drop_clock(room)
        if not room.over:
            assert self.pool is not None
            self.pool.post(room.id, "drop")
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


def with_clock(text: str, clock: str) -> str:
    """An event's text with the room's clock as it is sent."""
    return text[:-1] + ',"clock":' + clock + "}"


def parse_create(body: object, move_times: tuple[float, ...] = MOVE_TIMES) -> dict:
    """The options of a new room from the lobby's JSON, checked."""
    if body is None:
        body = {}
    if not isinstance(body, dict):
        raise HubError("bad_request", "the body must be a JSON object")
    unknown = set(body) - {
        "first",
        "ply_limit",
        "seats",
        "public",
        "hide_face_down_owners",
        "join",
        "move_time",
    }
    if unknown:
        raise HubError("bad_request", f"unknown field {sorted(unknown)[0]!r}")
    first = body.get("first", "A")
    if first not in SEATS:
        raise HubError("bad_request", "first is 'A' or 'B'")
    ply_limit = _int(body.get("ply_limit", 200), "ply_limit", 1, MAX_PLY_LIMIT)
    public = body.get("public", True)
    hide = body.get("hide_face_down_owners", False)
    if not isinstance(public, bool) or not isinstance(hide, bool):
        raise HubError("bad_request", "public and hide_face_down_owners are true or false")
    move_time = body.get("move_time")
    if move_time is not None and (
        isinstance(move_time, bool)
        or not isinstance(move_time, (int, float))
        or float(move_time) not in move_times
    ):
        choices = ", ".join(f"{t:g}" for t in move_times)
        raise HubError("bad_request", f"move_time is null or one of {choices} (seconds)")
    seats_in = body.get("seats", {})
    if not isinstance(seats_in, dict) or set(seats_in) - set(SEATS):
        raise HubError("bad_request", "seats maps 'A' and 'B' to their settings")
    seats: dict[str, dict] = {}
    for name in SEATS:
        settings = seats_in.get(name, {})
        if not isinstance(settings, dict):
            raise HubError("bad_request", f"seat {name} is an object")
        kind = settings.get("kind", "human")
        if kind == "human":
            seats[name] = {"kind": "human"}
        elif kind == "engine":
            level = _int(settings.get("level", 5), "level", 1, MAX_LEVEL)
            think = settings.get("think_time", 2.0)
            if (
                isinstance(think, bool)
                or not isinstance(think, (int, float))
                or not 0.05 <= think <= 30
            ):
                raise HubError("bad_request", "think_time is 0.05 to 30 seconds")
            seats[name] = {
                "kind": "engine",
                "name": f"engine (level {level})",
                "level": level,
                "think_time": float(think),
            }
        else:
            raise HubError("bad_request", "a seat's kind is 'human' or 'engine'")
    if all(s["kind"] == "engine" for s in seats.values()):
        raise HubError("bad_request", "at least one seat is human")
    join = body.get("join")
    if join is not None:
        if not isinstance(join, dict):
            raise HubError("bad_request", "join is an object with seat and name")
        seat = join.get("seat", next(s for s in SEATS if seats[s]["kind"] == "human"))
        if seat not in SEATS:
            raise HubError("bad_request", "seat is 'A' or 'B'")
        join = (seat, check_name(join.get("name")))
    return {
        "first": first,
        "ply_limit": ply_limit,
        "public": public,
        "hide_face_down_owners": hide,
        "move_time": None
        if move_time is None
        else (int(move_time) if move_time == int(move_time) else float(move_time)),
        "seats": seats,
        "join": join,
    }


def _int(value: object, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise HubError("bad_request", f"{name} is a whole number from {low} to {high}")
    return value
