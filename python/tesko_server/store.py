"""The embedded store: rooms, seats and turns kept in one SQLite file, so
that a restart loses nothing.

The server talks to its store through `Store` (rows.py): one call writes a
batch of changes in one transaction, the others read rooms back at start
and turns back when a room's board has to be rebuilt. `SqliteStore` is the
default; `PgStore` (pgstore.py) is the store several nodes share.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import logging
import os
import sqlite3
import threading
from collections.abc import Sequence
from dataclasses import fields

from . import metrics
from .rows import (
    Alive,
    Change,
    DeleteRoom,
    EventRow,
    ReviewRow,
    RoomRow,
    RowReader,
    SeatRow,
    StoredRoom,
    StoreError,
    dumps,
)

# Each entry brings the schema from the version before it to its own.
MIGRATIONS: tuple[str, ...] = (
    """
    CREATE TABLE rooms (
        id TEXT PRIMARY KEY,
        created REAL NOT NULL,
        public INTEGER NOT NULL,
        first TEXT NOT NULL,
        ply_limit INTEGER NOT NULL,
        hide_face_down_owners INTEGER NOT NULL,
        layout TEXT NOT NULL,
        initial_state TEXT NOT NULL,
        creator TEXT NOT NULL,
        finished_at REAL,
        rematch TEXT,
        expired INTEGER NOT NULL DEFAULT 0
    );
    CREATE TABLE seats (
        room TEXT NOT NULL REFERENCES rooms(id) ON DELETE CASCADE,
        seat TEXT NOT NULL,
        kind TEXT NOT NULL,
        name TEXT,
        token_hash BLOB,
        level INTEGER,
        think_time REAL,
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
        at REAL NOT NULL,
        PRIMARY KEY (room, version)
    ) WITHOUT ROWID;
    CREATE INDEX rooms_open ON rooms (finished_at, expired);
    """,
    """
    ALTER TABLE rooms ADD COLUMN move_time INTEGER;
    ALTER TABLE rooms ADD COLUMN deadline REAL;
    ALTER TABLE rooms ADD COLUMN deadline_set REAL;
    CREATE TABLE alive (
        id INTEGER PRIMARY KEY CHECK (id = 1),
        at REAL NOT NULL
    );
    """,
    """
    CREATE TABLE reviews (
        room TEXT PRIMARY KEY REFERENCES rooms(id) ON DELETE CASCADE,
        data TEXT NOT NULL
    );
    """,
    # An expired room is deleted, never marked.
    """
    DELETE FROM rooms WHERE expired <> 0;
    DROP INDEX rooms_open;
    ALTER TABLE rooms DROP COLUMN expired;
    CREATE INDEX rooms_open ON rooms (finished_at);
    """,
)

SCHEMA_VERSION = len(MIGRATIONS)
log = logging.getLogger("tesko_server")

CHECKPOINT_INTERVAL = 0.5  # seconds between copies of the log into the database
# The write-ahead log's size past which it is copied and emptied even if
# commits must wait for it (a few milliseconds); it is cut back to this size
# whenever it starts again from its beginning.
LOG_LIMIT = 32 * 1024 * 1024


def lock_store(path: str) -> int:
    """Hold `path`.lock for as long as this process lives (or until the store
    is closed): a second server on the same store would delete the rooms it
    expires under the first one's feet."""
    lock_path = path + ".lock"
    fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        holder = os.read(fd, 20).decode("ascii", "replace").strip() or "?"
        os.close(fd)
        raise StoreError(
            f"another tesko-server (process {holder}) is using it; one server per store"
        ) from None
    except BaseException:
        os.close(fd)
        raise
    os.ftruncate(fd, 0)
    os.write(fd, f"{os.getpid()}\n".encode())
    return fd


def _insert(table: str, row: type, tail: str = "") -> str:
    """An INSERT of every field of `row`, each into its column by name."""
    names = [f.name for f in fields(row)]
    columns = ", ".join(names)
    values = ", ".join(f":{name}" for name in names)
    return f"INSERT INTO {table} ({columns}) VALUES ({values}){tail}"


_EVENT = _insert("events", EventRow)
_ROOM = _insert(
    "rooms",
    RoomRow,
    " ON CONFLICT(id) DO UPDATE"
    " SET finished_at=excluded.finished_at, rematch=excluded.rematch,"
    " public=excluded.public,"
    " deadline=excluded.deadline, deadline_set=excluded.deadline_set",
)
_SEAT = _insert("seats", SeatRow).replace("INSERT", "INSERT OR REPLACE", 1)


class SqliteStore(RowReader):
    """The store in one SQLite file, in WAL mode.

    `durable=False` (synchronous=NORMAL) survives the end of the process at
    any point, `kill -9` included; `durable=True` (FULL) also a power cut,
    at an fsync per commit.
    """

    def __init__(self, path: str, *, durable: bool = False) -> None:
        if not path:
            raise StoreError("no file named (an empty path is a store lost at the end)")
        self.path = path
        self.unreadable: dict[str, str] = {}
        self._lock = lock_store(path) if path != ":memory:" else None
        try:
            self._db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
            self._db.row_factory = sqlite3.Row  # columns read by name
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute(f"PRAGMA synchronous={'FULL' if durable else 'NORMAL'}")
            self._db.execute("PRAGMA foreign_keys=ON")
            self._db.execute("PRAGMA busy_timeout=5000")
            self._db.execute(f"PRAGMA journal_size_limit={LOG_LIMIT}")
            self._migrate()
            self._check_writable()
        except BaseException:
            self._unlock()
            raise
        # The log is copied into the database (a checkpoint, with its fsyncs)
        # by a thread of its own, not by whichever commit crosses the log's
        # size limit: that commit would stall the event loop for 3-30 ms.
        # sqlite releases the interpreter lock while it works.
        self._stop = threading.Event()
        self._checkpointer: threading.Thread | None = None
        if path != ":memory:":
            self._db.execute("PRAGMA wal_autocheckpoint=0")
            self._checkpointer = threading.Thread(
                target=self._checkpoints, name="tesko-store-checkpoint", daemon=True
            )
            self._checkpointer.start()

    def _checkpoints(self) -> None:
        # A failed checkpoint is tried again at the next interval: with the
        # automatic checkpoints off, a thread that gave up would let the log
        # grow without bound. Nothing committed depends on a checkpoint.
        db = sqlite3.connect(self.path, isolation_level=None, check_same_thread=False)
        warned = False
        try:
            db.execute("PRAGMA busy_timeout=5000")
            while not self._stop.wait(CHECKPOINT_INTERVAL):
                try:
                    self._checkpoint(db)
                except sqlite3.Error as err:
                    if not warned:
                        log.warning("store checkpoint failed, will retry: %s", err)
                        warned = True
        finally:
            db.close()

    def _checkpoint(self, db: sqlite3.Connection) -> None:
        """Copy the log into the database without holding up commits. The log
        starts again from its beginning only when a commit finds it wholly
        copied, which steady commits never let happen: once it is over
        `LOG_LIMIT`, it is copied and emptied while commits wait."""
        _, frames, copied = db.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchone()
        if frames > copied:  # commits came during the copy: their frames too
            db.execute("PRAGMA wal_checkpoint(PASSIVE)")
        if self.log_size() > LOG_LIMIT:
            db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        metrics.store_log_bytes.set(self.log_size())

    def log_size(self) -> int:
        try:
            return os.path.getsize(self.path + "-wal")
        except OSError:
            return 0

    def _check_writable(self) -> None:
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute("UPDATE schema_version SET version=version")
        except sqlite3.OperationalError as err:
            raise StoreError(f"it cannot be written ({err})") from None
        finally:
            db.execute("ROLLBACK")

    def _unlock(self) -> None:
        if self._lock is not None:
            os.close(self._lock)  # the lock goes with the file's last descriptor
            self._lock = None

    def _migrate(self) -> None:
        db = self._db
        db.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
        row = db.execute("SELECT version FROM schema_version").fetchone()
        current = row["version"] if row else 0
        if current > SCHEMA_VERSION:
            raise StoreError(
                f"{self.path} has schema version {current}; this server knows up to "
                f"{SCHEMA_VERSION}: use a newer tesko-server"
            )
        for version in range(current, SCHEMA_VERSION):
            # The whole script in one transaction of its own: executescript
            # commits whatever is open before it runs, so it opens and ends
            # the transaction itself (the script is SQLite's to split, text
            # and triggers included).
            try:
                db.executescript(
                    "BEGIN IMMEDIATE;\n"
                    f"{MIGRATIONS[version]};\n"
                    "DELETE FROM schema_version;\n"
                    f"INSERT INTO schema_version VALUES ({version + 1:d});\n"
                    "COMMIT;"
                )
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                raise

    @property
    def schema_version(self) -> int:
        return self._db.execute("SELECT version FROM schema_version").fetchone()["version"]

    async def write(self, changes: Sequence[Change]) -> None:
        if not changes:
            return
        db = self._db
        db.execute("BEGIN")
        try:
            for change in changes:
                if isinstance(change, EventRow):
                    values = vars(change) | {
                        "data": dumps(change.data),
                        "state": dumps(change.state),
                    }
                    db.execute(_EVENT, values)
                elif isinstance(change, RoomRow):
                    values = vars(change) | {"initial_state": dumps(change.initial_state)}
                    db.execute(_ROOM, values)
                elif isinstance(change, SeatRow):
                    db.execute(_SEAT, vars(change))
                elif isinstance(change, DeleteRoom):
                    db.execute("DELETE FROM rooms WHERE id=?", (change.id,))
                elif isinstance(change, ReviewRow):
                    db.execute(
                        "INSERT OR REPLACE INTO reviews VALUES (?,?)",
                        (change.room, dumps(change.review)),
                    )
                elif isinstance(change, Alive):
                    db.execute(
                        "INSERT INTO alive VALUES (1, ?) ON CONFLICT(id) DO UPDATE SET at=excluded.at",
                        (change.at,),
                    )
                else:  # pragma: no cover - a programming error
                    raise TypeError(f"not a store change: {change!r}")
            db.execute("COMMIT")
        except BaseException:
            # A failed COMMIT (a full disk, an I/O error) has already rolled
            # the transaction back; the error to report is the first one.
            if db.in_transaction:
                with contextlib.suppress(sqlite3.Error):
                    db.execute("ROLLBACK")
            raise

    async def load_rooms(self, finished_after: float) -> list[StoredRoom]:
        self.unreadable = {}
        try:
            rooms = self._load_all(finished_after)
        except sqlite3.DatabaseError as err:
            # A damaged page: each room is read on its own, and those that
            # cannot be are left where they are.
            log.error("the store cannot be read in one pass (%s); reading it room by room", err)
            rooms = self._load_each(finished_after)
        for room_id in self.unreadable:
            rooms.pop(room_id, None)
        return list(rooms.values())

    def _load_all(self, finished_after: float) -> dict[str, StoredRoom]:
        db = self._db
        rooms: dict[str, StoredRoom] = {}
        for row in db.execute(
            "SELECT * FROM rooms WHERE finished_at IS NULL OR finished_at > ? ORDER BY created",
            (finished_after,),
        ):
            self._add_room(rooms, row)
        for row in db.execute("SELECT * FROM seats ORDER BY room, seat"):
            if row["room"] in rooms:
                rooms[row["room"]].seats.append(self._read_seat(row))
        for row in db.execute("SELECT * FROM events ORDER BY room, version"):
            stored = rooms.get(row["room"])
            if stored is not None and row["room"] not in self.unreadable:
                self._add_event(stored, row)
        for row in db.execute("SELECT room, data FROM reviews"):
            stored = rooms.get(row["room"])
            if stored is not None:
                self._add_review(stored, row["data"])
        return rooms

    def _load_each(self, finished_after: float) -> dict[str, StoredRoom]:
        db = self._db
        try:
            ids = [
                row["id"]
                for row in db.execute(
                    "SELECT id FROM rooms WHERE finished_at IS NULL OR finished_at > ?"
                    " ORDER BY created",
                    (finished_after,),
                )
            ]
        except sqlite3.DatabaseError as err:
            raise StoreError(f"its list of rooms cannot be read ({err})") from None
        rooms: dict[str, StoredRoom] = {}
        for room_id in ids:
            try:
                for row in db.execute("SELECT * FROM rooms WHERE id=?", (room_id,)):
                    self._add_room(rooms, row)
                stored = rooms.get(room_id)
                if stored is None:
                    continue
                for row in db.execute("SELECT * FROM seats WHERE room=? ORDER BY seat", (room_id,)):
                    stored.seats.append(self._read_seat(row))
                for row in db.execute(
                    "SELECT * FROM events WHERE room=? ORDER BY version", (room_id,)
                ):
                    if room_id in self.unreadable:
                        break
                    self._add_event(stored, row)
                for row in db.execute("SELECT data FROM reviews WHERE room=?", (room_id,)):
                    self._add_review(stored, row["data"])
            except sqlite3.DatabaseError as err:
                self.unreadable[room_id] = str(err)
        return rooms

    async def load_moves(self, room: str) -> list[str | None]:
        return [
            json.loads(row["data"]).get("move")
            for row in self._db.execute(
                "SELECT data FROM events WHERE room=? AND kind='turn' ORDER BY version", (room,)
            )
        ]

    async def purge(self, finished_before: float) -> int:
        try:
            cursor = self._db.execute("DELETE FROM rooms WHERE finished_at < ?", (finished_before,))
        except sqlite3.DatabaseError as err:  # a damaged page: the rooms stay
            log.error("finished rooms not deleted from the store: %s", err)
            return 0
        return cursor.rowcount

    async def last_alive(self) -> float | None:
        row = self._db.execute("SELECT at FROM alive").fetchone()
        return None if row is None else row["at"]

    async def close(self) -> None:
        self._stop.set()
        if self._checkpointer is not None:
            self._checkpointer.join()
            self._checkpointer = None
        self._db.close()
        self._unlock()
