"""The hub's part that keeps time: a person's move clock (started, stored
with the room, ended by a loss on time, brought back after a restart), and
the games that end outside play: on time, or claimed against a seat that
has been away too long."""

from __future__ import annotations

import asyncio
import logging
import math
import time
from functools import partial
from typing import Any

import msgspec

from .protocol import (
    Ack,
    Claim,
    ClockNotice,
    to_text,
)
from .room import Clock, Connection, Phase, Room
from .rows import Alive, Change, EventRow
from .worker_pool import EngineRefused, WorkerDied

log = logging.getLogger("tesko_server")

# While a move clock runs, the store notes this often that the server runs:
# after a kill, a clock goes on from the time it had at the latest note.
CLOCK_BEAT = 0.5


class Clocks:
    """Move clocks, forfeits on time and claims against an absent seat."""

    # -- move clocks -------------------------------------------------------------

    def _turn_clock(self, room: Room) -> bool:
        """After a change of turn or of the room's status: the side to move
        gets its full time when it is a person in a game under way, and no
        clock runs otherwise. True when the room's row has changed."""
        before = room.clock is not None
        self._drop_clock(room)
        move_time = room.row.move_time
        to_move = room.state["to_move"]
        if (
            move_time is not None
            and to_move is not None
            and room.seats[to_move].kind == "human"
            and room.status() == "playing"
        ):
            room.clock = Clock(to_move, float(move_time), time.monotonic())
            self._arm(room)
        elif not before:
            return False
        self._store_clock(room)
        return True

    def _store_clock(self, room: Room) -> None:
        """The deadline as the room's row keeps it (written with the change
        that set it): a wall time, and the wall time it was set at."""
        clock = room.clock
        row = room.row
        if clock is None:
            row.deadline = row.deadline_set = None
        elif clock.running:
            row.deadline_set = time.time()
            row.deadline = row.deadline_set + clock.remaining(time.monotonic())

    def _arm(self, room: Room) -> None:
        clock = room.clock
        assert clock is not None and clock.running
        if clock.timer is not None:
            clock.timer.cancel()
        delay = max(0.0, clock.deadline - time.monotonic())
        clock.timer = asyncio.get_running_loop().call_later(delay, self._time_up, room, clock)
        self.clocks.add(room)

    def _drop_clock(self, room: Room) -> None:
        clock = room.clock
        if clock is not None and clock.timer is not None:
            clock.timer.cancel()
        room.clock = None
        self.clocks.discard(room)

    def _time_up(self, room: Room, clock: Clock) -> None:
        if room.clock is not clock:
            return
        if not clock.expired(time.monotonic()):  # the loop's timers may fire a little early
            self._arm(room)
            return
        self._continue_play(room)  # ends the game on time, once no move of that side is in flight

    def _late(self, room: Room, seat: str) -> bool:
        """Whether a move of `seat` arrives after its time ran out: its clock
        has run out, or the game has ended on its time."""
        clock = room.clock
        if clock is not None and clock.seat == seat and clock.expired(time.monotonic()):
            return True
        result = room.state["result"]
        return (
            result is not None and result["end"] == "time" and result["winner"] not in (None, seat)
        )

    def _start_restored_clock(self, room: Room) -> None:
        """A clock restored from the store starts again once its room can
        take moves, and everyone is told."""
        clock = room.clock
        if clock is None or clock.running:
            return
        clock.since = time.monotonic()
        clock.running = True
        self._arm(room)
        self._store_clock(room)
        notice = to_text(ClockNotice(msgspec.Raw(room.clock_text())))
        self.committer.add([room.row], partial(room.broadcast, notice))

    async def _beat(self) -> None:
        while True:
            await asyncio.sleep(CLOCK_BEAT)
            if self.clocks:
                self.committer.add([Alive(time.time())])

    # -- ends outside play: on time, abandoned -----------------------------------

    def _forfeit(
        self,
        room: Room,
        loser: str,
        end: str,
        data: dict,
        conn: Connection | None = None,
        n: int | None = None,
    ) -> None:
        """End the game with `loser` beaten (the referee decides the
        result), recorded as the event `data`."""
        assert self.pool is not None
        room.phase = Phase.ENDING
        future = self.pool.request(room.id, "forfeit", loser, end)
        future.add_done_callback(partial(self._forfeited, room, data, conn, n))

    def _forfeited(
        self,
        room: Room,
        data: dict,
        conn: Connection | None,
        n: int | None,
        future: asyncio.Future[Any],
    ) -> None:
        self._engine_answered(room, Phase.ENDING)
        err = future.exception()
        if isinstance(err, WorkerDied):
            if conn is not None:
                self._refuse(conn, n, "busy", "the engine is being restarted; send it again")
            return  # the rebuilt room is looked at again
        if err is not None:
            log.error("room %s: ending the game (%s) failed: %s", room.id, data["kind"], err)
            if conn is not None:
                code = err.code if isinstance(err, EngineRefused) else "busy"
                self._refuse(conn, n, code, str(err))
            else:
                self._break(room, str(err))
            self._continue_play(room)
            return
        state = future.result()["state"]
        now = time.time()
        room.version += 1
        seat = data["seat"] if conn is not None else None
        row = EventRow(room.id, room.version, data["kind"], data, state, now, seat, n)
        if conn is not None and seat is not None and n is not None:
            room.seats[seat].last_n = n
            room.seats[seat].applied[n] = row.version
        room.state = state
        room.last_activity = now
        rows: list[Change] = [row, self._ended(room, now)]
        ack = None if n is None else to_text(Ack(n, row.version))
        self.committer.add(rows, partial(self._publish, room, rows, conn, ack, None))
        self._continue_play(room)

    def claim(self, conn: Connection, message: Claim) -> None:
        """A player claims the win against an opponent who has left."""
        n = message.n
        room = self._new_request(conn, n, "a spectator cannot claim a win")
        if room is None:
            return
        if room.over:
            self._refuse(conn, n, "game_over", "the game is over")
            return
        if room.status() == "waiting":
            self._refuse(conn, n, "waiting", "a seat is still free")
            return
        other = "B" if conn.seat == "A" else "A"
        wait = room.claim_wait(other)
        if wait is None:
            self._refuse(conn, n, "opponent_connected", "your opponent is here")
            return
        if wait > 0:
            self._refuse(
                conn,
                n,
                "too_early",
                f"your opponent may still come back: a claim can be made in {math.ceil(wait)} s",
            )
            return
        if room.phase is not Phase.READY or self.stopping:
            self._refuse(conn, n, "busy", "the room is busy; send it again")
            return
        log.info("room %s: seat %s claims the win against the absent %s", room.id, conn.seat, other)
        self._forfeit(room, other, "abandoned", {"kind": "claim", "seat": conn.seat}, conn, n)
