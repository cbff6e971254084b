"""Bringing rooms back: from the store when the server starts, and onto an
engine worker that was restarted."""

from __future__ import annotations

import asyncio
import logging
import time
from functools import partial
from typing import Any

from . import metrics
from .protocol import Notice, to_text
from .room import Clock, Phase, Room, Seat
from .rows import StoredRoom
from .worker_pool import WorkerDied

log = logging.getLogger("tesko_server")


class Recovery:
    """The hub's part that brings rooms back: from the store at a start, and
    onto a restarted engine worker."""

    # -- restore from the store --------------------------------------------------

    def _restore(self, entry: StoredRoom) -> Room:
        seats = {
            s.seat: Seat(s.kind, s.name, s.token_hash, s.level, s.think_time) for s in entry.seats
        }
        room = Room(entry.room, seats, self.settings.catch_up)
        room.abandon_time = self.settings.abandon_time
        kept = entry.events[-1].version - self.settings.catch_up if entry.events else 0
        for event in entry.events:
            room.version = room.committed_version = event.version
            room.state = room.committed_state = event.state
            room.last_activity = event.at
            if event.kind == "turn":
                room.history.append((event.version, event.data["player"], event.data["move"]))
            if event.seat is not None and event.n is not None:
                seat = room.seats[event.seat]
                seat.last_n = max(seat.last_n, event.n)
                seat.applied[event.n] = event.version
            if event.kind == "rematch_offer":
                room.seats[event.data["seat"]].rematch = event.version
            elif event.kind == "leave":  # the seat rows hold who sits now
                room.seats[event.data["seat"]].restart()
            elif event.kind == "join":
                room.joins += 1
            if event.version > kept:
                room.event_texts.append(self._event_text(room, event))
        if room.over:
            room.phase = Phase.READY
        return room

    def _bring_back(
        self, entry: StoredRoom, alive: float | None, unreadable: dict[str, str] | None = None
    ) -> Room | None:
        """The room read from the store, held from now (its board still to be
        rebuilt if it is unfinished); None, with the cause in `unreadable`
        (or logged), if its events do not make a room."""
        try:
            room = self._restore(entry)
        except (KeyError, TypeError, ValueError, AttributeError) as err:
            cause = f"its events do not make a room ({err!r})"
            if unreadable is None:
                log.error("room %s skipped, left in the store: %s", entry.room.id, cause)
            else:
                unreadable[entry.room.id] = cause
            return None
        self.rooms[room.id] = room
        room.review = entry.review
        if room.over and room.review is None:
            self._start_review(room)  # ended while the server stopped, or before reviews
        if room.over:
            self.finished[room.id] = None
        else:
            self._restore_clock(room, alive)
            self._watch_away(room)  # everyone is away at a restart, since now
            self._opened(room)
        self.lobby.held(room)
        return room

    def _restore_clock(self, room: Room, alive: float | None) -> None:
        """The side to move's clock as the server last knew it: its stored
        deadline less the later of the moment it was set and the latest
        note that the server ran. The outage is not counted. It starts
        again when the room's board is rebuilt."""
        row = room.row
        to_move = room.state["to_move"]
        if row.deadline is None or row.move_time is None or to_move is None:
            return
        known = max(row.deadline_set or 0.0, alive or 0.0)
        left = min(max(row.deadline - known, 0.0), float(row.move_time))
        room.clock = Clock(to_move, left, running=False)
        log.info("room %s: %s's clock restored with %.2f s left", room.id, to_move, left)

    # -- rebuild on a restarted worker -------------------------------------------

    def _worker_restarted(self, index: int) -> None:
        assert self.pool is not None
        metrics.worker_restarts.inc()
        rooms = [r for r in self.rooms.values() if not r.over and self.pool.index_of(r.id) == index]
        for room in rooms:
            if room.phase is not Phase.BROKEN:
                room.phase = Phase.REBUILDING
        self._spawn(self._rebuild(index, rooms))

    async def _rebuild(self, index: int, rooms: list[Room]) -> None:
        await self.committer.settled()  # the store must hold every applied turn
        moves = [await self.store.load_moves(r.id) for r in rooms]
        self._load(index, rooms, moves, notice=True)

    def _load(
        self, index: int, rooms: list[Room], moves: list[list[str | None]], notice: bool
    ) -> None:
        assert self.pool is not None
        if not rooms:
            return
        saved = [
            (r.id, r.row.layout, r.row.first, r.row.ply_limit, m) for r, m in zip(rooms, moves)
        ]
        start = time.perf_counter()
        future = self.pool.request_to(index, "load", "", saved)
        future.add_done_callback(partial(self._loaded, rooms, notice, start))

    def _loaded(
        self, rooms: list[Room], notice: bool, start: float, future: asyncio.Future[Any]
    ) -> None:
        err = future.exception()
        if err is not None:
            if not isinstance(err, WorkerDied):  # a dead worker is restarted and asked again
                for room in rooms:
                    self._break(room, str(err))
                log.error("rebuilding %d rooms failed: %s", len(rooms), err)
            return
        answers = future.result()
        log.info(
            "%d rooms rebuilt on the engine in %.2f s", len(rooms), time.perf_counter() - start
        )
        restarted = to_text(
            Notice(
                "engine_restarted",
                "the engine was restarted; the game goes on from the same position",
            )
        )
        for room in rooms:
            ok, state = answers.get(room.id, (False, "not rebuilt"))
            if not ok:
                self._break(room, state)
                log.error("room %s cannot be rebuilt: %s", room.id, state)
                continue
            if state["cells"] != room.state["cells"] or state["to_move"] != room.state["to_move"]:
                self._break(room, "the rebuilt board differs from the stored one")
                log.error("room %s: %s", room.id, room.fault)
                continue
            if room.phase is Phase.REBUILDING:
                room.phase = Phase.READY
            if notice:
                room.broadcast(restarted)
            self._start_restored_clock(room)
            self._continue_play(room)
