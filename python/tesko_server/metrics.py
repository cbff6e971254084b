"""The server's Prometheus metrics, in a registry of its own."""

from __future__ import annotations

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram

registry = CollectorRegistry()

rooms = Gauge("tesko_rooms", "Rooms held, by status", ["status"], registry=registry)
connections = Gauge(
    "tesko_connections", "Open room connections, by role", ["role"], registry=registry
)
moves = Counter("tesko_moves", "Moves applied, by who made them", ["by"], registry=registry)
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
