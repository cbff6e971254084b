"""What several nodes share of the lobby in the PostgreSQL store: the
lobby's entries and the room limits.

- `lobby`: one row per public room, written by the node that holds it
  (`LobbyRow`): the list it is in ("waiting", "playing", or none) and its
  summary. Every batch that writes one, or deletes a room, notifies the
  lobby's channel with the room's id inside its transaction; each node
  reads the rows named and keeps the whole list in memory.
- `open_rooms`: one row per unfinished room, with the address that made
  it. A node reserves a row before it makes a room (`reserve_room`), in a
  transaction that counts the rows under a lock, so two nodes cannot both
  take the last place. The room's first write keeps the reservation; its
  end (finished or deleted) takes the row away in the same transaction;
  a reservation whose room was never written lapses after
  `RESERVATION_TIME`.
"""

from __future__ import annotations

import json
import time

import asyncpg

# The lock held by the transactions that count and reserve (any constant,
# the same in every node).
_LIMITS_LOCK = 0x7E5C1
# Seconds a reservation is kept for a room that was never written (a node
# that stopped between reserving and writing): making a room takes less.
RESERVATION_TIME = 60.0

# The schema's sixth version: the alive row per node, the lobby, the room
# counts (the unfinished rooms at the time of the migration counted).
MIGRATION = """
DROP TABLE alive;
CREATE TABLE alive (
    node TEXT PRIMARY KEY,
    at DOUBLE PRECISION NOT NULL
);
CREATE TABLE lobby (
    room TEXT PRIMARY KEY REFERENCES rooms(id) ON DELETE CASCADE,
    status TEXT,
    created DOUBLE PRECISION NOT NULL,
    summary TEXT NOT NULL
);
CREATE INDEX lobby_listed ON lobby (status) WHERE status IS NOT NULL;
CREATE TABLE open_rooms (
    room TEXT PRIMARY KEY,
    creator TEXT NOT NULL,
    reserved_at DOUBLE PRECISION
);
CREATE INDEX open_rooms_creator ON open_rooms (creator);
CREATE INDEX open_rooms_reserved ON open_rooms (reserved_at) WHERE reserved_at IS NOT NULL;
INSERT INTO open_rooms (room, creator) SELECT id, creator FROM rooms WHERE finished_at IS NULL;
"""

# Written with each room row: an unfinished room is counted (its
# reservation kept), a finished one is not.
ROOM_COUNTED = """
WITH written AS ({room} RETURNING id, creator, finished_at),
gone AS (
    DELETE FROM open_rooms
    WHERE room IN (SELECT id FROM written WHERE finished_at IS NOT NULL)
)
INSERT INTO open_rooms (room, creator)
SELECT id, creator FROM written WHERE finished_at IS NULL
ON CONFLICT (room) DO UPDATE SET reserved_at = NULL WHERE open_rooms.reserved_at IS NOT NULL
"""

# A room deleted meanwhile (by its expiry on the node that held it) gets
# no entry rather than failing the batch.
LOBBY_ENTRY = (
    "INSERT INTO lobby (room, status, created, summary)"
    " SELECT $1, $2, $3, $4 WHERE EXISTS (SELECT 1 FROM rooms WHERE id=$1)"
    " ON CONFLICT (room) DO UPDATE SET status=excluded.status, summary=excluded.summary"
)
ALIVE = (
    "INSERT INTO alive (node, at) VALUES ($1, $2) ON CONFLICT (node) DO UPDATE SET at=excluded.at"
)


def room_counted(room_insert: str) -> str:
    """The room row's upsert with the room counts kept along."""
    return ROOM_COUNTED.format(room=room_insert).strip()


class LobbyQueries:
    """The PostgreSQL store's calls for the lobby and the room limits."""

    _pool: asyncpg.Pool | None

    async def lobby_entries(self, rooms: list[str] | None = None) -> dict[str, tuple]:
        """The listed lobby entries, of every room or of `rooms`: room id:
        (status, created, summary)."""
        assert self._pool is not None
        query = "SELECT room, status, created, summary FROM lobby WHERE status IS NOT NULL"
        args: list[object] = []
        if rooms is not None:
            query += " AND room = ANY($1::text[])"
            args.append(rooms)
        return {
            row["room"]: (row["status"], row["created"], json.loads(row["summary"]))
            for row in await self._pool.fetch(query, *args)
        }

    async def reserve_room(
        self, room_id: str, creator: str, max_rooms: int, max_per_creator: int
    ) -> str | None:
        """Count `room_id` among the unfinished rooms, made by `creator`, if
        both counts are under their limits. Returns None if it was, else
        the limit it would pass: "server_full" or "too_many_rooms", or
        "room_moved" if another room has that id."""
        assert self._pool is not None
        now = time.time()
        async with self._pool.acquire() as conn, conn.transaction():
            await conn.execute("SELECT pg_advisory_xact_lock($1)", _LIMITS_LOCK)
            await conn.execute(
                "DELETE FROM open_rooms WHERE reserved_at < $1", now - RESERVATION_TIME
            )
            counts = await conn.fetchrow(
                "SELECT count(*) AS total, count(*) FILTER (WHERE creator=$1) AS mine"
                " FROM open_rooms",
                creator,
            )
            if counts["total"] >= max_rooms:
                return "server_full"
            if counts["mine"] >= max_per_creator:
                return "too_many_rooms"
            made = await conn.fetchval(
                "INSERT INTO open_rooms (room, creator, reserved_at) VALUES ($1, $2, $3)"
                " ON CONFLICT (room) DO NOTHING RETURNING room",
                room_id,
                creator,
                now,
            )
        # A room of that id is being made, or is unfinished, on another node.
        return None if made is not None else "room_moved"

    async def cancel_reservation(self, room_id: str) -> None:
        """Give back a reservation whose room was not made after all."""
        assert self._pool is not None
        await self._pool.execute(
            "DELETE FROM open_rooms WHERE room=$1 AND reserved_at IS NOT NULL", room_id
        )

    async def open_rooms(self, creator: str | None = None) -> int:
        """The unfinished rooms counted, in all or made by `creator`."""
        assert self._pool is not None
        if creator is None:
            return await self._pool.fetchval("SELECT count(*) FROM open_rooms")
        return await self._pool.fetchval(
            "SELECT count(*) FROM open_rooms WHERE creator=$1", creator
        )
