"""A move's life, read top to bottom in `Turns`: arrival (`move`), the queue
(`_play_queued_moves`), the engine's answer (`_played`), the record
(`_record_turns`), the commit and then the acknowledgement and the broadcast
(`_publish`), then the next turn (`_continue_play`). The engine seats,
rematches and reviews live here too; clocks, forfeits and claims are in
clocks.py."""

from __future__ import annotations

import asyncio
import logging
import time
from functools import partial
from typing import Any

from . import metrics
from .protocol import (
    Ack,
    HubError,
    Move,
    Refusal,
    Refused,
    Rematch,
    Review,
    Thinking,
    dumps,
    state_text,
    to_text,
    with_clock,
)
from .room import Connection, PendingMove, Phase, Room, Seat
from .rows import Change, EventRow, ReviewRow, RoomRow
from .worker_pool import EngineRefused, WorkerDied

log = logging.getLogger("tesko_server")


class Turns:
    """The hub's part that plays: a move from its arrival to the engine, its
    record, its commit and its acknowledgement, then the next turn (an engine
    seat's search, or the next queued move); rematches and the review of a
    finished game."""

    # -- a move's life -----------------------------------------------------------

    def refuse(self, conn: Connection, refusal: Refusal) -> None:
        """A message that failed its checks (`protocol.decode_client`)."""
        if conn.room is not None:  # else detached (its seat given up): being closed
            self._refuse(conn, refusal.n, refusal.code, refusal.message)

    def move(self, conn: Connection, message: Move) -> None:
        """A person's move (checked): queued on its room, played in turn."""
        room = conn.room
        if room is None:
            return  # detached (its seat given up): it is being closed
        n, move = message.n, message.move
        if conn.seat is None:
            self._refuse(conn, n, "spectator", "a spectator cannot move")
            return
        if n > room.seats[conn.seat].last_n and self._late(room, conn.seat):
            self._refuse(conn, n, "out_of_time", "your time for this move ran out")
            return
        room.last_activity = time.time()
        room.queue.append(
            PendingMove(conn, conn.seat, n, move.strip().upper(), time.perf_counter())
        )
        self._play_queued_moves(room)

    def _new_request(self, conn: Connection, n: int, spectator: str) -> Room | None:
        """The room of a seat's counted request (a claim, a rematch) that is
        new; None, once answered, for a spectator's (refused with the words
        `spectator`) or a resend, and for a connection whose seat was given up."""
        room = conn.room
        if room is None:
            return None  # detached (its seat given up): it is being closed
        if conn.seat is None:
            self._refuse(conn, n, "spectator", spectator)
            return None
        seat = room.seats[conn.seat]
        if n <= seat.last_n:
            self._duplicate(conn, seat, n)
            return None
        return room

    def _refuse(self, conn: Connection, n: object, code: str, message: str) -> None:
        metrics.refusals.labels(code).inc()
        conn.send(to_text(Refused(n, code, message)))

    def _duplicate(self, conn: Connection, seat: Seat, n: int) -> None:
        # The original may still be on its way to the store: the answer to a
        # resend waits behind it, so it never names a version before that
        # version is committed (nor reaches the sender before the original's).
        ack = to_text(Ack(n, seat.applied.get(n), duplicate=True))
        self.committer.add([], partial(conn.send, ack))

    def _play_queued_moves(self, room: Room) -> None:
        """Send the room's next queued move to the engine, if it may go now."""
        assert self.pool is not None
        while room.queue and room.phase in Turns.TAKES_QUEUED and not self.stopping:
            pending = room.queue.popleft()
            conn, seat_name, n, move = pending.conn, pending.seat, pending.n, pending.move
            seat = room.seats[seat_name]
            if n <= seat.last_n:
                self._duplicate(conn, seat, n)
            elif room.phase is Phase.BROKEN:
                self._refuse(conn, n, "busy", "the room cannot go on: " + str(room.fault))
            elif room.over:
                self._refuse(conn, n, "game_over", "the game is over")
            elif room.status() == "waiting":
                self._refuse(conn, n, "waiting", "a seat is still free")
            elif room.state["to_move"] != seat_name:
                self._refuse(conn, n, "not_your_turn", "it is not your turn")
            else:
                room.phase = Phase.MOVING
                future = self.pool.request(room.id, "play", seat_name, move)
                future.add_done_callback(partial(self._played, room, pending))

    def _played(
        self,
        room: Room,
        pending: PendingMove,
        future: asyncio.Future[Any],
    ) -> None:
        conn, seat_name, n, move = pending.conn, pending.seat, pending.n, pending.move
        self._engine_answered(room, Phase.MOVING)
        err = future.exception()
        if err is not None:
            if isinstance(err, EngineRefused):
                self._refuse(conn, n, err.code, err.message)
            elif isinstance(err, WorkerDied) and not pending.resent:
                pending.resent = True
                room.queue.appendleft(pending)  # played after the rebuild
                return
            else:
                log.error("room %s: move %s failed: %s", room.id, move, err)
                self._refuse(conn, n, "busy", "the engine failed on this move; send it again")
            self._continue_play(room)  # the clock may have run out meanwhile
            return
        seat = room.seats[seat_name]
        # A seat given up while its move was being played keeps its counter
        # reset: the move is stored without its `n`.
        kept = n if conn.seat == seat_name else None
        rows = self._record_turns(room, future.result(), "human", kept)
        played = rows[0]  # the move's own event; a pass or the room's end may follow
        assert isinstance(played, EventRow)
        if kept is not None:
            seat.last_n = n
            seat.applied[n] = played.version
        metrics.human_moves.inc()
        ack = to_text(Ack(n, played.version))
        self.committer.add(
            rows, partial(self._publish, room, rows, conn, ack, None, pending.arrival)
        )
        self._continue_play(room)

    def _record_turns(
        self, room: Room, payload: dict, by: str, n: int | None, seconds: float | None = None
    ) -> list[Change]:
        state = payload["state"]
        now = time.time()
        rows: list[Change] = []
        for i, (player, move) in enumerate(payload["turns"]):
            room.version += 1
            first = i == 0 and move is not None
            data: dict[str, Any] = {
                "kind": "turn",
                "player": player,
                "move": move,
                "by": by if first else "rules",
            }
            if first and seconds is not None:
                data["seconds"] = round(seconds, 6)
            rows.append(
                EventRow(
                    room.id,
                    room.version,
                    "turn",
                    data,
                    state,
                    now,
                    seat=player if first else None,
                    n=n if first else None,
                )
            )
            room.history.append((room.version, player, move))
            if log.isEnabledFor(logging.DEBUG):
                log.debug(
                    "room %s v%d: %s %s%s",
                    room.id,
                    room.version,
                    player,
                    move or "passes",
                    f" (engine, {seconds * 1000:.2f} ms)" if first and seconds is not None else "",
                )
        room.state = state
        room.last_activity = now
        if state["result"] is not None:
            rows.append(self._ended(room, now))
        elif self._turn_clock(room):
            rows.append(room.row)
        return rows

    def _publish(
        self,
        room: Room,
        rows: list[Change],
        conn: Connection | None,
        ack: str | None,
        future: asyncio.Future[None] | None,
        arrival: float | None = None,
    ) -> None:
        """After a commit: acknowledge, then tell everyone, in version order."""
        if ack is not None and conn is not None:
            conn.send(ack)
            if arrival is not None:
                metrics.move_seconds.observe(time.perf_counter() - arrival)
        clock = room.clock_text()
        for row in rows:
            if isinstance(row, EventRow):
                room.committed_version = row.version
                room.committed_state = row.state
                text = self._event_text(room, row)
                room.event_texts.append(text)
                room.broadcast(with_clock(text, clock))
        self.lobby.changed(room)
        if future is not None and not future.done():
            future.set_result(None)

    def _event_text(self, room: Room, row: EventRow) -> str:
        # {"type": "event", "version", "event", "state": the expanded state, "room"};
        # kept without the clock, which `with_clock` adds as each is sent.
        data = dumps(row.data)
        state = state_text(row.state, room.row.hide_face_down_owners)
        summary = dumps(room.summary(row.state))
        return (
            f'{{"type":"event","version":{row.version},"event":{data},'
            f'"state":{state},"room":{summary}}}'
        )

    # What a room's queued moves may be taken (or refused) in.
    TAKES_QUEUED = (Phase.READY, Phase.REMATCHING, Phase.BROKEN)

    def _engine_answered(self, room: Room, asked: Phase) -> None:
        """The engine answered the room's request made in phase `asked`:
        the room takes its next step, unless its worker was restarted
        meanwhile (it waits for its board) or it broke."""
        if room.phase is asked:
            room.phase = Phase.READY

    def _break(self, room: Room, fault: str) -> None:
        room.phase = Phase.BROKEN
        room.fault = fault

    def _continue_play(self, room: Room) -> None:
        """Start the engine seat's search if it is its turn, else the next queued move."""
        if room.phase is not Phase.READY or self.stopping:
            return
        clock = room.clock
        if (
            clock is not None
            and clock.expired(time.monotonic())
            and not any(q.seat == clock.seat for q in room.queue)  # in time, so played first
        ):
            self._forfeit(room, clock.seat, "time", {"kind": "timeout", "seat": clock.seat})
            return
        to_move = room.state["to_move"]
        if to_move is not None and room.status() == "playing":
            seat = room.seats[to_move]
            if seat.kind == "engine":
                self._start_bot(room, to_move, seat)
                return
        self._play_queued_moves(room)

    def _start_bot(self, room: Room, seat_name: str, seat: Seat) -> None:
        assert self.pool is not None
        room.phase = Phase.SEARCHING
        room.search_started = time.monotonic()
        future = self.pool.search(room.id, seat.level, seat.think_time, room.row.creator)
        future.add_done_callback(partial(self._bot_done, room, seat_name))
        notice = to_text(Thinking(seat_name, seat.level, seat.think_time))
        # After the commit of whatever came before, so it follows that event.
        self.committer.add([], partial(room.broadcast, notice))

    def _bot_done(self, room: Room, seat_name: str, future: asyncio.Future[Any]) -> None:
        self._engine_answered(room, Phase.SEARCHING)
        err = future.exception()
        if self.rooms.get(room.id) is not room:
            return  # dropped here meanwhile (taken by another node): not wanted
        if err is not None:
            if not isinstance(err, WorkerDied):
                log.error("room %s: the engine seat failed: %s", room.id, err)
                self._break(room, str(err))
            return  # a restarted worker asks again once the room is rebuilt
        payload = future.result()
        seconds = payload["seconds"]
        metrics.bot_think.observe(seconds)
        metrics.engine_moves.inc()
        rows = self._record_turns(room, payload, "engine", None, seconds)
        self.committer.add(rows, partial(self._publish, room, rows, None, None, None))
        self._continue_play(room)

    def _ended(self, room: Room, now: float) -> RoomRow:
        """What follows the end of the game: the room row to write."""
        self._closed(room)
        self.finished[room.id] = None
        self._drop_clock(room)
        room.row.finished_at = now
        room.row.deadline = room.row.deadline_set = None
        assert self.pool is not None
        self.pool.post(room.id, "drop")
        log.info("room %s over: %s", room.id, room.state["result"]["text"])
        self._start_review(room)
        return room.row

    # -- the review of a finished game -------------------------------------------

    REVIEW_RETRIES = 3

    def _start_review(self, room: Room, attempt: int = 0) -> None:
        """Ask the room's worker for the engine's review of its game; it is
        made on a thread of the worker, off this loop and off the moves."""
        if self.pool is None or self.stopping or room.review is not None or room.reviewing:
            return
        if self.rooms.get(room.id) is not room:
            return  # deleted meanwhile
        room.reviewing = True
        row = room.row
        turns = [move for _, _, move in room.history]
        future = self.pool.request(room.id, "review", row.layout, row.first, row.ply_limit, turns)
        future.add_done_callback(partial(self._reviewed, room, attempt))

    def _reviewed(self, room: Room, attempt: int, future: asyncio.Future[Any]) -> None:
        room.reviewing = False
        err = future.exception()
        if err is not None:
            if isinstance(err, WorkerDied) and attempt < self.REVIEW_RETRIES:
                delay = 1.0 * 2**attempt  # the worker is restarted meanwhile
                asyncio.get_running_loop().call_later(delay, self._start_review, room, attempt + 1)
            else:
                log.error("room %s: the game's review failed: %s", room.id, err)
                if self.rooms.get(room.id) is room:
                    room.review_failed = True
                    room.broadcast(to_text(Review("failed", None)))
            return
        if self.rooms.get(room.id) is not room:
            return  # deleted while the review was made
        review = future.result()
        log.debug("room %s reviewed (%d turns)", room.id, len(review["moves"]))
        self.committer.add([ReviewRow(room.id, review)], partial(self._review_ready, room, review))

    def _review_ready(self, room: Room, review: dict) -> None:
        """The review is stored: it is the room's, and its watchers get it."""
        room.review = review
        room.broadcast(to_text(Review("ready", review)))

    # -- rematch -----------------------------------------------------------------

    def rematch(self, conn: Connection, message: Rematch) -> None:
        n = message.n
        room = self._new_request(conn, n, "a spectator cannot ask for a rematch")
        if room is None:
            return
        assert conn.seat is not None
        seat = room.seats[conn.seat]
        if not room.over:
            self._refuse(conn, n, "bad_message", "the game is not over")
            return
        if not all(s.taken for s in room.seats.values()):
            # A finished room's seat cannot be taken again: the rematch
            # would wait for an offer that never comes.
            self._refuse(conn, n, "opponent_left", "the other seat was given up: no rematch")
            return
        seat.last_n = n
        if seat.rematch:
            # Offered already: no new event; answered after the first offer's ack.
            seat.applied[n] = seat.rematch
            self._duplicate(conn, seat, n)
        else:
            room.version += 1
            seat.rematch = room.version
            data = {"kind": "rematch_offer", "seat": conn.seat}
            row = EventRow(
                room.id, room.version, "rematch_offer", data, room.state, time.time(), conn.seat, n
            )
            seat.applied[n] = row.version
            ack = to_text(Ack(n, row.version))
            self.committer.add([row], partial(self._publish, room, [row], conn, ack, None))
        humans = [s for s in room.seats.values() if s.kind == "human"]
        if (
            room.row.rematch is None
            and room.phase is not Phase.REMATCHING
            and all(s.rematch for s in humans)
        ):
            room.phase = Phase.REMATCHING
            self._spawn(self._make_rematch(room))

    async def _make_rematch(self, room: Room) -> None:
        old = room.row
        options = {
            "first": "B" if old.first == "A" else "A",
            "ply_limit": old.ply_limit,
            "public": old.public,
            "hide_face_down_owners": old.hide_face_down_owners,
            "move_time": old.move_time,
        }
        seats = {
            s: Seat(seat.kind, seat.name, seat.token_hash, seat.level, seat.think_time)
            for s, seat in room.seats.items()
        }
        try:
            # Under an id the router sends where this room is: no other
            # node takes the new room over when its sockets come.
            new = await self._new_room(options, seats, old.creator, self._new_id(like=old.id))
        except HubError as err:
            log.error("room %s: no rematch: %s", room.id, err.message)
            room.phase = Phase.READY
            return
        old.rematch = new.id
        room.phase = Phase.READY
        room.version += 1
        data = {"kind": "rematch", "room": new.id}
        row = EventRow(room.id, room.version, "rematch", data, room.state, time.time())
        self.committer.add([old, row], partial(self._publish, room, [row], None, None, None))
        log.info("room %s: rematch in room %s", room.id, new.id)
        self._continue_play(new)
