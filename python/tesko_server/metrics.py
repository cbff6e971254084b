"""The server's Prometheus metrics, in a registry of its own, and the
watch on its event loop's stalls and the garbage collector's pauses."""

from __future__ import annotations

import asyncio
import gc
import time

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram

registry = CollectorRegistry()

rooms = Gauge("tesko_rooms", "Rooms held, by status", ["status"], registry=registry)
connections = Gauge(
    "tesko_connections", "Open room connections, by role", ["role"], registry=registry
)
moves = Counter("tesko_moves", "Moves applied, by who made them", ["by"], registry=registry)
human_moves = moves.labels("human")
engine_moves = moves.labels("engine")
refusals = Counter("tesko_refusals", "Moves refused, by code", ["code"], registry=registry)
bot_think = Histogram(
    "tesko_bot_think_seconds",
    "Engine seats' think time per move",
    buckets=(0.0001, 0.0003, 0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1, 3, 10, 30),
    registry=registry,
)
worker_restarts = Counter(
    "tesko_worker_restarts", "Engine workers started again after they ended", registry=registry
)
commits = Histogram(
    "tesko_store_commit_seconds",
    "Time of one group commit to the store",
    buckets=(0.00005, 0.0001, 0.0003, 0.001, 0.003, 0.01, 0.03, 0.1),
    registry=registry,
)
move_seconds = Histogram(
    "tesko_move_seconds",
    "From a move's arrival to its acknowledgement being queued (engine and store included)",
    buckets=(0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5),
    registry=registry,
)
engine_worker_pid = Gauge(
    "tesko_engine_worker_pid",
    "Each engine worker's process id (0 while it is not running)",
    ["worker"],
    registry=registry,
)
rooms_taken = Counter(
    "tesko_rooms_taken",
    "Rooms this node took from a shared store when asked about them",
    registry=registry,
)
rooms_lost = Counter(
    "tesko_rooms_lost",
    "Rooms another node took from this one: dropped, their sockets told to reconnect",
    registry=registry,
)
unreadable_rooms = Gauge(
    "tesko_store_unreadable_rooms",
    "Rooms the store holds but could not read at start: skipped, kept, named in the log",
    registry=registry,
)
store_log_bytes = Gauge(
    "tesko_store_log_bytes",
    "Size of the store's write-ahead log file after the last checkpoint",
    registry=registry,
)

loop_stalls = Histogram(
    "tesko_loop_stall_seconds",
    "Event loop stalls over 5 ms: how late a timer due every 5 ms ran",
    buckets=(0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2),
    registry=registry,
)
gc_pauses = Histogram(
    "tesko_gc_pause_seconds",
    "The garbage collector's passes over its older generations, each a stall of the loop",
    ["generation"],
    buckets=(0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2),
    registry=registry,
)

STALL = 0.005  # a timer this late (seconds) counts as a stall of the loop
TICK = 0.005  # how often the loop is looked at


class LoopWatch:
    """Counts the event loop's stalls (a timer due every `TICK` seconds that
    runs more than `STALL` late: the loop was held by one long step, or by
    more work than it could do) and times the collector's passes over its
    older generations. One timer and one callback per pass: cheap enough to
    stay on."""

    def __init__(self) -> None:
        self.handle: asyncio.TimerHandle | None = None
        self.due = 0.0
        self.gc_started = 0.0
        self.by_generation = {g: gc_pauses.labels(str(g)) for g in (1, 2)}

    def start(self) -> None:
        self._arm()
        if self._on_gc not in gc.callbacks:
            gc.callbacks.append(self._on_gc)

    def stop(self) -> None:
        if self.handle is not None:
            self.handle.cancel()
            self.handle = None
        if self._on_gc in gc.callbacks:
            gc.callbacks.remove(self._on_gc)

    def _arm(self) -> None:
        self.due = time.perf_counter() + TICK
        self.handle = asyncio.get_running_loop().call_later(TICK, self._tick)

    def _tick(self) -> None:
        late = time.perf_counter() - self.due
        if late > STALL:
            loop_stalls.observe(late)
        self._arm()

    def _on_gc(self, phase: str, info: dict) -> None:
        generation = info["generation"]
        if generation == 0:
            return
        if phase == "start":
            self.gc_started = time.perf_counter()
        elif self.gc_started:
            self.by_generation[generation].observe(time.perf_counter() - self.gc_started)
            self.gc_started = 0.0
