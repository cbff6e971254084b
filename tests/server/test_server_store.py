"""The SQLite store on its own: one server per file, a bounded log, and the
real error of a commit that fails."""

from __future__ import annotations

import asyncio
import os
import sqlite3
import subprocess
import time

import pytest
from server_helpers import mount
from tesko_server import store as store_module
from tesko_server.rows import DeleteRoom, EventRow, RoomRow, SeatRow, StoreError
from tesko_server.store import SqliteStore

ROOT = os.geteuid() == 0


def room(room_id: str, padding: int = 0) -> RoomRow:
    return RoomRow(
        id=room_id,
        created=time.time(),
        public=True,
        first="A",
        ply_limit=200,
        hide_face_down_owners=False,
        layout="x" * padding,
        initial_state={},
        creator="127.0.0.1",
    )


def test_one_store_one_holder(tmp_path):
    path = str(tmp_path / "s.db")
    first = SqliteStore(path)
    try:
        with pytest.raises(StoreError, match=f"another tesko-server \\(process {os.getpid()}\\)"):
            SqliteStore(path)
    finally:
        asyncio.run(first.close())
    asyncio.run(SqliteStore(path).close())  # free again once closed


def test_the_log_stays_bounded_under_steady_commits(tmp_path, monkeypatch):
    """Steady commits (here one every half millisecond, as an event loop
    makes them) never let the log start again from its beginning after a
    passive checkpoint: without more it grew to 55 MB here, and kept that
    size once the commits stopped. Past its limit it is emptied anyway."""
    limit = 256 * 1024
    monkeypatch.setattr(store_module, "LOG_LIMIT", limit)
    monkeypatch.setattr(store_module, "CHECKPOINT_INTERVAL", 0.05)
    store = SqliteStore(str(tmp_path / "s.db"))
    largest = 0
    try:
        deadline = time.monotonic() + 1.5
        n = 0
        while time.monotonic() < deadline and n < 20_000:
            asyncio.run(store.write([room(f"r{n}", padding=1000), DeleteRoom(f"r{n - 50}")]))
            n += 1
            largest = max(largest, store.log_size())
            time.sleep(0.0005)
        settled = time.monotonic() + 3  # checkpoints with nothing coming
        while store.log_size() > limit and time.monotonic() < settled:
            time.sleep(0.05)
        after = store.log_size()
    finally:
        asyncio.run(store.close())
    assert n > 300, "too few commits to say anything"
    assert largest < 64 * limit, largest  # loose: a loaded machine delays the emptying
    assert after <= limit, after


@pytest.mark.skipif(not ROOT, reason="mounting a small tmpfs needs root")
def test_a_failed_commit_reports_its_own_error(tmp_path):
    """A COMMIT that fails for a full disk has already rolled back; the
    error raised is the disk's, not that of a second rollback."""
    small = tmp_path / "small"
    small.mkdir()
    mount("-t", "tmpfs", "-o", "size=256k", "tmpfs", str(small))
    try:
        store = SqliteStore(str(small / "s.db"))
        try:
            with pytest.raises(sqlite3.OperationalError, match="database or disk is full"):
                for n in range(1000):
                    asyncio.run(store.write([room(f"r{n}", padding=3000)]))
        finally:
            asyncio.run(store.close())
    finally:
        subprocess.run(["umount", str(small)], check=True)


@pytest.mark.parametrize(
    ("script", "fails", "note"),
    [
        # A semicolon inside a literal is the script's, not a statement's end.
        ("CREATE TABLE notes (text TEXT NOT NULL DEFAULT 'a;b')", False, "a;b"),
        # A step that fails takes the whole script back with it.
        ("CREATE TABLE notes (text TEXT); INSERT INTO nowhere VALUES (1)", True, None),
    ],
    ids=["semicolon in a literal", "failing step"],
)
def test_each_migration_is_one_script_in_one_transaction(
    tmp_path, monkeypatch, script, fails, note
):
    path = str(tmp_path / "s.db")
    asyncio.run(SqliteStore(path).close())
    migrations = (*store_module.MIGRATIONS, script)
    monkeypatch.setattr(store_module, "MIGRATIONS", migrations)
    monkeypatch.setattr(store_module, "SCHEMA_VERSION", len(migrations))
    if fails:
        with pytest.raises(sqlite3.OperationalError, match="nowhere"):
            SqliteStore(path)
    else:
        asyncio.run(SqliteStore(path).close())
    with sqlite3.connect(path) as db:
        tables = {name for (name,) in db.execute("SELECT name FROM sqlite_master")}
        (stored,) = db.execute("SELECT version FROM schema_version").fetchone()
        if note is not None:
            db.execute("INSERT INTO notes DEFAULT VALUES")
            assert db.execute("SELECT text FROM notes").fetchone() == (note,)
    assert stored == len(migrations) - fails
    assert ("notes" in tables) != fails


def test_rows_are_written_and_read_by_column_name(tmp_path):
    # The same tables with their columns in reverse order (as a table rebuilt
    # by hand, or columns added in another order, would have them).
    path = str(tmp_path / "s.db")
    asyncio.run(SqliteStore(path).close())
    with sqlite3.connect(path) as db:
        for table in ("rooms", "seats", "events"):
            columns = [row[1] for row in db.execute(f"PRAGMA table_info({table})")]
            reordered = ", ".join(reversed(columns))
            db.execute(f"CREATE TABLE {table}_old AS SELECT * FROM {table}")
            db.execute(f"DROP TABLE {table}")
            db.execute(f"CREATE TABLE {table} AS SELECT {reordered} FROM {table}_old")
            db.execute(f"DROP TABLE {table}_old")
        db.execute("CREATE UNIQUE INDEX rooms_id ON rooms (id)")
        db.execute("CREATE UNIQUE INDEX seats_key ON seats (room, seat)")
    stored = room("r1")
    stored.finished_at, stored.rematch, stored.move_time = 12.5, "r2", 30
    seat = SeatRow("r1", "A", "person", "ann", b"\x01\x02", None, None)
    event = EventRow("r1", 1, "turn", {"move": "b2"}, {"n": 1}, 3.25, "A", 1)
    store = SqliteStore(path)
    try:
        asyncio.run(store.write([stored, seat, event]))
        (loaded,) = asyncio.run(store.load_rooms(finished_after=0))
        assert loaded.room == stored
        assert loaded.seats == [seat] and loaded.events == [event]
        assert asyncio.run(store.load_moves("r1")) == ["b2"]
    finally:
        asyncio.run(store.close())


def test_a_store_of_the_previous_schema_migrates_and_its_rooms_load(tmp_path):
    path = str(tmp_path / "old.db")
    previous = store_module.MIGRATIONS[: store_module.SCHEMA_VERSION - 1]
    with sqlite3.connect(path) as db:  # written as the previous server did
        db.executescript(";".join(previous) + ";CREATE TABLE schema_version (version INTEGER);")
        db.execute("INSERT INTO schema_version VALUES (?)", (len(previous),))
        for room_id, expired in (("kept", 0), ("marked", 1)):
            db.execute(
                "INSERT INTO rooms VALUES (?,1.5,1,'A',200,0,'','{}','me',NULL,NULL,?,30,NULL,NULL)",
                (room_id, expired),
            )
            db.execute("INSERT INTO seats VALUES (?,'A','person','ann',NULL,NULL,NULL)", (room_id,))
            db.execute(
                "INSERT INTO events VALUES (?,1,'turn','A',1,'{\"move\":\"b2\"}','{}',2.0)",
                (room_id,),
            )
    store = SqliteStore(path)
    try:
        assert store.schema_version == store_module.SCHEMA_VERSION
        (loaded,) = asyncio.run(store.load_rooms(finished_after=0))
        assert (loaded.room.id, loaded.room.move_time, loaded.room.public) == ("kept", 30, True)
        assert [seat.name for seat in loaded.seats] == ["ann"]
        assert [event.data for event in loaded.events] == [{"move": "b2"}]
        asyncio.run(store.write([DeleteRoom("kept")]))
    finally:
        asyncio.run(store.close())
    with sqlite3.connect(path) as db:
        columns = [row[1] for row in db.execute("PRAGMA table_info(rooms)")]
        left = db.execute("SELECT (SELECT count(*) FROM seats) + (SELECT count(*) FROM events)")
        assert "expired" not in columns and left.fetchone() == (0,)
