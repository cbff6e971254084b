"""The PostgreSQL store against a real PostgreSQL: what it writes reads back
as the SQLite store's does, a room's old owner is fenced, and the lobby's
notifications come only from commits."""

from __future__ import annotations

import asyncio

import pytest

pytest.importorskip("asyncpg", reason="asyncpg missing (pip install '.[server]')")

import asyncpg  # noqa: E402
from tesko_server import pgstore  # noqa: E402
from tesko_server.pgstore import Fenced, PgStore  # noqa: E402
from tesko_server.rows import (  # noqa: E402
    Alive,
    DeleteRoom,
    EventRow,
    LobbyRow,
    ReviewRow,
    RoomRow,
    SeatRow,
)
from tesko_server.store import SqliteStore  # noqa: E402


def room(room_id: str, **fields) -> RoomRow:
    values = dict(
        id=room_id,
        created=100.0 + len(room_id),
        public=True,
        first="A",
        ply_limit=60,
        hide_face_down_owners=False,
        layout="standard",
        initial_state={"cards": [1, 2, 3], "name": "ñ"},
        creator="203.0.113.7",
    )
    values.update(fields)
    return RoomRow(**values)


def turn(room_id: str, version: int, move: str | None) -> EventRow:
    return EventRow(
        room_id, version, "turn", {"move": move}, {"v": version}, 200.0 + version, "A", version
    )


SEATS = [
    SeatRow("r1", "A", "human", "Ana", b"\x00\xffhash", None, None),
    SeatRow("r1", "B", "engine", None, None, 5, 0.25),
]

# Batches written one after another, in both stores; after each, both read
# back the same.
CASES = {
    "made and seated": [[room("r1"), *SEATS, room("r2", public=False, move_time=30)]],
    "turns and a pass": [[room("r1"), *SEATS], [turn("r1", 1, "a1"), turn("r1", 2, None)]],
    "seat replaced": [[room("r1"), *SEATS], [SeatRow("r1", "B", "human", "Bo", b"t")]],
    "clock set then finished with a review": [
        [room("r1", move_time=20), turn("r1", 1, "b2")],
        [room("r1", move_time=20, deadline=250.5, deadline_set=230.5)],
        [room("r1", move_time=20, finished_at=300.0, rematch="r9"), ReviewRow("r1", {"x": [1]})],
    ],
    "review replaced": [[room("r1"), ReviewRow("r1", {"a": 1})], [ReviewRow("r1", {"a": 2})]],
    "finished long ago": [[room("r1", finished_at=10.0), room("r2", finished_at=500.0)]],
    "deleted with its seats and turns": [
        [room("r1"), *SEATS, turn("r1", 1, "c3"), room("r2")],
        [DeleteRoom("r1")],
    ],
    "alive": [[Alive(50.0)], [Alive(75.5)]],
}


def entry(room_id: str, status: str | None = "waiting") -> LobbyRow:
    return LobbyRow(room_id, status, 100.0, {"id": room_id, "status": status})


def run(coro):
    return asyncio.run(coro)


async def open_store(dsn: str, **options) -> PgStore:
    return await PgStore.open(dsn, **options)


async def claim_all(store: PgStore, batches) -> None:
    ids = {getattr(c, "room", None) or getattr(c, "id", None) for b in batches for c in b}
    for room_id in ids:
        if room_id:
            await store.claim(room_id, new=True)


@pytest.mark.parametrize("batches", CASES.values(), ids=CASES.keys())
def test_every_change_reads_back_as_in_sqlite(database, batches):
    sqlite = SqliteStore(":memory:")

    async def go():
        store = await open_store(database)
        try:
            await claim_all(store, batches)
            for batch in batches:
                await sqlite.write(batch)
                await store.write(batch)
                for after in (0.0, 400.0):
                    assert await store.load_rooms(after) == await sqlite.load_rooms(after)
                for room_id in ("r1", "r2"):
                    assert await store.load_moves(room_id) == await sqlite.load_moves(room_id)
                assert await store.last_alive() == await sqlite.last_alive()
            assert await store.purge(400.0) == await sqlite.purge(400.0)
            assert await store.load_rooms(0.0) == await sqlite.load_rooms(0.0)
        finally:
            await store.close()

    try:
        run(go())
    finally:
        run(sqlite.close())


@pytest.mark.parametrize("old_writes_first", [False, True], ids=["new first", "old first"])
def test_only_the_newest_owner_writes(database, old_writes_first):
    """Two nodes take one room: the older epoch's batch is refused whole,
    the room it also held and owns still included."""

    async def go():
        a = await open_store(database, node="a")
        b = await open_store(database, node="b")
        try:
            old = {
                "shared": await a.claim("shared", new=True),
                "mine": await a.claim("mine", new=True),
            }
            await a.write([room("shared"), room("mine")])
            new = {"shared": await b.claim("shared")}
            assert new["shared"] > old["shared"]
            assert await a.owner("shared") == ("b", new["shared"])
            assert await a.lost() == ["shared"]

            stale = [turn("mine", 1, "a1"), turn("shared", 1, "old"), room("mine", public=False)]
            fresh = [turn("shared", 1, "new")]
            if not old_writes_first:
                await b.write(fresh)
            with pytest.raises(Fenced) as info:
                await a.write(stale)
            assert info.value.rooms == ("shared",)
            assert a.epochs == {"mine": old["mine"]}  # forgotten once fenced
            if old_writes_first:
                await b.write(fresh)

            assert await a.load_moves("mine") == []
            assert await a.load_moves("shared") == ["new"]
            (mine,) = [r for r in await a.load_rooms(0.0) if r.room.id == "mine"]
            assert mine.room.public
            # The batch refused, the same node still writes what it owns.
            await a.write([turn("mine", 1, "a1")])
            with pytest.raises(Fenced):  # and never again what it lost
                await a.write([turn("shared", 2, "old")])
            assert await b.load_moves("mine") == ["a1"]
        finally:
            await a.close()
            await b.close()

    run(go())


def test_a_claim_waits_for_a_write_in_flight(database):
    """A takeover that comes while the old owner's batch is committing takes
    effect after it: that batch lands, the next one is fenced."""

    async def go():
        a = await open_store(database, node="a")
        b = await open_store(database, node="b")
        try:
            await a.claim("r", new=True)
            await a.write([room("r")])
            # Hold the batch's transaction open inside its fence by locking
            # the events table from a third connection.
            blocker = await asyncpg.connect(database)
            tx = blocker.transaction()
            await tx.start()
            await blocker.execute("LOCK TABLE events IN EXCLUSIVE MODE")
            pending = asyncio.ensure_future(a.write([turn("r", 1, "a1")]))
            await asyncio.sleep(0.2)
            claim = asyncio.ensure_future(b.claim("r"))
            await asyncio.sleep(0.2)
            assert not claim.done()
            await tx.rollback()
            await blocker.close()
            await pending
            assert await claim == 2
            with pytest.raises(Fenced):
                await a.write([turn("r", 2, "a2")])
            await b.write([turn("r", 2, "b2")])
            assert await b.load_moves("r") == ["a1", "b2"]
        finally:
            await a.close()
            await b.close()

    run(go())


def test_lobby_notifications_come_only_from_commits(database):
    async def go():
        heard: asyncio.Queue[str] = asyncio.Queue()
        listener = await open_store(database, on_lobby=heard.put_nowait)
        a = await open_store(database, node="a")
        b = await open_store(database, node="b")
        try:
            await a.claim("lost", new=True)
            await a.write([room("lost"), entry("lost")])
            assert await asyncio.wait_for(heard.get(), 5) == "lost"
            await b.claim("lost")
            with pytest.raises(Fenced):
                await a.write([entry("lost", None)])
            # Rooms, seats and turns are not the lobby's business; its entries
            # and a room's end are.
            await b.write([turn("lost", 1, "a1"), SeatRow("lost", "A", "human", "Ana")])
            await b.claim("made", new=True)
            await b.write([room("made")])
            await b.write([entry("made")])
            # Notifications come in commit order: had the fenced batch or the
            # turn sent one, it would be here before this.
            assert await asyncio.wait_for(heard.get(), 5) == "made"
            await asyncio.sleep(0.05)
            assert heard.empty()
        finally:
            for store in (listener, a, b):
                await store.close()

    run(go())


def test_a_room_not_claimed_is_not_written_nor_claimed_unless_new(database):
    async def go():
        store = await open_store(database)
        try:
            with pytest.raises(Fenced):
                await store.write([room("r1")])
            store.epochs["r1"] = 1  # an epoch never handed out
            with pytest.raises(Fenced):
                await store.write([room("r1")])
            assert await store.claim("r1") is None  # not in the store
            assert await store.owner("r1") is None
            assert await store.load_rooms(0.0) == []
            assert await store.claim("r1", new=True) == 1
            await store.write([room("r1")])
            assert await store.claim("r1") == 2
            await store.write([DeleteRoom("r1")])
            assert store.epochs == {}
            assert await store.owner("r1") is None
        finally:
            await store.close()

    run(go())


def test_migrations_from_empty_then_again(database):
    async def go():
        # Two nodes starting together on an empty database.
        first, second = await asyncio.gather(open_store(database), open_store(database))
        await first.claim("r1", new=True)
        await first.write([room("r1")])
        await first.close()
        await second.close()
        conn = await asyncpg.connect(database)
        try:
            assert await conn.fetchval("SELECT version FROM schema_version") == len(
                pgstore.MIGRATIONS
            )
            assert await pgstore.migrate(conn) == len(pgstore.MIGRATIONS)  # nothing to do
            assert await conn.fetchval("SELECT count(*) FROM schema_version") == 1
            assert await conn.fetchval("SELECT count(*) FROM rooms") == 1
            await conn.execute("UPDATE schema_version SET version = version + 1")
            with pytest.raises(pgstore.StoreError, match="use a newer tesko-server"):
                await pgstore.migrate(conn)
        finally:
            await conn.close()

    run(go())


def test_a_database_of_an_older_schema_migrates_and_its_rooms_load(database):
    async def go():
        previous = pgstore.MIGRATIONS[:4]  # rooms still had their `expired` column
        conn = await asyncpg.connect(database)
        try:  # written as a server of that schema did
            await conn.execute("".join(previous))
            await conn.execute("CREATE TABLE schema_version (version INTEGER NOT NULL)")
            await conn.execute("INSERT INTO schema_version VALUES ($1)", len(previous))
            for room_id, expired in (("kept", False), ("marked", True)):
                await conn.execute(
                    "INSERT INTO rooms VALUES"
                    " ($1,1.5,TRUE,'A',200,FALSE,'','{}','me',NULL,NULL,$2,30,NULL,NULL)",
                    room_id,
                    expired,
                )
                await conn.execute(
                    "INSERT INTO seats VALUES ($1,'A','human','Ana',NULL,NULL,NULL)", room_id
                )
                await conn.execute("INSERT INTO owners VALUES ($1,'n1',1)", room_id)
        finally:
            await conn.close()
        store = await open_store(database)
        try:
            (loaded,) = await store.load_rooms(0.0)
            assert (loaded.room.id, loaded.room.move_time, loaded.room.public) == ("kept", 30, True)
            assert [seat.name for seat in loaded.seats] == ["Ana"]
            assert await store.owner("marked") is None
            assert (await store.open_rooms(), await store.open_rooms("me")) == (1, 1)
            assert await store.claim("kept") == 2
            await store.write([room("kept", finished_at=9.0)])
            (loaded,) = await store.load_rooms(0.0)
            assert loaded.room.finished_at == 9.0
        finally:
            await store.close()

    run(go())


def test_seats_are_read_by_column_name(database):
    """A table whose columns stand in another order (a column added again
    after a change of schema) still reads back each value in its field."""

    async def go():
        store = await open_store(database)
        try:
            conn = await asyncpg.connect(database)
            try:
                for column, kind in (("name", "TEXT"), ("kind", "TEXT NOT NULL DEFAULT ''")):
                    await conn.execute(f"ALTER TABLE seats DROP COLUMN {column}")
                    await conn.execute(f"ALTER TABLE seats ADD COLUMN {column} {kind}")
            finally:
                await conn.close()
            batch = [room("r1"), *SEATS]
            await claim_all(store, [batch])
            await store.write(batch)
            (stored,) = await store.load_rooms(0.0)
            return stored.seats
        finally:
            await store.close()

    assert run(go()) == SEATS


def test_a_claim_is_heard_by_every_node_from_its_commit(database):
    """The old owner hears of a takeover at once: a claim of a room in the
    store says its new epoch; a new room's claim and a refused one say nothing."""

    async def go():
        heard: asyncio.Queue[tuple[str, int]] = asyncio.Queue()
        a = await open_store(database, node="a")
        await a.listen_claims(lambda r, e: heard.put_nowait((r, e)))
        b = await open_store(database, node="b")
        try:
            await a.claim("r 1", new=True)
            await a.write([room("r 1")])
            assert await b.claim("absent") is None
            assert await b.claim("r 1") == 2
            assert await asyncio.wait_for(heard.get(), 5) == ("r 1", 2)
            await asyncio.sleep(0.05)
            assert heard.empty()
        finally:
            await a.close()
            await b.close()

    run(go())


def test_rooms_no_node_keeps_expire_from_the_store_and_their_holder_hears(database):
    """Idle past the bound with no event since (or finished before the review
    bound): deleted, counts and lobby entry with them, and the node that
    still held one is told as by a claim and can no longer write it."""

    async def go():
        heard: asyncio.Queue[tuple[str, int]] = asyncio.Queue()
        a = await open_store(database, node="a")
        await a.listen_claims(lambda r, e: heard.put_nowait((r, e)))
        b = await open_store(database, node="b")
        try:
            rooms = {
                "idle": [room("idle"), turn("idle", 1, "a1")],  # its turn at 201
                "busy": [room("busy"), turn("busy", 1, "a1"), turn("busy", 2, "b2")],
                "new": [room("new", created=600.0)],
                "done": [room("done", finished_at=300.0)],
                "reviewed": [room("reviewed", finished_at=450.0)],
            }
            for room_id, batch in rooms.items():
                await a.claim(room_id, new=True)
                await a.write([*batch, entry(room_id)])
            await a.write([EventRow("busy", 3, "join", {}, {}, 550.0)])
            gone = await b.expire_unheld(idle_before=500.0, finished_before=400.0)
            assert sorted(gone) == ["done", "idle"]
            assert await asyncio.wait_for(heard.get(), 5) in (("done", 2), ("idle", 2))
            with pytest.raises(Fenced):
                await a.write([turn("idle", 2, "b2")])
            left = sorted(r.room.id for r in await a.load_rooms(0.0))
            assert left == ["busy", "new", "reviewed"]
            assert await a.open_rooms() == 2  # busy and new
            assert sorted(await a.lobby_entries()) == ["busy", "new", "reviewed"]
            assert await b.expire_unheld(idle_before=500.0, finished_before=400.0) == []
        finally:
            await a.close()
            await b.close()

    run(go())
