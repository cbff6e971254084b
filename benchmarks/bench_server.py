"""Load benchmark of tesko-server: many rooms at once, and nothing lost.

Starts `tesko-server` on 127.0.0.1 on a free port with a fresh store, then
runs, for a bounded time:

- R rooms of two clients that play random legal moves as fast as their
  turns come (a finished game is followed by a rematch: the server makes a
  new room where the same tokens hold the same seats);
- B rooms of one such client against an engine seat (level 5 by default);
- H heavy rooms (`--heavy-rooms`, none by default): one such client against
  an engine seat at level 12 with a 30 s think time (`--heavy-level`,
  `--heavy-think`), all from the same address, so that the server's people
  play beside long searches; their people's round trips are counted with
  the engine rooms'.

The clients run in `--processes` load processes (two by default, in
`server_load.py`), each with its own event loop, so that no single Python
process's queue of clients adds to every round trip; this process only
starts them (`start_load`, against any base address), cuts the phases by
the time stamps they record, sets the pace and reads the servers' CPU and
metrics (`Sample`, summed over every server given to `run`).
The round trip is measured by the clients, so it includes the wait for a
core on the machine they share with the server; it counts in the phase in
which its move was sent, and a move still unanswered when the load stops
counts with the time it waited; the server's part (from a move's arrival to its
acknowledgement, engine and store included) is read from its
`tesko_move_seconds` histogram and shown by bucket.

It runs two phases on the same clients: saturated (every client moves the
moment its turn comes: acknowledged moves per second) and then paced (all
clients together held to `--pace` moves per second, or 70% of the
saturated rate if that is lower: the round trip at a load the server
keeps up with). For each it prints the move round trip (from sending a move
to its acknowledgement) at p50/p95/p99 for the people-only rooms and for
the people in engine rooms, the CPU per move of the server, its engine
workers and the load processes, the CPU other processes of the machine took,
and beside the slowest round trips (at or over p99) the stalls of the
server's event loop (its /metrics) and of the load processes' own loops and
collectors, with how many of those round trips had a stall of their own load
process in them; then the errors, the store's write-ahead log (its
size at the end of the saturated phase and the largest seen) and, after
stopping the server, `lost: N`: the acknowledged moves that the store does
not hold.

`--kill` runs the saturated phase only and sends SIGKILL to the server
halfway through it, starts it again on the same store and port, and lets
the clients reconnect and go on; `lost:` then counts against the store as
the second server left it.

`--cluster N` runs the same load through HAProxy against N nodes on a
PostgreSQL of their own (cluster_load.py, with tesko_server.cluster's
`Cluster`): the CPU and metrics rows are summed over the nodes, the
write-ahead log row gives way to PostgreSQL's CPU per move (its processes'
CPU from /proc), and `lost:` counts against the PostgreSQL store. With
`--kill` the first node is killed halfway and started again; its rooms go
to the other nodes meanwhile and come back to it.

    python3 -m pip install ".[server]"
    python3 benchmarks/bench_server.py [--rooms R] [--engine-rooms B] [--seconds S]
                                       [--workers N] [--level L] [--processes P] [--kill]
                                       [--heavy-rooms H] [--heavy-level L] [--heavy-think T]
                                       [--cluster N]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from server_load import Shared, load_process


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_options(workers: int) -> list[str]:
    """The options of a server under this load (one on SQLite, or each node
    of a cluster)."""
    return [
        "--workers",
        str(workers),
        "--max-rooms-per-address",
        "100000",
        "--max-rooms",
        "100000",
        # Every load process is on 127.0.0.1: one address.
        "--create-rate",
        "1000000",
        "--lobby-rate",
        "1000000",
        "--max-sockets-per-address",
        "100000",
        # Scripted clients move the moment their turn comes, far faster
        # than people: the per-connection rate limit is not under test.
        "--rate",
        "100000",
    ]


class Server:
    def __init__(self, folder: Path, port: int, workers: int) -> None:
        self.db = folder / "bench.db"
        self.log = folder / "server.log"
        self.port = port
        self.base = f"http://127.0.0.1:{port}"
        self.command = [
            sys.executable,
            "-m",
            "tesko_server",
            "--port",
            str(port),
            "--db",
            str(self.db),
            *server_options(workers),
        ]
        self.process: subprocess.Popen[bytes] | None = None

    def start(self, timeout: float = 60) -> None:
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(self.command, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise SystemExit(f"the server ended at start; see {self.log}")
            try:
                with urllib.request.urlopen(self.base + "/healthz", timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise SystemExit(f"the server did not start within {timeout} s; see {self.log}")

    def kill(self) -> None:
        assert self.process is not None
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def own_cpu(pid: int) -> float:
    """CPU seconds a process has used so far (nan without /proc)."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return float("nan")


def children(pid: int) -> list[int]:
    try:
        return [int(c) for c in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except (OSError, ValueError):
        return []


def machine_busy() -> float:
    """CPU seconds the whole machine has been busy (every core, every process)."""
    fields = [int(x) for x in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = fields[3] + fields[4]
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def scrape(base: str) -> dict[str, float]:
    """Every sample of a server's /metrics, by name and labels."""
    with urllib.request.urlopen(base + "/metrics", timeout=10) as answer:
        text = answer.read().decode()
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            out[name] = float(value)
    return out


@dataclass
class Sample:
    """What the benchmark reads at each end of a phase: CPU seconds used so
    far by the servers' processes, their engine workers, the load processes
    and the whole machine, and the servers' metrics (summed over servers)."""

    when: float
    server: float
    workers: float
    load: float
    busy: float
    metrics: dict[str, float]

    @staticmethod
    def take(servers: list[Server], loads: list[int]) -> Sample:
        pids = [s.process.pid for s in servers if s.process is not None]
        metrics: dict[str, float] = {}
        for server in servers:
            for key, value in scrape(server.base).items():
                metrics[key] = metrics.get(key, 0.0) + value
        return Sample(
            when=time.monotonic(),
            server=sum(own_cpu(p) for p in pids),
            workers=sum(own_cpu(c) for p in pids for c in children(p)),
            load=sum(own_cpu(p) for p in loads),
            busy=machine_busy(),
            metrics=metrics,
        )


@dataclass
class Phase:
    name: str
    start: Sample
    end: Sample

    def metric(self, key: str) -> float:
        return self.end.metrics.get(key, 0.0) - self.start.metrics.get(key, 0.0)

    def server_side(self) -> str:
        """p50 / p95 / p99 of the server's own part of the round trip (its
        `tesko_move_seconds` histogram), as the bucket each falls in."""
        prefix = 'tesko_move_seconds_bucket{le="'
        counts = {
            float(key[len(prefix) : -2]): self.metric(key)
            for key in self.end.metrics
            if key.startswith(prefix)
        }
        total = counts.get(float("inf"), 0)
        if not total:
            return "-"
        shown = []
        for q in (0.5, 0.95, 0.99):
            bound = min(b for b, c in counts.items() if c >= q * total)
            shown.append("> 5 s" if bound == float("inf") else f"≤ {bound * 1000:g}")
        return " / ".join(shown) + " ms"


def percentile(values: list[float], q: float) -> float:
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def lost_moves(db: Path, acked: list[tuple[float, str, int, str, str]]) -> int:
    store = sqlite3.connect(db)
    held = set()
    for room, version, data in store.execute(
        "SELECT room, version, data FROM events WHERE kind='turn'"
    ):
        event = json.loads(data)
        held.add((room, version, event["player"], event["move"]))
    store.close()
    return sum(1 for entry in acked if entry[1:] not in held)


def split(total: int, parts: int) -> list[int]:
    return [total // parts + (1 if i < total % parts else 0) for i in range(parts)]


class Results:
    """The load processes' records, each round trip and stall with the
    index of the process it was in."""

    def __init__(self) -> None:
        self.acked: list[tuple[float, str, int, str, str]] = []
        self.trips: list[tuple[float, str, float, int]] = []  # sent, kind, trip, process
        self.errors: dict[str, int] = {}
        self.games: list[float] = []
        self.stalls: list[tuple[float, float, int]] = []  # end, seconds, process
        self.gc_passes: list[
            tuple[float, float, int, int]
        ] = []  # end, seconds, generation, process
        self.phases: list[Phase] = []
        self.pace = 0.0
        self.log_saturated = 0
        self.log_largest = 0

    def add(self, index: int, records: tuple) -> None:
        acked, trips, errors, games, stalls, gc_passes = records
        self.acked += acked
        self.trips += [(sent, kind, trip, index) for sent, kind, trip in trips]
        self.games += games
        self.stalls += [(end, seconds, index) for end, seconds in stalls]
        self.gc_passes += [(end, seconds, gen, index) for end, seconds, gen in gc_passes]
        for k, v in errors.items():
            self.errors[k] = self.errors.get(k, 0) + v

    def moves(self, start: float, end: float) -> int:
        return sum(1 for entry in self.acked if start <= entry[0] < end)

    def round_trips(self, start: float, end: float) -> dict[str, list[float]]:
        out: dict[str, list[float]] = {"people": [], "engine rooms": [], "heavy rooms": []}
        for when, kind, trip, _ in self.trips:
            if start <= when < end:
                out[kind].append(trip)
        return out


def log_size(db: Path) -> int:
    """The store's write-ahead log file, in bytes (0 when there is none)."""
    try:
        return os.path.getsize(str(db) + "-wal")
    except OSError:
        return 0


def watch_log(db: Path, until: float, largest: int = 0) -> int:
    """Sleep until `until`, looking at the log's size every 0.1 s; the largest seen."""
    while True:
        largest = max(largest, log_size(db))
        left = until - time.monotonic()
        if left <= 0:
            return largest
        time.sleep(min(0.1, left))


def start_load(
    args: argparse.Namespace, base: str, stop_at: float, shared: Shared, ctx: Any
) -> list[tuple[Any, Any]]:
    """The load processes, playing against `base` until `stop_at`."""
    processes = []
    for i, (rooms, engine_rooms, heavy_rooms) in enumerate(
        zip(
            split(args.rooms, args.processes),
            split(args.engine_rooms, args.processes),
            split(args.heavy_rooms, args.processes),
        )
    ):
        parent, child = ctx.Pipe(duplex=False)
        process = ctx.Process(
            target=load_process,
            args=(
                child,
                base,
                args.level,
                args.seed + i,
                rooms,
                engine_rooms,
                stop_at,
                shared,
                heavy_rooms,
                (args.heavy_level, args.heavy_think),
            ),
        )
        process.start()
        child.close()
        processes.append((process, parent))
    return processes


def run(args: argparse.Namespace, servers: list[Server], base: str) -> Results:
    """The load processes play against `base` (served by `servers`) while
    this process cuts the phases, sets the pace, reads the servers' CPU and
    metrics and (with --kill) kills and restarts the first server."""
    ctx = multiprocessing.get_context("spawn")
    shared = Shared(ctx)
    paced = 0 if args.kill else args.seconds
    begin = time.monotonic()
    stop_at = begin + args.warmup + args.seconds + (paced + 1 if paced else 0) + 5
    processes = start_load(args, base, stop_at, shared, ctx)
    loads = [p.pid for p, _ in processes]
    db = servers[0].db
    time.sleep(max(0.0, begin + args.warmup + 2 - time.monotonic()))  # (+2: the processes start)
    out = Results()
    # Saturated: every client moves as soon as its turn comes.
    first = Sample.take(servers, loads)
    if args.kill:
        time.sleep(args.seconds / 2)
        servers[0].kill()
        shared.restarting.value = 1
        print("killed the server halfway through the saturated phase; starting it again")
        began = time.monotonic()
        servers[0].start()
        print(f"the server answers again after {time.monotonic() - began:.1f} s")
        time.sleep(1)  # clients come back, each after its own pause
        shared.restarting.value = 0
    out.log_largest = watch_log(db, first.when + args.seconds)
    out.log_saturated = log_size(db)
    if args.kill:
        out.phases.append(Phase("saturated", first, Sample(time.monotonic(), 0, 0, 0, 0, {})))
    else:
        saturated = Phase("saturated", first, Sample.take(servers, loads))
        out.phases.append(saturated)
        # Paced: the same clients, held to a fixed rate below saturation. The
        # processes report only at the end, so the rate is the servers' own
        # count of people's moves (their metrics) over the saturated phase.
        counted = saturated.metric('tesko_move_seconds_bucket{le="+Inf"}')
        rate = counted / (saturated.end.when - saturated.start.when)
        out.pace = min(args.pace, 0.7 * rate)
        shared.pace.value = out.pace / args.processes
        time.sleep(1)
        start = Sample.take(servers, loads)
        out.log_largest = watch_log(db, start.when + args.seconds, out.log_largest)
        out.phases.append(Phase("paced", start, Sample.take(servers, loads)))
    for index, (process, conn) in enumerate(processes):
        out.add(index, conn.recv())
        process.join()
    return out


def commit_row(phase: Phase) -> str:
    """The servers' group commits in a phase: how many a second, the moves
    (people's and engines') each carried on average, and their mean time."""
    commits = phase.metric("tesko_store_commit_seconds_count")
    moves = sum(phase.metric(f'tesko_moves_total{{by="{by}"}}') for by in ("human", "engine"))
    seconds = phase.end.when - phase.start.when
    mean = phase.metric("tesko_store_commit_seconds_sum") / max(1, commits)
    return (
        f"| store commits, {phase.name}: per second / moves per commit / mean time "
        f"| {commits / seconds:,.0f} / {moves / max(1, commits):.1f} / {mean * 1000:.2f} ms |"
    )


def taken_row(phase: Phase) -> str:
    """The rooms the nodes took from the store in a phase: each one changed
    node (made on one, asked for on another, or moved by a kill), and had
    its board rebuilt on an engine worker."""
    taken = phase.metric("tesko_rooms_taken_total")
    return f"| rooms a node took from the store, {phase.name} | {taken:,.0f} |"


def trips_rows(trips: dict[str, list[float]], label: str) -> None:
    # The clients wait for each answer, so a client held up makes few moves
    # and weighs little in the percentiles: the worst round trip and the
    # count over a second show a worker held up by a search.
    for kind, values in trips.items():
        if values:
            p50, p95, p99 = (percentile(values, q) * 1000 for q in (0.5, 0.95, 0.99))
            slow = sum(1 for v in values if v > 1)
            print(
                f"| round trip, {kind}, {label}: p50 / p95 / p99 / max (over 1 s) "
                f"| {p50:.1f} / {p95:.1f} / {p99:.1f} / {max(values) * 1000:.0f} ms ({slow}) |"
            )


def phase_rows(load: Results, phase: Phase) -> None:
    """A measured phase's rows: rate, round trips, the server's part, CPU,
    and the stalls beside the slowest round trips."""
    start, end = phase.start.when, phase.end.when
    label = phase.name
    moves = load.moves(start, end)
    held = f" (held to {load.pace:,.0f})" if label == "paced" else ""
    print(f"| acknowledged moves/s, {label}{held} | {moves / (end - start):,.0f} |")
    trips = load.round_trips(start, end)
    trips_rows(trips, label)
    print(
        f"| server's part (move received to ack sent), {label}: p50 / p95 / p99 "
        f"| {phase.server_side()} |"
    )
    cpu = [
        (getattr(phase.end, k) - getattr(phase.start, k)) / max(1, moves) * 1e6
        for k in ("server", "workers", "load")
    ]
    print(
        f"| CPU per move, {label}: server process / engine workers / load processes "
        f"| {cpu[0]:.0f} / {cpu[1]:.0f} / {cpu[2]:.0f} µs |"
    )
    ours = sum(
        getattr(phase.end, k) - getattr(phase.start, k) for k in ("server", "workers", "load")
    )
    others = (phase.end.busy - phase.start.busy - ours) / (end - start)
    print(f"| CPU of other processes on the machine, {label} | {others * 100:.0f}% of a core |")
    stalls = phase.metric("tesko_loop_stall_seconds_count")
    stalled = phase.metric("tesko_loop_stall_seconds_sum")
    passes = []
    for g in (1, 2):
        labels = '{generation="' + str(g) + '"}'
        count = phase.metric("tesko_gc_pause_seconds_count" + labels)
        total = phase.metric("tesko_gc_pause_seconds_sum" + labels)
        passes.append(f"{count:.0f} passes of generation {g}, {total * 1000:.0f} ms")
    print(
        f"| server's loop, {label}: stalls over 5 ms; its collector "
        f"| {stalls:.0f}, {stalled * 1000:.0f} ms in all; {'; '.join(passes)} |"
    )
    mine = [(e, s, i) for e, s, i in load.stalls if start <= e < end]
    collected = [(e, s, i) for e, s, _, i in load.gc_passes if start <= e < end]
    longest = max((s for _, s, _ in mine), default=0.0)
    print(
        f"| load processes' loops, {label}: stalls over 5 ms (longest); collector passes over 5 ms "
        f"| {len(mine)} ({longest * 1000:.0f} ms); {len(collected)} |"
    )
    people = trips["people"] or trips["engine rooms"]
    if people:
        p99 = percentile(people, 0.99)
        slow = [
            (sent, trip, i)
            for sent, kind, trip, i in load.trips
            if start <= sent < end and kind in ("people", "engine rooms") and trip >= p99
        ]
        in_stall = sum(
            1
            for sent, trip, i in slow
            if any(j == i and e - s < sent + trip and e > sent for e, s, j in mine)
        )
        print(
            f"| round trips at or over p99 ({p99 * 1000:.1f} ms), {label}: "
            f"of them with a stall of their own load process in them | {len(slow)}: {in_stall} |"
        )


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rooms", type=int, default=100, help="rooms of two scripted people (100)")
    p.add_argument("--engine-rooms", type=int, default=50, help="rooms against the engine (50)")
    p.add_argument("--level", type=int, default=5, help="the engine seats' level (5)")
    p.add_argument("--seconds", type=float, default=20, help="time of each measured phase (20)")
    p.add_argument(
        "--pace",
        type=float,
        default=1000,
        help="moves/s of the paced phase (1000), at most 70%% of the saturated rate",
    )
    p.add_argument("--warmup", type=float, default=3, help="unmeasured time first (3)")
    p.add_argument("--workers", type=int, default=2, help="engine workers (2)")
    p.add_argument(
        "--heavy-rooms",
        type=int,
        default=0,
        help="rooms against a long-thinking engine seat, beside the others (0)",
    )
    p.add_argument("--heavy-level", type=int, default=12, help="the heavy seats' level (12)")
    p.add_argument(
        "--heavy-think", type=float, default=30, help="the heavy seats' think time (30 s)"
    )
    p.add_argument("--kill", action="store_true", help="SIGKILL the server halfway through")
    p.add_argument(
        "--cluster",
        type=int,
        default=0,
        metavar="N",
        help="N nodes on PostgreSQL behind HAProxy (tesko_server.cluster) instead of one "
        "server on SQLite; with --kill the first node is killed and started again",
    )
    p.add_argument(
        "--processes", type=int, default=2, help="load processes the clients are spread over (2)"
    )
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    cluster = None
    with tempfile.TemporaryDirectory(
        prefix="tesko-bench-", dir=os.environ.get("TESKO_BENCH_DIR")
    ) as folder:
        if args.cluster:
            from cluster_load import BenchCluster

            log = Path(folder) / "nodes.log"
            cluster = BenchCluster(args.cluster, server_options(args.workers), log).start()
            try:
                load = run(args, list(cluster.servers), cluster.base)
            except BaseException:
                cluster.stop()
                raise
            lost = cluster.finish(load.acked)
        else:
            server = Server(Path(folder), free_port(), args.workers)
            log = server.log
            server.start()
            try:
                load = run(args, [server], server.base)
            finally:
                server.stop()
            lost = lost_moves(server.db, load.acked)
        problems = [
            line
            for line in log.read_text().splitlines()
            if " ERROR " in line or " CRITICAL " in line
        ]
        if problems:
            print(f"the server logged {len(problems)} errors; the first ones:")
            print("\n".join(problems[:10]))
    print(
        f"rooms: {args.rooms} of two people, {args.engine_rooms} against the engine "
        f"(level {args.level})"
        + (
            f", {args.heavy_rooms} against the engine at level {args.heavy_level} "
            f"thinking {args.heavy_think:g} s"
            if args.heavy_rooms
            else ""
        )
        + (
            f"; {args.cluster} node{'s' if args.cluster > 1 else ''} on PostgreSQL behind "
            f"HAProxy, {args.workers} engine workers each"
            if args.cluster
            else f"; {args.workers} engine workers"
        )
        + f"; {args.processes} load processes; "
        f"{args.seconds:g} s saturated"
        + (" with a kill -9 and restart halfway" if args.kill else f", {args.seconds:g} s paced")
    )
    print()
    print("| measure | value |")
    print("|---|---:|")
    if args.kill:
        start, end = load.phases[0].start.when, load.phases[0].end.when
        print(
            f"| acknowledged moves/s, saturated | {load.moves(start, end) / (end - start):,.0f} |"
        )
        trips_rows(load.round_trips(start, end), "saturated")
    else:
        for phase in load.phases:
            phase_rows(load, phase)
    if cluster is not None:
        for phase in load.phases:
            start, end = phase.start.when, phase.end.when
            cpu = cluster.postgres_cpu(start, end) / max(1, load.moves(start, end))
            print(f"| PostgreSQL's CPU per move, {phase.name} | {cpu * 1e6:.0f} µs |")
            if phase.end.metrics:  # (not read after a kill)
                print(commit_row(phase))
                print(taken_row(phase))
    else:
        mib = 1024 * 1024
        print(
            "| write-ahead log: at the end of the saturated phase / largest seen "
            f"| {load.log_saturated / mib:.1f} / {load.log_largest / mib:.1f} MiB |"
        )
    print(f"| games finished | {len(load.games)} |")
    errors = ", ".join(f"{k} {v}" for k, v in sorted(load.errors.items())) or "0"
    print(f"| errors | {errors} |")
    print()
    print(f"lost: {lost}")
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
