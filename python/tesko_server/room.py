"""A room and its seats as the hub holds them: who sits where, the clock of
the side to move, what has been applied and committed, and who is told."""

from __future__ import annotations

import asyncio
import enum
import hashlib
import hmac
import logging
import secrets
import time
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, Protocol

import msgspec

from .protocol import Presence, Snapshot, Thinking, dumps, expand_state
from .rows import RoomRow, SeatRow

log = logging.getLogger("tesko_server")


class Connection(Protocol):
    """What the hub needs of a client connection."""

    room: Room | None
    seat: str | None

    def send(self, text: str) -> None:
        """Queue a text message; never blocks."""

    def close(self, code: int, reason: str) -> None:
        """Send what is queued, then close with `code`."""


def hash_token(token: str) -> bytes:
    return hashlib.sha256(token.encode("utf-8", "surrogatepass")).digest()


def new_token() -> tuple[str, bytes]:
    token = secrets.token_urlsafe(32)  # 256 bits
    return token, hash_token(token)


class Phase(enum.Enum):
    """Where a room is in its work with the engine; one at a time."""

    REBUILDING = "rebuilding"  # waits for its board on a (re)started engine worker
    READY = "ready"  # takes its next step: a queued move, or an engine seat's search
    MOVING = "moving"  # a person's move is with the engine
    SEARCHING = "searching"  # an engine seat searches
    ENDING = "ending"  # the game is being ended on time or by a claim
    REMATCHING = "rematching"  # the game is over and its rematch is being made
    BROKEN = "broken"  # it cannot go on: `Room.fault` says why

    @property
    def with_engine(self) -> bool:
        """A request of the room's is with the engine."""
        return self in (Phase.MOVING, Phase.SEARCHING, Phase.ENDING)


@dataclass
class PendingMove:
    """A person's move waiting for the engine."""

    conn: Connection
    seat: str
    n: int
    move: str
    arrival: float  # time.perf_counter() when it arrived
    resent: bool = False  # sent again after the engine worker ended under it


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
        self.event_texts: deque[str] = deque(maxlen=catch_up)
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
        self.queue: deque[PendingMove] = deque()  # moves waiting for the engine
        self.phase = Phase.REBUILDING
        self.fault: str | None = None  # why the room cannot go on, once BROKEN
        self.search_started = 0.0  # monotonic time, while SEARCHING
        self.expanded: tuple[int, dict] | None = None
        self.counted_open = False  # among the hub's open rooms
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
                "rematch_offer": seat.rematch > 0,
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
            "rematch": row.rematch,
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

    def presence(self) -> Presence:
        return Presence(
            seats={
                s: seat.kind == "engine" or bool(self.conns[s]) for s, seat in self.seats.items()
            },
            spectators=len(self.spectators),
            claimable={s: self.claim_wait(s) == 0.0 for s in self.seats},
        )

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

    def search(self) -> Thinking | None:
        """The engine seat's search in progress: seat, level, think time and
        the seconds it has run so far; None when no engine seat searches."""
        if self.phase is not Phase.SEARCHING:
            return None
        who, since = self.state["to_move"], self.search_started
        seat = self.seats[who]
        elapsed = round(time.monotonic() - since, 3)
        return Thinking(who, seat.level, seat.think_time, elapsed)

    def snapshot(self, seat: str | None) -> Snapshot:
        search = self.search()
        return Snapshot(
            version=self.committed_version,
            room=self.summary(),
            state=self.public_state(),
            history=self.public_history(),
            you={"seat": seat, "legal_moves": self.moves_for(seat)},
            thinking=None if search is None else msgspec.structs.asdict(search),
            clock=self.clock_wire(),
            review=self.review,
            review_status=self.review_status(),
        )

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
