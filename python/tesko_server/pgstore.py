"""The store in PostgreSQL, shared by several server nodes.

The schema is the SQLite store's (`store.py`), in PostgreSQL's types, plus
one table of owners: a room is held by one node at a time, and each
takeover of a room raises its epoch. A node writes a room only with the
epoch it got when it took the room, and the store checks that epoch in the
transaction of the write itself: once another node has taken the room, the
old owner's writes are refused whole (`Fenced`), whatever else they held.

Connections: one commits (so commits stay in the order they were made),
one listens for the lobby's notifications, and a small pool serves reads.
A batch that changes the lobby (writes a room's lobby entry, or deletes a
room) sends a notification naming each such room inside its transaction,
so a notification arrives only for a change that was committed.

The store keeps the epoch of each room this node has claimed and writes
with it, so its caller only says what changed. A claim also sends a
notification on the owners' channel, so that the node that held the room
drops its copy at once rather than at its next write. The lobby's entries
and the room limits shared by the nodes are `pglobby`'s; the listening
connection, which comes back when it is lost, `pglisten`'s.
"""

from __future__ import annotations

import asyncio
import json
import logging
from collections.abc import Callable, Sequence
from dataclasses import fields

import asyncpg

from . import pglobby
from .pglisten import LOBBY_CHANNEL, Listener
from .pgowners import PgOwners
from .rows import (
    Alive,
    Change,
    DeleteRoom,
    EventRow,
    Fenced,
    LobbyRow,
    ReviewRow,
    RoomRow,
    RowReader,
    SeatRow,
    StoredRoom,
    StoreError,
    dumps,
    room_of,
)

log = logging.getLogger("tesko_server")


# Each entry brings the schema from the version before it to its own. The
# first three are the SQLite store's; the fourth adds the owners; the fifth
# drops the rooms' `expired` column, as the SQLite store's fourth does; the
# sixth makes the alive row one per node and adds the lobby's entries and
# the room counts (`pglobby`).
MIGRATIONS: tuple[str, ...] = (
    """
    CREATE TABLE rooms (
        id TEXT PRIMARY KEY,
        created DOUBLE PRECISION NOT NULL,
        public BOOLEAN NOT NULL,
        first TEXT NOT NULL,
        ply_limit INTEGER NOT NULL,
        hide_face_down_owners BOOLEAN NOT NULL,
        layout TEXT NOT NULL,
        initial_state TEXT NOT NULL,
        creator TEXT NOT NULL,
        finished_at DOUBLE PRECISION,
        rematch TEXT,
        expired BOOLEAN NOT NULL DEFAULT FALSE
    );
    CREATE TABLE seats (
        room TEXT NOT NULL REFERENCES rooms(id) ON DELETE CASCADE,
        seat TEXT NOT NULL,
        kind TEXT NOT NULL,
        name TEXT,
        token_hash BYTEA,
        level INTEGER,
        think_time DOUBLE PRECISION,
        PRIMARY KEY (room, seat)
    );
    CREATE TABLE events (
        room TEXT NOT NULL REFERENCES rooms(id) ON DELETE CASCADE,
        version INTEGER NOT NULL,
        kind TEXT NOT NULL,
        seat TEXT,
        n INTEGER,
        data TEXT NOT NULL,
        state TEXT NOT NULL,
        at DOUBLE PRECISION NOT NULL,
        PRIMARY KEY (room, version)
    );
    CREATE INDEX rooms_open ON rooms (finished_at, expired);
    """,
    """
    ALTER TABLE rooms ADD COLUMN move_time INTEGER;
    ALTER TABLE rooms ADD COLUMN deadline DOUBLE PRECISION;
    ALTER TABLE rooms ADD COLUMN deadline_set DOUBLE PRECISION;
    CREATE TABLE alive (
        id INTEGER PRIMARY KEY CHECK (id = 1),
        at DOUBLE PRECISION NOT NULL
    );
    """,
    """
    CREATE TABLE reviews (
        room TEXT PRIMARY KEY REFERENCES rooms(id) ON DELETE CASCADE,
        data TEXT NOT NULL
    );
    """,
    """
    CREATE TABLE owners (
        room TEXT PRIMARY KEY,
        node TEXT NOT NULL,
        epoch BIGINT NOT NULL
    );
    """,
    # An expired room is deleted, never marked.
    """
    DELETE FROM owners WHERE room IN (SELECT id FROM rooms WHERE expired);
    DELETE FROM rooms WHERE expired;
    DROP INDEX rooms_open;
    ALTER TABLE rooms DROP COLUMN expired;
    CREATE INDEX rooms_open ON rooms (finished_at);
    """,
    pglobby.MIGRATION,
)

SCHEMA_VERSION = len(MIGRATIONS)
# Held by the transaction that migrates, so that nodes starting together
# migrate one after the other (any constant, the same in every node).
_MIGRATION_LOCK = 0x7E5C0


def _insert(table: str, row: type, tail: str = "") -> str:
    """An INSERT of every field of `row`, each into its column by name."""
    names = [f.name for f in fields(row)]
    values = ",".join(f"${i}" for i in range(1, len(names) + 1))
    return f"INSERT INTO {table} ({', '.join(names)}) VALUES ({values}){tail}"


# The fields kept as JSON text.
_JSON_FIELDS = frozenset({"initial_state", "data", "state"})


def _values(change: RoomRow | SeatRow | EventRow) -> tuple:
    """The fields of `change` in the order `_insert` names them."""
    values = []
    for f in fields(change):
        value = getattr(change, f.name)
        values.append(dumps(value) if f.name in _JSON_FIELDS else value)
    return tuple(values)


_ROOM = pglobby.room_counted(
    _insert(
        "rooms",
        RoomRow,
        " ON CONFLICT (id) DO UPDATE"
        " SET finished_at=excluded.finished_at, rematch=excluded.rematch,"
        " public=excluded.public,"
        " deadline=excluded.deadline, deadline_set=excluded.deadline_set",
    )
)
_SEAT = _insert(
    "seats",
    SeatRow,
    " ON CONFLICT (room, seat) DO UPDATE"
    " SET kind=excluded.kind, name=excluded.name, token_hash=excluded.token_hash,"
    " level=excluded.level, think_time=excluded.think_time",
)
_EVENT = _insert("events", EventRow)
_DELETE = "DELETE FROM rooms WHERE id=$1"
_REVIEW = (
    "INSERT INTO reviews (room, data) VALUES ($1,$2)"
    " ON CONFLICT (room) DO UPDATE SET data=excluded.data"
)


def _statement(change: Change, node: str) -> tuple[str, tuple]:
    if isinstance(change, EventRow):
        return _EVENT, _values(change)
    if isinstance(change, RoomRow):
        return _ROOM, _values(change)
    if isinstance(change, SeatRow):
        return _SEAT, _values(change)
    if isinstance(change, DeleteRoom):
        return _DELETE, (change.id,)
    if isinstance(change, ReviewRow):
        return _REVIEW, (change.room, dumps(change.review))
    if isinstance(change, LobbyRow):
        return pglobby.LOBBY_ENTRY, (
            change.room,
            change.status,
            change.created,
            dumps(change.summary),
        )
    if isinstance(change, Alive):
        return pglobby.ALIVE, (node, change.at)
    raise TypeError(f"not a store change: {change!r}")


async def migrate(conn: asyncpg.Connection) -> int:
    """Bring the schema to `SCHEMA_VERSION` in one transaction; returns the
    version found. Nodes that start together take turns."""
    async with conn.transaction():
        await conn.execute("SELECT pg_advisory_xact_lock($1)", _MIGRATION_LOCK)
        await conn.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
        current = await conn.fetchval("SELECT version FROM schema_version") or 0
        if current > SCHEMA_VERSION:
            raise StoreError(
                f"the database has schema version {current}; this server knows up to "
                f"{SCHEMA_VERSION}: use a newer tesko-server"
            )
        for version in range(current, SCHEMA_VERSION):
            await conn.execute(MIGRATIONS[version])
        if current < SCHEMA_VERSION:
            await conn.execute("DELETE FROM schema_version")
            await conn.execute("INSERT INTO schema_version VALUES ($1)", SCHEMA_VERSION)
    return current


class PgStore(RowReader, pglobby.LobbyQueries, PgOwners):
    """The store in a PostgreSQL database (`dsn`), opened by `PgStore.open`,
    for the node named `node` (its owner rows' and alive row's name).

    `durable=True` (the default) commits with `synchronous_commit` on: a
    write has reached PostgreSQL's disk when it returns. `durable=False`
    turns it off for the writes: a crash of PostgreSQL's machine (not of a
    node) can then lose the last fraction of a second of acknowledged
    writes, though never part of one, and never out of order.

    `on_lobby` is called on the event loop with the id of each room whose
    lobby entry a committed batch changed, from any node (as `listen_lobby`).
    """

    # Shared by several nodes: a room is loaded when it is asked for, and
    # claimed first.
    shared = True

    def __init__(self, node: str = "node") -> None:
        self.node = node
        self.unreadable: dict[str, str] = {}
        self._dsn = ""
        # The rooms this node has claimed: the epoch its writes carry.
        self.epochs: dict[str, int] = {}
        self._writer: asyncpg.Connection | None = None
        self._listener: Listener | None = None
        self._pool: asyncpg.Pool | None = None
        self._write_lock = asyncio.Lock()

    @classmethod
    async def open(
        cls,
        dsn: str,
        *,
        node: str = "node",
        durable: bool = True,
        on_lobby: Callable[[str], None] | None = None,
        readers: int = 4,
        timeout: float = 60.0,
    ) -> PgStore:
        self = cls(node)
        self._dsn = dsn
        try:
            self._writer = await asyncpg.connect(
                dsn,
                timeout=timeout,
                server_settings={
                    "application_name": "tesko-server writer",
                    "synchronous_commit": "on" if durable else "off",
                },
            )
            await migrate(self._writer)
            self._pool = await asyncpg.create_pool(
                dsn,
                min_size=1,
                max_size=readers,
                timeout=timeout,
                server_settings={"application_name": "tesko-server reader"},
            )
            if on_lobby is not None:
                await self.listen_lobby(on_lobby)
        except BaseException:
            await self.close()
            raise
        return self

    async def listen(self, channel: str, callback: Callable[[str], None]) -> None:
        """Call `callback` with each notification's payload on `channel`, on
        the listening connection (opened at the first call)."""
        if self._listener is None:
            self._listener = Listener(self._dsn)
        await self._listener.listen(channel, callback)

    async def listen_lobby(
        self, on_lobby: Callable[[str], None], on_missed: Callable[[], None] | None = None
    ) -> None:
        """Call `on_lobby` with the id of each room whose lobby entry changed,
        and `on_missed` when the listening connection comes back after it
        was lost: whatever was notified meanwhile was missed."""
        await self.listen(LOBBY_CHANNEL, on_lobby)
        if on_missed is not None:
            self._on_back(on_missed)

    def _on_back(self, callback: Callable[[], None]) -> None:
        """Call `callback` each time the listening connection comes back."""
        assert self._listener is not None
        self._listener.on_back.append(callback)

    async def write(self, changes: Sequence[Change]) -> None:
        """Apply `changes` in order, all or none, in one transaction.

        Each room the changes touch must have been claimed by this node. If
        another node has claimed one since, the transaction is rolled back,
        this node forgets those rooms' epochs, and `Fenced` names them.
        """
        if not changes:
            return
        rooms = {room for change in changes if (room := room_of(change)) is not None}
        epochs = self.epochs
        unclaimed = rooms - epochs.keys()
        if unclaimed:
            raise Fenced(unclaimed)
        lobby = sorted(
            {
                room
                for change in changes
                if isinstance(change, LobbyRow | DeleteRoom)
                and (room := room_of(change)) is not None
            }
        )
        deleted = [change.id for change in changes if isinstance(change, DeleteRoom)]
        # Runs of changes of one kind go to the server together.
        runs: list[tuple[str, list[tuple]]] = []
        for change in changes:
            query, args = _statement(change, self.node)
            if runs and runs[-1][0] == query:
                runs[-1][1].append(args)
            else:
                runs.append((query, [args]))
        assert self._writer is not None
        async with self._write_lock, self._writer.transaction():
            conn = self._writer
            if rooms:
                ids = sorted(rooms)
                # The owner rows stay locked to the commit: a claim that comes
                # meanwhile waits for it, and then fences what follows.
                held = {
                    row["room"]: row["epoch"]
                    for row in await conn.fetch(
                        "SELECT room, epoch FROM owners WHERE room = ANY($1::text[])"
                        " ORDER BY room FOR UPDATE",
                        ids,
                    )
                }
                lost = [room for room in ids if held.get(room) != epochs.get(room)]
                if lost:
                    for room in lost:
                        epochs.pop(room, None)
                    raise Fenced(lost)
            for query, rows in runs:
                if len(rows) == 1:
                    await conn.execute(query, *rows[0])
                else:
                    await conn.executemany(query, rows)
            if lobby:
                await conn.execute(
                    "SELECT pg_notify($1, room) FROM unnest($2::text[]) AS room",
                    LOBBY_CHANNEL,
                    lobby,
                )
            if deleted:
                await conn.execute("DELETE FROM owners WHERE room = ANY($1::text[])", deleted)
                await conn.execute("DELETE FROM open_rooms WHERE room = ANY($1::text[])", deleted)
        for room in deleted:
            epochs.pop(room, None)

    async def load_rooms(self, finished_after: float) -> list[StoredRoom]:
        """Every room that is unfinished or finished after the time given, less
        those that cannot be read (named in `unreadable`)."""
        return await self._load("finished_at IS NULL OR finished_at > $1", finished_after)

    async def load_room(self, room_id: str) -> StoredRoom | None:
        """One room, finished or not (None if it is not held or unreadable)."""
        rooms = await self._load("id=$1", room_id)
        return rooms[0] if rooms else None

    async def _load(self, where: str, arg: object) -> list[StoredRoom]:
        assert self._pool is not None
        self.unreadable = {}
        rooms: dict[str, StoredRoom] = {}
        chosen = f"SELECT id FROM rooms WHERE {where}"
        async with self._pool.acquire() as conn, conn.transaction(isolation="repeatable_read"):
            for row in await conn.fetch(f"SELECT * FROM rooms WHERE {where} ORDER BY created", arg):
                self._add_room(rooms, row)
            for row in await conn.fetch(
                f"SELECT * FROM seats WHERE room IN ({chosen}) ORDER BY room, seat", arg
            ):
                if row["room"] in rooms:
                    rooms[row["room"]].seats.append(self._read_seat(row))
            for row in await conn.fetch(
                f"SELECT * FROM events WHERE room IN ({chosen}) ORDER BY room, version", arg
            ):
                stored = rooms.get(row["room"])
                if stored is not None and row["room"] not in self.unreadable:
                    self._add_event(stored, row)
            for row in await conn.fetch(
                f"SELECT room, data FROM reviews WHERE room IN ({chosen})", arg
            ):
                stored = rooms.get(row["room"])
                if stored is not None:
                    self._add_review(stored, row["data"])
        for room_id in self.unreadable:
            rooms.pop(room_id, None)
        return list(rooms.values())

    async def load_moves(self, room: str) -> list[str | None]:
        """The room's turns in order (None for a pass)."""
        assert self._pool is not None
        return [
            json.loads(row["data"]).get("move")
            for row in await self._pool.fetch(
                "SELECT data FROM events WHERE room=$1 AND kind='turn' ORDER BY version", room
            )
        ]

    async def purge(self, finished_before: float) -> int:
        """Delete the rooms finished before the time given."""
        assert self._writer is not None
        async with self._write_lock, self._writer.transaction():
            gone = await self._writer.fetch(
                "DELETE FROM rooms WHERE finished_at < $1 RETURNING id",
                finished_before,
            )
            ids = [row["id"] for row in gone]
            await self._writer.execute("DELETE FROM owners WHERE room = ANY($1::text[])", ids)
            await self._writer.execute("DELETE FROM open_rooms WHERE room = ANY($1::text[])", ids)
        return len(ids)

    async def last_alive(self, node: str | None = None) -> float | None:
        """The latest `Alive` time written by `node` (this store's own by
        default), or None if it wrote none: a room taken over from a node
        that stopped without warning restores its move clock from that
        node's last time, so the outage is not counted."""
        assert self._pool is not None
        return await self._pool.fetchval(
            "SELECT at FROM alive WHERE node=$1", self.node if node is None else node
        )

    async def close(self) -> None:
        listener, writer = self._listener, self._writer
        self._listener = self._writer = None
        if listener is not None:
            await listener.close()
        if writer is not None:
            await writer.close()
        if self._pool is not None:
            await self._pool.close()
            self._pool = None
