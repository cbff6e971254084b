"""The hub's part that knows who is there: room sockets attached to their
room and seat and detached again, the presence the room is told of, the
seats away long enough to be claimed against, and the sockets each client
address holds."""

from __future__ import annotations

import asyncio
import logging
import time
from itertools import islice

import msgspec

from . import metrics
from .protocol import (
    PROTOCOL,
    ClockNotice,
    HubError,
    Welcome,
    to_text,
    with_clock,
)
from .room import Connection, Room

log = logging.getLogger("tesko_server")


class Presence:
    """Sockets attached and detached, and who the room is told is there."""

    def attach(self, room_id: str, token: object, version: object, conn: Connection) -> None:
        room = self.room(room_id)
        seat = None
        if token is not None:
            if not isinstance(token, str) or not token:
                raise HubError("bad_token", "that token holds no seat of this room")
            seat = room.seat_of(token)
            if seat is None:
                raise HubError("bad_token", "that token holds no seat of this room")
        if seat is None and len(room.spectators) >= self.settings.max_spectators:
            raise HubError("too_many_spectators", "this room has as many spectators as it may")
        conn.room = room
        conn.seat = seat
        (room.conns[seat] if seat else room.spectators).add(conn)
        if seat is not None:
            room.seats[seat].away_since = None
            self._watch_away(room)
        metrics.connections.labels("seat" if seat else "spectator").inc()
        last_n = room.seats[seat].last_n if seat else None
        conn.send(to_text(Welcome(PROTOCOL, room.id, seat, room.committed_version, last_n)))
        if (
            isinstance(version, int)
            and not isinstance(version, bool)
            and 0 <= room.committed_version - version <= len(room.event_texts)
        ):
            clock = room.clock_text()
            texts = room.event_texts
            for event in islice(texts, len(texts) - (room.committed_version - version), None):
                conn.send(with_clock(event, clock))
            conn.send(to_text(room.presence()))
            search = room.search()
            if search is not None:  # the search under way, as a snapshot would tell it
                conn.send(to_text(search))
            if room.row.move_time is not None:
                conn.send(to_text(ClockNotice(msgspec.Raw(clock))))
        else:
            conn.send(to_text(room.snapshot(seat)))
        room.told[conn] = to_text(room.presence())
        self._presence_changed(room, skip=conn)

    def detach(self, conn: Connection) -> None:
        room = conn.room
        if room is None:
            return
        conn.room = None
        group = room.conns[conn.seat] if conn.seat else room.spectators
        if conn in group:
            group.discard(conn)
            metrics.connections.labels("seat" if conn.seat else "spectator").dec()
            if conn.seat is not None and not group:
                room.seats[conn.seat].away_since = time.monotonic()
                self._watch_away(room)
            self._presence_changed(room)

    def _watch_away(self, room: Room) -> None:
        """Tell the room when a seat that left can be claimed against: a
        timer at the end of each absent seat's grace time."""
        for name, seat in room.seats.items():
            if seat.away_timer is not None:
                seat.away_timer.cancel()
                seat.away_timer = None
            wait = room.claim_wait(name)
            if wait is not None and wait > 0:
                seat.away_timer = asyncio.get_running_loop().call_later(
                    wait + 0.01, self._away_due, room, name
                )

    def _away_due(self, room: Room, name: str) -> None:
        room.seats[name].away_timer = None
        if room.claim_wait(name) == 0.0 and self.rooms.get(room.id) is room:
            log.info(
                "room %s: seat %s has been away %g s; it can be claimed against",
                room.id,
                name,
                room.abandon_time,
            )
            self._presence_changed(room)
        else:
            self._watch_away(room)

    def _presence_changed(self, room: Room, skip: Connection | None = None) -> None:
        """Tell the room who is there: at once, or, within `presence_interval`
        of the last time, once when the interval is over (so many sockets
        coming and going cost one message each per interval)."""
        self.lobby.changed(room)
        if room.presence_due is not None:
            return
        wait = room.presence_sent + self.settings.presence_interval - time.monotonic()
        if wait > 0:
            room.presence_due = asyncio.get_running_loop().call_later(
                wait, self._send_presence, room, None
            )
        else:
            self._send_presence(room, skip)

    def _send_presence(self, room: Room, skip: Connection | None) -> None:
        room.presence_due = None
        room.presence_sent = time.monotonic()
        presence = to_text(room.presence())
        told, room.told = room.told, {}
        for other in room.connections():
            if other is not skip and told.get(other) != presence:
                other.send(presence)

    def socket_opened(self, address: str) -> None:
        """Count a room socket of `address`, or refuse it over the limit."""
        count = self.sockets_by_address.get(address, 0)
        if count >= self.settings.max_sockets_per_address:
            raise HubError("too_many_sockets", "too many open sockets from this address")
        self.sockets_by_address[address] = count + 1

    def socket_closed(self, address: str) -> None:
        count = self.sockets_by_address.get(address, 0) - 1
        if count > 0:
            self.sockets_by_address[address] = count
        else:
            self.sockets_by_address.pop(address, None)
