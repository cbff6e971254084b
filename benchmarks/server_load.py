"""The load processes of `bench_server.py`: scripted clients of tesko-server
playing random legal moves, held to a pace when told to, and a watch on
each process's own stalls (its event loop's and its garbage collector's),
so that the benchmark can tell the server's delays from its own.

Each load process runs its share of the rooms on its own event loop until
`stop_at`, then sends its records to the parent (`load_process`). Every time
here is `time.monotonic()`, which all processes of the machine share.
"""

from __future__ import annotations

import asyncio
import gc
import random
import time
from collections import deque
from typing import Any

from tesko_server.client import Closed, Lobby, LobbyError, MoveRefused, RoomClient
from websockets import WebSocketException

STALL = 0.005  # a timer this late (seconds) is a stall of the load process's loop
TICK = 0.005


class Shared:
    """What the parent tells the load processes while they run."""

    def __init__(self, ctx: Any) -> None:
        self.pace = ctx.RawValue("d", 0.0)  # moves per second for each load process; 0: none
        self.restarting = ctx.RawValue("b", 0)


class _Discard(list):
    def append(self, item: object) -> None:
        pass


class LoadClient(RoomClient):
    """A room client that keeps only what it plays by: not every message
    received (which the tests read, and which here only fed the load
    process's garbage collector)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.messages = _Discard()


class Pacer:
    """Releases the moves waiting for their turn one at a time, at the pace
    the parent sets. A release that comes late (the process was held up)
    does not make up for the lost time by releasing a burst: at most
    `SLACK` seconds' worth of moves go out at once."""

    SLACK = 0.001

    def __init__(self, shared: Shared) -> None:
        self.shared = shared
        self.waiting: deque[asyncio.Future[None]] = deque()
        self.wake: asyncio.Future[None] | None = None
        self.next = 0.0

    async def wait(self) -> None:
        if not self.shared.pace.value:
            return
        future = asyncio.get_running_loop().create_future()
        self.waiting.append(future)
        if self.wake is not None and not self.wake.done():
            self.wake.set_result(None)
        await future

    async def run(self) -> None:
        loop = asyncio.get_running_loop()
        while True:
            while not self.waiting:
                self.wake = loop.create_future()
                await self.wake
            pace = self.shared.pace.value
            if pace:
                now = time.monotonic()
                if self.next > now:
                    await asyncio.sleep(self.next - now)
            future = self.waiting.popleft()
            if not future.done():  # else its client was stopped
                future.set_result(None)
            if pace:
                self.next = max(self.next + 1 / pace, time.monotonic() - self.SLACK)


class LagWatch:
    """This process's own stalls over `STALL` (as `(end, seconds)`) and its
    garbage collector's passes over `STALL` (as `(end, seconds, generation)`)."""

    def __init__(self) -> None:
        self.stalls: list[tuple[float, float]] = []
        self.gc_passes: list[tuple[float, float, int]] = []
        self.due = 0.0
        self.gc_started = 0.0

    def start(self) -> None:
        self._arm()
        gc.callbacks.append(self._on_gc)

    def _arm(self) -> None:
        self.due = time.monotonic() + TICK
        asyncio.get_running_loop().call_later(TICK, self._tick)

    def _tick(self) -> None:
        now = time.monotonic()
        if now - self.due > STALL:
            self.stalls.append((now, now - self.due))
        self._arm()

    def _on_gc(self, phase: str, info: dict) -> None:
        now = time.monotonic()
        if phase == "start":
            self.gc_started = now
        elif now - self.gc_started > STALL:
            self.gc_passes.append((now, now - self.gc_started, info["generation"]))


class Load:
    """The clients of one load process. Every acknowledged move and round
    trip is kept with the time it ended; the parent cuts the phases."""

    def __init__(self, base: str, level: int, seed: int, shared: Shared) -> None:
        self.lobby = Lobby(base)
        self.base = base
        self.level = level
        self.heavy = (12, 30.0)  # level and think time of the heavy rooms' engines
        self.rng = random.Random(seed)
        self.shared = shared
        self.pacer = Pacer(shared)
        self.acked: list[tuple[float, str, int, str, str]] = []  # when, room, version, seat, move
        self.trips: list[tuple[float, str, float]] = []  # sent, kind, round trip
        self.errors: dict[str, int] = {}
        self.games: list[float] = []
        self.stop_at = 0.0

    def error(self, what: str) -> None:
        if self.shared.restarting.value:
            what += " (server down, retried)"
        self.errors[what] = self.errors.get(what, 0) + 1

    async def seat(self, client: RoomClient, kind: str) -> None:
        # A heavy room's engine may wait minutes for its search's turn.
        wait = 600 if kind == "heavy rooms" else 60
        while time.monotonic() < self.stop_at and await client.wait_for_turn(timeout=wait):
            move = self.rng.choice(client.legal_moves)
            await self.pacer.wait()
            sent = time.monotonic()
            try:
                ack = await client.play(move, timeout=60)
            except MoveRefused as err:
                self.error(f"refused {err.code}")
                continue
            except asyncio.CancelledError:
                # Still unanswered when the load stops: it counts with the
                # time it has waited (a search on a worker's main thread
                # would hold it that long), not as if never sent.
                self.trips.append((sent, kind, time.monotonic() - sent))
                raise
            now = time.monotonic()
            self.trips.append((sent, kind, client.round_trip))
            if not ack.get("duplicate"):
                self.acked.append((now, client.room_id, ack["version"], client.seat or "", move))

    async def rematch(self, clients: list[RoomClient]) -> list[RoomClient]:
        """Every seat asks for a rematch; the same seats (and tokens) then
        play in the room the server makes, on new connections."""
        await asyncio.gather(*(c.rematch() for c in clients))
        room = await clients[0].wait_for_rematch()
        await asyncio.gather(*(c.close() for c in clients))
        fresh = [LoadClient(self.base, room, token=c.token) for c in clients]
        for c in fresh:
            await c.connect()
        return fresh

    async def play_games(self, clients: list[RoomClient], kinds: list[str]) -> None:
        try:
            for c in clients:
                await c.connect()
            while True:
                await asyncio.gather(*(self.seat(c, k) for c, k in zip(clients, kinds)))
                if time.monotonic() >= self.stop_at or not clients[0].over:
                    return
                self.games.append(time.monotonic())
                clients = await self.rematch(clients)
        finally:
            await asyncio.gather(*(c.close() for c in clients), return_exceptions=True)

    async def people_room(self) -> None:
        while time.monotonic() < self.stop_at:
            try:
                made = await self.lobby.create(join={"seat": "A", "name": "a"})
                room = made["room"]["id"]
                joined = await self.lobby.join(room, "b")
                a = LoadClient(self.base, room, token=made["token"])
                b = LoadClient(self.base, room, token=joined["token"])
                await self.play_games([a, b], ["people", "people"])
            except (OSError, asyncio.TimeoutError, Closed, LobbyError, WebSocketException) as err:
                self.failed(err)
                await asyncio.sleep(0.2)

    async def engine_room(self, heavy: bool = False) -> None:
        level, think = self.heavy if heavy else (self.level, 2.0)
        while time.monotonic() < self.stop_at:
            try:
                made = await self.lobby.create(
                    seats={"B": {"kind": "engine", "level": level, "think_time": think}},
                    join={"seat": "A", "name": "a"},
                )
                me = LoadClient(self.base, made["room"]["id"], token=made["token"])
                await self.play_games([me], ["heavy rooms" if heavy else "engine rooms"])
            except (OSError, asyncio.TimeoutError, Closed, LobbyError, WebSocketException) as err:
                self.failed(err)
                await asyncio.sleep(0.2)

    def failed(self, err: BaseException) -> None:
        if isinstance(err, LobbyError):
            self.error(f"{type(err).__name__} {err.code}: {err.message}")
        else:
            self.error(type(err).__name__)


def load_process(
    conn: Any,
    base: str,
    level: int,
    seed: int,
    rooms: int,
    engine_rooms: int,
    stop_at: float,
    shared: Shared,
    heavy_rooms: int = 0,
    heavy: tuple[int, float] = (12, 30.0),
) -> None:
    """One load process: its share of the rooms, until `stop_at`; then its
    records go back to the parent."""
    try:
        import uvloop

        uvloop.install()
    except ImportError:
        pass

    # What exists now is never garbage; the young generation is collected
    # less often. The clients keep little, so the older ones stay small.
    gc.collect()
    gc.freeze()
    gc.set_threshold(10_000, 50, 1000)
    watch = LagWatch()

    async def main() -> Load:
        load = Load(base, level, seed, shared)
        load.stop_at = stop_at
        load.heavy = heavy
        watch.start()
        pacer = asyncio.ensure_future(load.pacer.run())
        async with load.lobby:  # the lobby calls share kept-alive connections
            tasks = [asyncio.ensure_future(load.people_room()) for _ in range(rooms)]
            tasks += [asyncio.ensure_future(load.engine_room()) for _ in range(engine_rooms)]
            tasks += [
                asyncio.ensure_future(load.engine_room(heavy=True)) for _ in range(heavy_rooms)
            ]
            await asyncio.sleep(max(0.0, stop_at - time.monotonic()))
            # Let the moves in flight come back, then stop the clients (a heavy
            # room's client waits for a search, and is cut).
            done, pending = await asyncio.wait(tasks, timeout=5 if heavy_rooms else 30)
            for task in pending:
                task.cancel()
            await asyncio.gather(*pending, return_exceptions=True)
        pacer.cancel()
        return load

    load = asyncio.run(main())
    conn.send((load.acked, load.trips, load.errors, load.games, watch.stalls, watch.gc_passes))
    conn.close()
