"""The hub's part that makes rooms and seats people: a new room (its id,
its board dealt by the engine, its seats), a seat taken through the lobby
and a seat given up, each committed before it is answered."""

from __future__ import annotations

import asyncio
import logging
import secrets
import time
from collections import deque
from functools import partial
from typing import Any

from .lobby import ROOM_MADE_ELSEWHERE
from .ownership import ROUTE_KEY
from .protocol import (
    SEATS,
    HubError,
    check_name,
    parse_create,
)
from .room import Phase, Room, Seat, new_token
from .rows import Change, EventRow, RoomRow
from .worker_pool import EngineRefused, WorkerDied

log = logging.getLogger("tesko_server")

NEW_ROOM_ATTEMPTS = 4  # a worker that ended while dealing: asked again after 0.25, 0.5, 0.75 s


class Seating:
    """Rooms made, seats taken and seats given up."""

    async def create(self, body: object, address: str, routed: str | None = None) -> dict:
        """Make a room; under the id `routed` (one the router drew) if it
        is of the router's form and no room has it, else under one drawn here."""
        if self.stopping:
            raise HubError("shutting_down", "the server is stopping")
        options = parse_create(body, self.settings.move_times)
        if not self.creations.allow(address):
            raise HubError("too_many_requests", "rooms are made too fast from this address")
        routed = await self.routed_id(routed)
        room_id = routed or self._new_id()
        try:
            await self.lobby.admit(room_id, address)
            try:
                return await self._create(room_id, options, address)
            except Exception:
                await self.lobby.cancel(room_id)
                raise
            except BaseException:
                self._spawn(self.lobby.cancel(room_id))
                raise
        finally:
            if routed is not None:
                self.made_routed(routed)

    async def _create(self, room_id: str, options: dict, address: str) -> dict:
        join = options.pop("join")
        seats = {s: Seat(**options["seats"][s]) for s in SEATS}
        token = None
        if join is not None:
            seat_name, name = join
            if seats[seat_name].kind != "human":
                raise HubError("seat_taken", f"seat {seat_name} is the engine's")
            token, seats[seat_name].token_hash = new_token()
            seats[seat_name].name = name
        room = await self._new_room(options, seats, address, room_id)
        log.info(
            "room %s created by %s: %s, first %s, ply limit %d",
            room.id,
            address,
            " against ".join(
                f"{s} engine level {seat.level}" if seat.kind == "engine" else f"{s} human"
                for s, seat in seats.items()
            ),
            options["first"],
            options["ply_limit"],
        )
        answer: dict[str, Any] = {"room": room.summary()}
        if join is not None:
            answer["seat"] = join[0]
            answer["token"] = token
        self._continue_play(room)
        return answer

    def _new_id(self, like: str = "") -> str:
        """A new room id; one that begins as `like` does, if given, which
        the router sends to the same node (a rematch's, after its room)."""
        head = like[:ROUTE_KEY]
        room_id = head + secrets.token_urlsafe(9)[len(head) :]
        while room_id in self.rooms:  # pragma: no cover - 36 random bits or more
            room_id = head + secrets.token_urlsafe(9)[len(head) :]
        return room_id

    async def _new_room(
        self, options: dict, seats: dict[str, Seat], address: str, room_id: str | None = None
    ) -> Room:
        assert self.pool is not None
        self._make_space()
        room_id = room_id or self._new_id()
        for attempt in range(1, NEW_ROOM_ATTEMPTS + 1):
            try:
                dealt = await self.pool.request(
                    room_id, "new", options["first"], options["ply_limit"]
                )
                break
            except WorkerDied:
                # The worker ended (or is being started again) before it dealt.
                # Nobody knows this room yet, so it is simply asked again.
                if attempt == NEW_ROOM_ATTEMPTS or self.stopping:
                    raise HubError(
                        "engine_unavailable", "the engine is being restarted; try again"
                    ) from None
                await asyncio.sleep(0.25 * attempt)
            except EngineRefused as err:
                log.error("the engine could not deal a new room: %s", err)
                raise HubError("engine_unavailable", f"the engine could not deal: {err}") from None
        # This node's before the first write of it; a room that another node
        # made meanwhile under the same id is not taken from it.
        if self.shared and await self.store.claim(room_id, new=True) is None:
            if room_id not in self._loading:
                self.pool.post(room_id, "drop")
            raise HubError("room_moved", ROOM_MADE_ELSEWHERE)
        row = RoomRow(
            id=room_id,
            created=time.time(),
            public=options["public"],
            first=options["first"],
            ply_limit=options["ply_limit"],
            hide_face_down_owners=options["hide_face_down_owners"],
            layout=dealt["layout"],
            initial_state=dealt["state"],
            creator=address,
            move_time=options["move_time"],
        )
        room = Room(row, seats, self.settings.catch_up)
        room.abandon_time = self.settings.abandon_time
        room.phase = Phase.READY
        self.rooms[room_id] = room
        self._opened(room)
        self._turn_clock(room)
        self._watch_away(room)
        await self._commit([row, *(seat.row(room_id, s) for s, seat in seats.items())])
        self.lobby.changed(room)
        return room

    async def join(self, room_id: str, body: object) -> dict:
        if self.stopping:
            raise HubError("shutting_down", "the server is stopping")
        room = self.room(room_id)
        if not isinstance(body, dict):
            raise HubError("bad_request", "the body must be a JSON object")
        name = check_name(body.get("name"))
        wanted = body.get("seat")
        if room.over:
            raise HubError("game_over", "the game is over")
        if wanted is None:
            free = [s for s in SEATS if not room.seats[s].taken]
            if not free:
                raise HubError("room_full", "no seat is free")
            wanted = free[0]
        elif wanted not in SEATS:
            raise HubError("bad_request", "seat is 'A' or 'B'")
        seat = room.seats[wanted]
        if seat.taken:
            raise HubError("seat_taken", f"seat {wanted} is taken")
        if room.joins >= self.settings.max_joins:
            raise HubError("too_many_joins", "this room's seats have been taken too often")
        room.joins += 1
        token, seat.token_hash = new_token()
        seat.name = name
        await self._seat_event(room, wanted, {"kind": "join", "seat": wanted, "name": name})
        log.info("room %s: seat %s taken", room.id, wanted)
        self._continue_play(room)
        return {"room": room.summary(), "seat": wanted, "token": token}

    async def leave(self, room_id: str, token: str | None) -> dict:
        room = self.room(room_id)
        if not token:
            raise HubError("missing_token", "the seat's token is needed")
        seat_name = room.seat_of(token)
        if seat_name is None:
            raise HubError("bad_token", "that token holds no seat of this room")
        room.seats[seat_name].vacate()
        room.queue = deque(q for q in room.queue if q.seat != seat_name)
        # The seat's connections lose it now, not when their close is sent:
        # a socket that does not read may hold its close back for long.
        for conn in list(room.conns[seat_name]):
            self.detach(conn)
            conn.seat = None
            conn.close(1000, "seat given up")
        await self._seat_event(room, seat_name, {"kind": "leave", "seat": seat_name})
        log.info("room %s: seat %s given up", room.id, seat_name)
        return {"room": room.summary()}

    async def _seat_event(self, room: Room, seat_name: str, data: dict) -> None:
        room.version += 1
        row = EventRow(room.id, room.version, data["kind"], data, room.state, time.time())
        room.last_activity = row.at
        room.playing_since = time.monotonic()
        if data["kind"] == "join":
            room.seats[seat_name].away_since = room.playing_since  # until it connects
        self._watch_away(room)
        seat_row = room.seats[seat_name].row(room.id, seat_name)
        changes: list[Change] = [seat_row, row]
        if self._turn_clock(room):  # a seat taken starts the game, a seat given up stops it
            changes.append(room.row)
        future = self.committer.waiter()
        self.committer.add(changes, partial(self._publish, room, [row], None, None, future), future)
        await future

    async def _commit(self, changes: list[Change]) -> None:
        future = self.committer.waiter()
        self.committer.add(changes, partial(future.set_result, None), future)
        await future
