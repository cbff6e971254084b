"""The lobby: the public rooms it lists, and the limits on the unfinished
rooms it lets be made (in all, and per address that made them).

One view per kind of store, behind the same calls:

- `MemoryLobby`, with a store of one server (SQLite): the lists come from
  the server's own rooms, and the rooms are counted in memory.
- `StoreLobby`, with a store shared by several nodes (PostgreSQL): each
  node writes the lobby entries of the rooms it holds into the store, and
  keeps every other node's entries in memory, read again for the rooms that
  a notification names (and all of them when the notifications may have
  been missed). The rooms are counted in the store.
"""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Protocol

from .protocol import HubError
from .room import Room
from .rows import Change, LobbyRow, dumps

log = logging.getLogger("tesko_server")

LISTED = 100  # rooms in one list at most, newest first
STATUSES = ("waiting", "playing")

# The fields of a summary that change at every move.
_MOVING = ("plies", "to_move")


@dataclass
class Written:
    """What a node last wrote of one of its rooms' lobby entries, and when."""

    status: str | None
    steady: str  # the summary less its moving fields, as text
    text: str  # the whole summary, as text
    at: float  # monotonic time


# What a node "wrote" of a room whose entry another node wrote last.
_SOMEONE_ELSES = Written("", "", "", 0.0)


def listed_status(room: Room) -> str | None:
    """The list a room is in: a public room with a free human seat is
    waiting; one whose game is on is playing if someone plays or watches
    it (a seat's connection or a spectator); else none."""
    if not room.row.public:
        return None
    status = room.status(room.committed_state)
    if status == "waiting" or (status == "playing" and room.attended):
        return status
    return None


def check_status(status: str) -> None:
    if status not in STATUSES:
        raise HubError("bad_request", "status is 'waiting' or 'playing'")


# Two nodes making rooms under one id at once (ids the router drew): the
# second is refused.
ROOM_MADE_ELSEWHERE = "a room of that id was just made on another server; try again"


def refuse(limit: str) -> HubError:
    if limit == "server_full":
        return HubError("server_full", "the server holds as many rooms as it may")
    if limit == "room_moved":
        return HubError("room_moved", ROOM_MADE_ELSEWHERE)
    return HubError("too_many_rooms", "too many open rooms from this address")


class Lobby(Protocol):
    async def start(self) -> None: ...

    def close(self) -> None: ...

    def list(self, status: str) -> list[dict]:
        """A list's room summaries, newest first (`LISTED` at most)."""

    def changed(self, room: Room) -> None:
        """Something a room's summary shows may have changed."""

    def held(self, room: Room) -> None:
        """A room read from the store is held here now."""

    def flush(self) -> None:
        """Write what changed now (a server that stops)."""

    async def admit(self, room_id: str, address: str) -> None:
        """Count a room about to be made by `address`, or refuse it
        (`server_full`, `too_many_rooms`)."""

    async def cancel(self, room_id: str) -> None:
        """Give back the place of an admitted room that was not made."""

    def opened(self, room: Room) -> None:
        """A room held unfinished: made, or loaded from the store."""

    def closed(self, room: Room) -> None:
        """A room finished or deleted: it leaves the counts."""


class MemoryLobby:
    """The lobby of a server that is alone on its store: its own rooms."""

    def __init__(self, rooms: Mapping[str, Room], max_rooms: int, max_per_address: int) -> None:
        self.rooms = rooms
        self.max_rooms = max_rooms
        self.max_per_address = max_per_address
        self.open_count = 0
        self.open_by_address: dict[str, int] = {}
        self.admitted: dict[str, str] = {}  # rooms admitted and not yet made: their address

    async def start(self) -> None:
        pass

    def close(self) -> None:
        pass

    def list(self, status: str) -> list[dict]:
        check_status(status)
        found = [r for r in self.rooms.values() if listed_status(r) == status]
        found.sort(key=lambda r: r.row.created, reverse=True)
        return [r.summary() for r in found[:LISTED]]

    def changed(self, room: Room) -> None:
        pass

    def held(self, room: Room) -> None:
        pass

    def flush(self) -> None:
        pass

    async def admit(self, room_id: str, address: str) -> None:
        if self.open_count >= self.max_rooms:
            raise refuse("server_full")
        if self.open_by_address.get(address, 0) >= self.max_per_address:
            raise refuse("too_many_rooms")
        # Counted at once: another room asked for while this one is dealt
        # sees it.
        self.admitted[room_id] = address
        self._count(address, 1)

    async def cancel(self, room_id: str) -> None:
        address = self.admitted.pop(room_id, None)
        if address is not None:
            self._count(address, -1)

    def opened(self, room: Room) -> None:
        room.counted_open = True
        if self.admitted.pop(room.id, None) is None:
            self._count(room.row.creator, 1)

    def closed(self, room: Room) -> None:
        if room.counted_open:
            room.counted_open = False
            self._count(room.row.creator, -1)

    def _count(self, address: str, step: int) -> None:
        self.open_count += step
        left = self.open_by_address.get(address, 0) + step
        if left:
            self.open_by_address[address] = left
        else:
            del self.open_by_address[address]


class SharedStore(Protocol):
    """What `StoreLobby` asks of a store shared by several nodes."""

    async def listen_lobby(
        self, on_lobby: Callable[[str], None], on_missed: Callable[[], None] | None = None
    ) -> None: ...

    async def lobby_entries(self, rooms: list[str] | None = None) -> dict[str, tuple]: ...

    async def reserve_room(
        self, room_id: str, creator: str, max_rooms: int, max_per_creator: int
    ) -> str | None: ...

    async def cancel_reservation(self, room_id: str) -> None: ...


class StoreLobby:
    """The lobby of a node among several on one store. Its own rooms are
    listed from memory, as they stand; the other nodes' from their entries
    in the store, as they stood at most about `interval` seconds earlier
    (plus a commit and a notification): a room made, a seat taken or given
    up, someone coming or going, a game ending. A game's plies and side to
    move, which change at every move, are written at most every
    `moves_interval` seconds (the page reads the lists every five).

    `write` commits changes with the node's others (the group commit), so
    an entry is fenced like any write for a room the node no longer holds.
    """

    def __init__(
        self,
        rooms: Mapping[str, Room],
        max_rooms: int,
        max_per_address: int,
        store: SharedStore,
        write: Callable[[list[Change]], None],
        interval: float = 0.5,
        moves_interval: float = 5.0,
    ) -> None:
        self.rooms = rooms
        self.max_rooms = max_rooms
        self.max_per_address = max_per_address
        self.store = store
        self.write = write
        self.interval = interval
        self.moves_interval = moves_interval
        # The other nodes' listed entries: room id: (status, created, summary).
        self.others: dict[str, tuple[str, float, dict]] = {}
        # What this node last wrote of each of its rooms.
        self.written: dict[str, Written] = {}
        self.dirty: set[str] = set()
        self.last_flush = 0.0
        self._flush_at: asyncio.TimerHandle | None = None
        self._flush_due = 0.0
        self.heard: set[str] = set()
        self.read_all = False
        self._reading: asyncio.Task[None] | None = None

    async def start(self) -> None:
        await self.store.listen_lobby(self._heard, self._missed)
        self.others = await self.store.lobby_entries()

    def close(self) -> None:
        if self._flush_at is not None:
            self._flush_at.cancel()
            self._flush_at = None
        if self._reading is not None:
            self._reading.cancel()
            self._reading = None

    # -- the lists -----------------------------------------------------------

    def list(self, status: str) -> list[dict]:
        check_status(status)
        found: list[tuple[float, Any]] = [
            (r.row.created, r) for r in self.rooms.values() if listed_status(r) == status
        ]
        found += [
            (created, summary)
            for room_id, (listed, created, summary) in self.others.items()
            if listed == status and room_id not in self.rooms
        ]
        found.sort(key=lambda entry: entry[0], reverse=True)
        return [e.summary() if isinstance(e, Room) else e for _, e in found[:LISTED]]

    def _heard(self, room_id: str) -> None:
        self.heard.add(room_id)
        self._read()

    def _missed(self) -> None:
        self.read_all = True
        self._read()

    def _read(self) -> None:
        if self._reading is None:
            self._reading = asyncio.get_running_loop().create_task(self._reads())

    async def _reads(self) -> None:
        """Read the entries heard of (all of them after a gap), until none is
        left to read; notifications that come meanwhile join the next read."""
        try:
            while self.heard or self.read_all:
                if self.read_all:
                    self.read_all = False
                    self.heard.clear()
                    self.others = await self.store.lobby_entries()
                    continue
                ids, self.heard = sorted(self.heard), set()
                found = await self.store.lobby_entries(ids)
                for room_id in ids:
                    if room_id in found:
                        self.others[room_id] = found[room_id]
                    else:
                        self.others.pop(room_id, None)
        except Exception as err:  # noqa: BLE001 - tried again, all of it, in a second
            log.warning("reading the lobby from the store failed (%s); trying again", err)
            self.read_all = True
            asyncio.get_running_loop().call_later(1.0, self._read)
        finally:
            self._reading = None

    # -- this node's entries ---------------------------------------------------

    def changed(self, room: Room) -> None:
        if not room.row.public and room.id not in self.written:
            return  # never listed
        self.dirty.add(room.id)
        self._flush_by(self.last_flush + self.interval)

    def _flush_by(self, due: float) -> None:
        if self._flush_at is not None:
            if self._flush_due <= due:
                return
            self._flush_at.cancel()
        self._flush_due = due
        wait = max(0.0, due - time.monotonic())
        self._flush_at = asyncio.get_running_loop().call_later(wait, self.flush)

    def held(self, room: Room) -> None:
        # The entry in the store is the last holder's: it is written again,
        # listed or not, as this node sees the room.
        self.written[room.id] = _SOMEONE_ELSES
        self.changed(room)

    def flush(self) -> None:
        if self._flush_at is not None:
            self._flush_at.cancel()
            self._flush_at = None
        now = self.last_flush = time.monotonic()
        dirty, self.dirty = self.dirty, set()
        rows: list[Change] = []
        later = None  # when the first entry held back is due
        for room_id in dirty:
            room = self.rooms.get(room_id)
            if room is None:
                self.written.pop(room_id, None)
                continue
            status = listed_status(room)
            before = self.written.get(room_id)
            if status is None:
                if before is None or before.status is None:
                    continue  # not listed, and nobody was told it is
                summary: dict = {}
                steady = text = ""
            else:
                summary = room.summary()
                text = dumps(summary)
                steady = dumps({k: v for k, v in summary.items() if k not in _MOVING})
            if before is not None and (before.status, before.steady) == (status, steady):
                if before.text == text:
                    continue
                due = before.at + self.moves_interval
                if now < due:  # only moves since: written a little later
                    self.dirty.add(room_id)
                    later = due if later is None else min(later, due)
                    continue
            self.written[room_id] = Written(status, steady, text, now)
            rows.append(LobbyRow(room_id, status, room.row.created, summary))
        if len(self.written) > len(self.rooms):  # rooms deleted since
            self.written = {k: v for k, v in self.written.items() if k in self.rooms}
        if later is not None:
            self._flush_by(later)
        if rows:
            self.write(rows)

    # -- the room limits -------------------------------------------------------

    async def admit(self, room_id: str, address: str) -> None:
        limit = await self.store.reserve_room(
            room_id, address, self.max_rooms, self.max_per_address
        )
        if limit is not None:
            raise refuse(limit)

    async def cancel(self, room_id: str) -> None:
        try:
            await self.store.cancel_reservation(room_id)
        except Exception as err:  # noqa: BLE001 - the reservation lapses in time
            log.warning("room %s: its reservation was not given back (%s)", room_id, err)

    def opened(self, room: Room) -> None:
        # Counted in the store, by the room's own writes.
        room.counted_open = True

    def closed(self, room: Room) -> None:
        room.counted_open = False
