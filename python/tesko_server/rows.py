"""The rows a store keeps (rooms, seats, turns, reviews, lobby entries),
the calls every store answers (`Store`), and the reading of stored rows
back into rooms that the SQLite and PostgreSQL stores share."""

from __future__ import annotations

import json
import logging
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, fields
from typing import Protocol

log = logging.getLogger("tesko_server")

# One encoder for every stored JSON text (json.dumps with options makes one per call).
dumps = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False).encode


@dataclass
class RoomRow:
    """A room's settings and where it stands; written whole (insert or update)."""

    id: str
    created: float
    public: bool
    first: str
    ply_limit: int
    hide_face_down_owners: bool
    layout: str
    initial_state: dict
    creator: str
    finished_at: float | None = None
    rematch: str | None = None
    move_time: int | None = None
    """Seconds a person has for each move, or None for an untimed room."""
    deadline: float | None = None
    """While a person's clock runs: the wall time it runs out (Unix seconds)."""
    deadline_set: float | None = None
    """When `deadline` was set: the server knew the clock's time left then."""


@dataclass
class SeatRow:
    room: str
    seat: str
    kind: str
    name: str | None = None
    token_hash: bytes | None = None
    level: int | None = None
    think_time: float | None = None


@dataclass
class EventRow:
    room: str
    version: int
    kind: str
    data: dict
    state: dict
    at: float
    seat: str | None = None
    n: int | None = None


@dataclass
class DeleteRoom:
    id: str


@dataclass
class Alive:
    """The server was running at `at` (wall time): how far a running move
    clock is known to have gone when the server stops without warning."""

    at: float


@dataclass
class ReviewRow:
    """The engine's review of a finished room's game (`Review.to_json()`)."""

    room: str
    review: dict


@dataclass
class LobbyRow:
    """A room's entry in a lobby shared by several nodes, written by the
    node that holds the room: `status` is the list it is in ("waiting",
    "playing") or None when it is in none; `summary` its room summary."""

    room: str
    status: str | None
    created: float
    summary: dict


Change = RoomRow | SeatRow | EventRow | DeleteRoom | Alive | ReviewRow | LobbyRow


@dataclass
class StoredRoom:
    room: RoomRow
    seats: list[SeatRow] = field(default_factory=list)
    events: list[EventRow] = field(default_factory=list)
    review: dict | None = None


class Store(Protocol):
    """Where rooms are kept. Every call is awaited; a store on this machine
    may do its work at once, one across the network while the loop goes on."""

    async def write(self, changes: Sequence[Change]) -> None:
        """Apply `changes` in order, all or none, durably before returning.
        A store shared by several nodes raises `Fenced` when another node
        has taken some of their rooms; nothing of the batch is written."""

    # Rooms held but not readable (room id: the cause), found by load_rooms;
    # they are left in the store as they are.
    unreadable: dict[str, str]

    async def load_rooms(self, finished_after: float) -> list[StoredRoom]:
        """Every room that is unfinished or finished after the time given, less
        those that cannot be read (named in `unreadable`)."""

    async def load_moves(self, room: str) -> list[str | None]:
        """The room's turns in order (None for a pass), from the store itself."""

    async def purge(self, finished_before: float) -> int:
        """Delete the rooms finished before the time given."""

    async def last_alive(self) -> float | None:
        """The latest `Alive` time written, or None if none was."""

    async def close(self) -> None: ...


def room_of(change: Change) -> str | None:
    """The room a change is about (None for the server's own rows)."""
    if isinstance(change, RoomRow | DeleteRoom):
        return change.id
    if isinstance(change, SeatRow | EventRow | ReviewRow | LobbyRow):
        return change.room
    return None


class StoreError(RuntimeError):
    pass


class Fenced(StoreError):
    """A write refused because another node has taken some of its rooms
    (`rooms`, sorted) since this node took them. Nothing of the batch was
    written; the writer no longer owns those rooms and must drop them."""

    def __init__(self, rooms: Sequence[str]) -> None:
        self.rooms = tuple(sorted(rooms))
        super().__init__(f"rooms taken by another node: {', '.join(self.rooms)}")


class RowReader:
    """Stored rooms made from the rows a store reads, by column name (an
    SQLite row and a PostgreSQL record alike). A room whose row cannot be
    read is named in `unreadable` with the cause, and left out."""

    unreadable: dict[str, str]

    def _add_room(self, rooms: dict[str, StoredRoom], row: Mapping) -> None:
        try:
            initial_state = json.loads(row["initial_state"])
        except ValueError as err:
            self.unreadable[row["id"]] = f"its initial state is not JSON ({err})"
            return
        values = _named(row, RoomRow)
        values.update(
            initial_state=initial_state,
            public=bool(values["public"]),
            hide_face_down_owners=bool(values["hide_face_down_owners"]),
        )
        rooms[row["id"]] = StoredRoom(RoomRow(**values))

    def _add_event(self, stored: StoredRoom, row: Mapping) -> None:
        try:
            data, state = json.loads(row["data"]), json.loads(row["state"])
        except ValueError as err:
            self.unreadable[row["room"]] = f"event {row['version']} is not JSON ({err})"
            return
        values = _named(row, EventRow)
        values.update(data=data, state=state)
        stored.events.append(EventRow(**values))

    @staticmethod
    def _read_seat(row: Mapping) -> SeatRow:
        return SeatRow(**_named(row, SeatRow))

    @staticmethod
    def _add_review(stored: StoredRoom, data: str) -> None:
        # A review that cannot be read is only lost: the server makes it again.
        try:
            review = json.loads(data)
        except ValueError as err:
            log.error("room %s: its stored review is not JSON (%s)", stored.room.id, err)
            return
        stored.review = review if isinstance(review, dict) else None


def _named(row: Mapping, kind: type) -> dict:
    """The columns of `row` that are fields of `kind`, by name."""
    return {f.name: row[f.name] for f in fields(kind)}
