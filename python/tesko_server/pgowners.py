"""The PostgreSQL store's owners of rooms: a node claims a room, raising its
epoch, and writes it only with that epoch (`PgStore.write` checks it in
the write's own transaction). A claim tells every node, on the owners'
channel, inside its commit, so the room's old owner drops its copy at once
rather than at its next write."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import TYPE_CHECKING

import asyncpg

from .pglisten import LOBBY_CHANNEL, OWNERS_CHANNEL


class PgOwners:
    """The PostgreSQL store's calls that take rooms and tell who holds them."""

    node: str
    epochs: dict[str, int]  # the rooms this node has claimed: the epoch its writes carry
    _writer: asyncpg.Connection | None
    _pool: asyncpg.Pool | None
    _write_lock: asyncio.Lock

    if TYPE_CHECKING:  # the store's own

        async def listen(self, channel: str, callback: Callable[[str], None]) -> None: ...

        def _on_back(self, callback: Callable[[], None]) -> None: ...

    async def listen_claims(
        self, on_claimed: Callable[[str, int], None], on_missed: Callable[[], None] | None = None
    ) -> None:
        """Call `on_claimed` with a room id and its new epoch after each claim
        of a room already in the store, by any node (this one's own
        included), and `on_missed` when the listening connection comes back
        after it was lost."""

        def heard(payload: str) -> None:
            room, _, epoch = payload.rpartition(" ")
            on_claimed(room, int(epoch))

        await self.listen(OWNERS_CHANNEL, heard)
        if on_missed is not None:
            self._on_back(on_missed)

    async def claim(self, room_id: str, *, new: bool = False) -> int | None:
        """Take `room_id` for this node; returns the new epoch, higher than
        any before it for this room, and writes carry it from now on. Writes
        with an older epoch are fenced from the moment this returns. A room
        that is not in the store is not taken (None) unless it is `new`: one
        this node is making, whose id no other room has (else None: a room
        made under the same id elsewhere is not taken from its node)."""
        assert self._writer is not None
        async with self._write_lock:
            if new:
                epoch = await self._writer.fetchval(
                    "INSERT INTO owners VALUES ($1, $2, 1) ON CONFLICT (room) DO NOTHING"
                    " RETURNING epoch",
                    room_id,
                    self.node,
                )
            else:
                # The old owner hears of it inside the claim's own commit.
                epoch = await self._writer.fetchval(
                    "WITH claimed AS ("
                    " INSERT INTO owners SELECT id, $2, 1 FROM rooms WHERE id=$1"
                    " ON CONFLICT (room) DO UPDATE"
                    " SET node=excluded.node, epoch=owners.epoch + 1 RETURNING room, epoch)"
                    " SELECT epoch FROM claimed,"
                    " LATERAL (SELECT pg_notify($3, room || ' ' || epoch)) AS told",
                    room_id,
                    self.node,
                    OWNERS_CHANNEL,
                )
        if epoch is not None:
            self.epochs[room_id] = epoch
        return epoch

    def release(self, room_id: str) -> None:
        """Forget this node's claim on `room_id` (it dropped the room); its
        writes are refused from here on, as another node's would be."""
        self.epochs.pop(room_id, None)

    async def owner(self, room_id: str) -> tuple[str, int] | None:
        """The node holding `room_id` and its epoch, or None if none took it."""
        assert self._pool is not None
        row = await self._pool.fetchrow("SELECT node, epoch FROM owners WHERE room=$1", room_id)
        return None if row is None else (row["node"], row["epoch"])

    async def found(self, room_id: str) -> tuple[bool, str | None]:
        """Whether the store has `room_id`, and the node that claimed it last;
        read through the pool, so that asking about rooms that are not there
        keeps the writing connection free."""
        assert self._pool is not None
        row = await self._pool.fetchrow(
            "SELECT o.node FROM rooms r LEFT JOIN owners o ON o.room = r.id WHERE r.id = $1",
            room_id,
        )
        return (False, None) if row is None else (True, row["node"])

    async def lost(self) -> list[str]:
        """The rooms this node claimed that another node has taken since
        (or that are gone from the store), sorted."""
        assert self._pool is not None
        if not self.epochs:
            return []
        rows = await self._pool.fetch(
            "SELECT room, epoch FROM owners WHERE room = ANY($1::text[])", list(self.epochs)
        )
        held = {row["room"]: row["epoch"] for row in rows}
        return sorted(room for room, epoch in self.epochs.items() if held.get(room) != epoch)

    async def expire_unheld(self, idle_before: float, finished_before: float) -> list[str]:
        """Delete the rooms that no node is keeping: unfinished with no event
        since `idle_before` (their node stopped, and nobody asked for them
        again), or finished before `finished_before`. Each is taken first,
        in the same transaction, so a node that still held one drops it and
        writes nothing more of it. Returns the ids deleted."""
        assert self._writer is not None and self._pool is not None
        candidates = [
            row["id"]
            for row in await self._pool.fetch(
                "SELECT id FROM rooms r WHERE finished_at < $2 OR (finished_at IS NULL"
                " AND created < $1 AND NOT EXISTS"
                " (SELECT 1 FROM events e WHERE e.room = r.id AND e.at >= $1))"
                " ORDER BY id LIMIT 200",
                idle_before,
                finished_before,
            )
        ]
        if not candidates:
            return []
        async with self._write_lock, self._writer.transaction():
            conn = self._writer
            # The owner rows first, in the order the writes lock them, then
            # the rooms checked again: a write that came meanwhile keeps its room.
            await conn.execute(
                "SELECT room FROM owners WHERE room = ANY($1::text[]) ORDER BY room FOR UPDATE",
                candidates,
            )
            gone = [
                row["id"]
                for row in await conn.fetch(
                    "DELETE FROM rooms r WHERE id = ANY($1::text[]) AND (finished_at < $3"
                    " OR (finished_at IS NULL AND NOT EXISTS"
                    " (SELECT 1 FROM events e WHERE e.room = r.id AND e.at >= $2)))"
                    " RETURNING id",
                    candidates,
                    idle_before,
                    finished_before,
                )
            ]
            await conn.execute(
                "SELECT pg_notify($2, room || ' ' || (epoch + 1))"
                " FROM owners WHERE room = ANY($1::text[])",
                gone,
                OWNERS_CHANNEL,
            )
            await conn.execute("DELETE FROM owners WHERE room = ANY($1::text[])", gone)
            await conn.execute("DELETE FROM open_rooms WHERE room = ANY($1::text[])", gone)
            await conn.execute(
                "SELECT pg_notify($2, room) FROM unnest($1::text[]) AS room", gone, LOBBY_CHANNEL
            )
        for room in gone:
            self.epochs.pop(room, None)
        return gone
