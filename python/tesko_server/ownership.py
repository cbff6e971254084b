"""Rooms held by one node among several: a room is loaded from the shared
store when it is first asked for, claimed, and dropped again as soon as
another node has taken it.

With a store of its own (SQLite) a server holds every room from its start,
and none of this happens. With a store shared by several nodes
(PostgreSQL), a node holds only the rooms it was asked about. Asked about
a room it does not hold, it claims the room first (from then on the old
owner's writes are refused), then reads it, so what it reads is all the
old owner ever committed; it rebuilds the board on an engine worker,
restores the clock, and serves it. A room it holds that another node has
taken (its write fenced, the claim heard, or the owner row read when a
socket comes) is dropped: its sockets are closed with 1012 "reconnect", so
their clients come back through the router to the new owner, and nothing
of it that was not committed is acknowledged.
"""

from __future__ import annotations

import asyncio
import logging
import re
import time
from collections.abc import Sequence

from . import metrics
from .protocol import HubError
from .room import Room

log = logging.getLogger("tesko_server")

# The close a room's sockets get when another node has taken the room.
MOVED_CODE = 1012
MOVED_REASON = "reconnect"

# The ids a router draws for new rooms (deploy/haproxy.cfg): 12 lowercase
# hex digits. Ids of this node's own drawing are of another form.
ROUTED_ID = re.compile("[0-9a-f]{12}")
# The router hashes a room id's first characters only, so that ids that
# begin alike go to one node (a room and its rematches).
ROUTE_KEY = 6


class Ownership:
    """The hub's part that takes rooms from a shared store and gives them up."""

    _loading: dict[str, asyncio.Future[Room]]
    _making: set[str]  # ids a router drew, of rooms being made here

    @property
    def shared(self) -> bool:
        """The store is shared by several nodes: rooms are held on demand."""
        return getattr(self.store, "shared", False)

    async def hold(self, room_id: str, fresh: bool = False) -> None:
        """Make sure this node holds `room_id`, loading it from a shared
        store if need be (one load, however many ask at once); with `fresh`,
        first make sure no other node has taken the room held here. Raises
        `no_such_room` if the store has no such room."""
        if not self.shared or not isinstance(room_id, str):
            return
        room = self.rooms.get(room_id)
        if room is not None:
            if not fresh or await self._still_ours(room_id):
                return
            if self.rooms.get(room_id) is room:
                self.rooms_taken([room_id])
            elif room_id in self.rooms:  # dropped and taken again meanwhile
                return
        loading = self._loading.get(room_id)
        if loading is None:
            loading = asyncio.get_running_loop().create_future()
            self._loading[room_id] = loading
            self._spawn(self._take(room_id, loading))
        await asyncio.shield(loading)

    async def routed_id(self, wanted: str | None) -> str | None:
        """The id a router drew for a room about to be made here, `wanted`,
        if it has the router's form and no room has it (held, being made or
        taken here, or in a shared store); else None: the node draws one.
        A returned id stays this node's to make until `made_routed` says it
        is done with it."""
        if wanted is None or not ROUTED_ID.fullmatch(wanted):
            return None
        if wanted in self.rooms or wanted in self._loading or wanted in self._making:
            return None
        if wanted in getattr(self.store, "unreadable", ()):  # left in the store
            return None
        self._making.add(wanted)
        try:
            there = self.shared and (await self.store.found(wanted))[0]
        except BaseException:
            self._making.discard(wanted)
            raise
        if there:
            self._making.discard(wanted)
            return None
        return wanted

    def made_routed(self, room_id: str) -> None:
        self._making.discard(room_id)

    async def _still_ours(self, room_id: str) -> bool:
        owner = await self.store.owner(room_id)
        return owner == (self.store.node, self.store.epochs.get(room_id))

    async def _take(self, room_id: str, done: asyncio.Future[Room]) -> None:
        try:
            done.set_result(await self._load_held(room_id))
        except BaseException as err:  # noqa: BLE001 - handed to every waiter
            done.set_exception(err)
            done.exception()  # retrieved here: nobody may be waiting any more
        finally:
            self._loading.pop(room_id, None)

    async def _load_held(self, room_id: str) -> Room:
        if self.stopping:
            raise HubError("shutting_down", "the server is stopping")
        store = self.store
        start = time.perf_counter()
        there, last = await store.found(room_id)
        if not there:
            raise HubError("no_such_room", "no such room")
        # The claim first: once it returns, the old owner can no longer
        # write, so the room read next holds all it committed.
        epoch = await store.claim(room_id)
        if epoch is None:  # deleted meanwhile
            raise HubError("no_such_room", "no such room")
        try:
            entry = await store.load_room(room_id)
            if entry is None:
                cause = store.unreadable.get(room_id, "deleted as it was taken")
                log.error("room %s skipped, left in the store: %s", room_id, cause)
                raise HubError("no_such_room", "no such room")
            # The clock as the last owner knew it: a dead node's outage is
            # not counted against the side to move.
            alive = await store.last_alive(last) if last is not None else None
            if store.epochs.get(room_id) != epoch:  # taken again meanwhile
                raise HubError("room_moved", "the room has moved to another server; try again")
            self._make_space()
            room = self._bring_back(entry, alive)
            if room is None:
                raise HubError("no_such_room", "no such room")
        except BaseException:
            store.release(room_id)
            raise
        if not room.over:
            assert self.pool is not None
            moves = [m for _, _, m in room.history]
            self._load(self.pool.index_of(room.id), [room], [moves], notice=False)
        metrics.rooms_taken.inc()
        log.info(
            "room %s taken (epoch %d) at version %d in %.1f ms",
            room_id,
            epoch,
            room.committed_version,
            (time.perf_counter() - start) * 1000,
        )
        return room

    def rooms_taken(self, rooms: Sequence[str]) -> None:
        """Drop the rooms another node has taken: their sockets are told to
        reconnect, and this node writes nothing more of them."""
        for room_id in rooms:
            room = self.rooms.get(room_id)
            if room is None:
                continue
            self._forget(room)
            self.store.release(room_id)
            metrics.rooms_lost.inc()
            log.warning(
                "room %s taken by another node: dropped here, its sockets told to reconnect",
                room_id,
            )
            for conn in list(room.connections()):
                self.detach(conn)  # what it sends from now on goes nowhere
                conn.close(MOVED_CODE, MOVED_REASON)

    def _claimed(self, room_id: str, epoch: int) -> None:
        """A node claimed `room_id` with `epoch`: if another did, and this
        node holds an older claim, the room is no longer this node's."""
        ours = self.store.epochs.get(room_id)
        if ours is not None and epoch > ours:
            if room_id in self.rooms:
                self.rooms_taken([room_id])
            else:  # still being loaded: it fails at its end
                self.store.release(room_id)

    async def check_owners(self) -> None:
        """Drop the rooms another node has taken without this node hearing
        of it (a claim made while the listening connection was down)."""
        if self.shared and self.rooms:
            self.rooms_taken(await self.store.lost())

    async def expire_unheld(self, now: float) -> None:
        """Delete from a shared store the rooms no node keeps: idle for the
        idle timeout (their node stopped, and nobody asked for them since),
        or finished for longer than the review time. A node that held one
        hears of it as of a claim, and drops it."""
        if not self.shared:
            return
        gone = await self.store.expire_unheld(
            idle_before=now - self.settings.idle_timeout,
            finished_before=now - self.settings.review_time,
        )
        if gone:
            log.info("%d rooms no node kept deleted from the store: %s", len(gone), ", ".join(gone))
