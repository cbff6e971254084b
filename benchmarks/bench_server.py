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

The clients run in `--processes` load processes (two by default), each with
its own event loop, so that no single Python process's queue of clients
adds to every round trip; this process only starts them, cuts the phases by
the time stamps they record, sets the pace and reads the server's metrics.
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
the people in engine rooms; then the errors, the store's write-ahead log (its
size at the end of the saturated phase and the largest seen) and, after
stopping the server, `lost: N`: the acknowledged moves that the store does
not hold.

`--kill` runs the saturated phase only and sends SIGKILL to the server
halfway through it, starts it again on the same store and port, and lets
the clients reconnect and go on; `lost:` then counts against the store as
the second server left it.

    python3 -m pip install ".[server]"
    python3 benchmarks/bench_server.py [--rooms R] [--engine-rooms B] [--seconds S]
                                       [--workers N] [--level L] [--processes P] [--kill]
                                       [--heavy-rooms H] [--heavy-level L] [--heavy-think T]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import multiprocessing
import os
import random
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path
from typing import Any

from tesko_server.client import Closed, Lobby, LobbyError, MoveRefused, RoomClient
from websockets import WebSocketException


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def cpu_seconds(pid: int) -> tuple[float, float]:
    """CPU seconds used so far by a process and by its children (the engine
    workers), read from /proc; (nan, nan) where /proc is not there."""
    tick = os.sysconf("SC_CLK_TCK")

    def own(p: int) -> float:
        fields = Path(f"/proc/{p}/stat").read_text().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / tick

    try:
        children = [int(c) for c in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
        return own(pid), sum(own(c) for c in children)
    except (OSError, ValueError, IndexError):
        return float("nan"), float("nan")


def move_buckets(base: str) -> dict[float, float]:
    """The server's histogram of move times (arrival to acknowledgement):
    cumulative counts by upper bound, read from /metrics."""
    with urllib.request.urlopen(base + "/metrics", timeout=10) as answer:
        text = answer.read().decode()
    out = {}
    for line in text.splitlines():
        if line.startswith("tesko_move_seconds_bucket"):
            bound = line.split('le="')[1].split('"')[0]
            out[float(bound)] = float(line.rsplit(" ", 1)[1])
    return out


def server_side(before: dict[float, float], after: dict[float, float]) -> str:
    """p50 / p95 / p99 of the server's own part of the round trip, as the
    histogram bucket each falls in."""
    counts = {b: after.get(b, 0) - before.get(b, 0) for b in after}
    total = counts.get(float("inf"), 0)
    if not total:
        return "-"
    shown = []
    for q in (0.5, 0.95, 0.99):
        bound = min(b for b, c in counts.items() if c >= q * total)
        shown.append("> 5 s" if bound == float("inf") else f"≤ {bound * 1000:g}")
    return " / ".join(shown) + " ms"


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
        self.acked: list[tuple[float, str, int, str, str]] = []  # when, room, version, seat, move
        self.trips: list[tuple[float, str, float]] = []  # sent, kind, round trip
        self.errors: dict[str, int] = {}
        self.games: list[float] = []
        self.stop_at = 0.0
        self.next_slot = 0.0

    def error(self, what: str) -> None:
        if self.shared.restarting.value:
            what += " (server down, retried)"
        self.errors[what] = self.errors.get(what, 0) + 1

    async def seat(self, client: RoomClient, kind: str) -> None:
        # A heavy room's engine may wait minutes for its search's turn.
        wait = 600 if kind == "heavy rooms" else 60
        while time.monotonic() < self.stop_at and await client.wait_for_turn(timeout=wait):
            move = self.rng.choice(client.legal_moves)
            pace = self.shared.pace.value  # moves per second for this process's clients
            if pace:
                now = time.monotonic()
                self.next_slot = max(self.next_slot + 1 / pace, now)
                if self.next_slot > now:
                    await asyncio.sleep(self.next_slot - now)
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
        fresh = [RoomClient(self.base, room, token=c.token) for c in clients]
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
                a = RoomClient(self.base, room, token=made["token"])
                b = RoomClient(self.base, room, token=joined["token"])
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
                me = RoomClient(self.base, made["room"]["id"], token=made["token"])
                await self.play_games([me], ["heavy rooms" if heavy else "engine rooms"])
            except (OSError, asyncio.TimeoutError, Closed, LobbyError, WebSocketException) as err:
                self.failed(err)
                await asyncio.sleep(0.2)

    def failed(self, err: BaseException) -> None:
        if isinstance(err, LobbyError):
            self.error(f"{type(err).__name__} {err.code}: {err.message}")
        else:
            self.error(type(err).__name__)


class Shared:
    """What the parent tells the load processes while they run."""

    def __init__(self, ctx: Any) -> None:
        self.pace = ctx.RawValue("d", 0.0)
        self.restarting = ctx.RawValue("b", 0)


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

    # Long pauses of the collector would count as the server's round trips.
    gc.collect()
    gc.freeze()
    gc.set_threshold(10_000, 50, 1000)

    async def main() -> Load:
        load = Load(base, level, seed, shared)
        load.stop_at = stop_at
        load.heavy = heavy
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
        return load

    load = asyncio.run(main())
    conn.send((load.acked, load.trips, load.errors, load.games))
    conn.close()


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
    def __init__(self) -> None:
        self.acked: list[tuple[float, str, int, str, str]] = []
        self.trips: list[tuple[float, str, float]] = []
        self.errors: dict[str, int] = {}
        self.games: list[float] = []

    def moves(self, start: float, end: float) -> int:
        return sum(1 for entry in self.acked if start <= entry[0] < end)

    def round_trips(self, start: float, end: float) -> dict[str, list[float]]:
        out: dict[str, list[float]] = {"people": [], "engine rooms": [], "heavy rooms": []}
        for when, kind, trip in self.trips:
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


def run(args: argparse.Namespace, server: Server) -> Results:
    """The load processes play while this process cuts the phases, sets the
    pace, watches the server's CPU and (with --kill) kills and restarts it."""
    ctx = multiprocessing.get_context("spawn")
    shared = Shared(ctx)
    paced = 0 if args.kill else args.seconds
    begin = time.monotonic()
    stop_at = begin + args.warmup + args.seconds + (paced + 1 if paced else 0) + 5
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
                server.base,
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
    time.sleep(max(0.0, begin + args.warmup + 2 - time.monotonic()))  # (+2: the processes start)
    # Saturated: every client moves as soon as its turn comes.
    start = time.monotonic()
    assert server.process is not None
    cpu_before = cpu_seconds(server.process.pid)
    buckets = move_buckets(server.base)
    out = Results()
    if args.kill:
        time.sleep(args.seconds / 2)
        server.kill()
        shared.restarting.value = 1
        print("killed the server halfway through the saturated phase; starting it again")
        began = time.monotonic()
        server.start()
        print(f"the server answers again after {time.monotonic() - began:.1f} s")
        time.sleep(1)  # clients come back, each after its own pause
        shared.restarting.value = 0
    out.log_largest = watch_log(server.db, start + args.seconds)  # type: ignore[attr-defined]
    out.saturated = (start, time.monotonic())  # type: ignore[attr-defined]
    out.log_saturated = log_size(server.db)  # type: ignore[attr-defined]
    if not args.kill:
        after = move_buckets(server.base)
        out.server_saturated = server_side(buckets, after)  # type: ignore[attr-defined]
        counted = after.get(float("inf"), 0) - buckets.get(float("inf"), 0)
        buckets = after
        out.cpu_after = cpu_seconds(server.process.pid)  # type: ignore[attr-defined]
        out.cpu_before = cpu_before  # type: ignore[attr-defined]
    if paced:
        # Paced: the same clients, held to a fixed rate below saturation. The
        # processes report only at the end, so the rate is the server's own
        # count of people's moves (its metrics) over the saturated phase.
        rate = counted / (out.saturated[1] - out.saturated[0])  # type: ignore[attr-defined]
        out.pace = min(args.pace, 0.7 * rate)  # type: ignore[attr-defined]
        shared.pace.value = out.pace / args.processes  # type: ignore[attr-defined]
        time.sleep(1)
        first = time.monotonic()
        out.log_largest = watch_log(server.db, first + args.seconds, out.log_largest)  # type: ignore[attr-defined]
        out.paced = (first, time.monotonic())  # type: ignore[attr-defined]
        out.server_paced = server_side(buckets, move_buckets(server.base))  # type: ignore[attr-defined]
    for process, conn in processes:
        acked, trips, errors, games = conn.recv()
        process.join()
        out.acked += acked
        out.trips += trips
        out.games += games
        for k, v in errors.items():
            out.errors[k] = out.errors.get(k, 0) + v
    return out


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
        "--processes", type=int, default=2, help="load processes the clients are spread over (2)"
    )
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    with tempfile.TemporaryDirectory(
        prefix="tesko-bench-", dir=os.environ.get("TESKO_BENCH_DIR")
    ) as folder:
        server = Server(Path(folder), free_port(), args.workers)
        server.start()
        try:
            load = run(args, server)
        finally:
            server.stop()
        lost = lost_moves(server.db, load.acked)
        problems = [
            line
            for line in Path(server.log).read_text().splitlines()
            if " ERROR " in line or " CRITICAL " in line
        ]
        if problems:
            print(f"the server logged {len(problems)} errors; the first ones:")
            print("\n".join(problems[:10]))
    start, end = load.saturated  # type: ignore[attr-defined]
    print(
        f"rooms: {args.rooms} of two people, {args.engine_rooms} against the engine "
        f"(level {args.level})"
        + (
            f", {args.heavy_rooms} against the engine at level {args.heavy_level} "
            f"thinking {args.heavy_think:g} s"
            if args.heavy_rooms
            else ""
        )
        + f"; {args.workers} engine workers; {args.processes} load processes; "
        f"{args.seconds:g} s saturated"
        + (" with a kill -9 and restart halfway" if args.kill else f", {args.seconds:g} s paced")
    )
    print()
    print("| measure | value |")
    print("|---|---:|")
    print(f"| acknowledged moves/s, saturated | {load.moves(start, end) / (end - start):,.0f} |")
    trips_rows(load.round_trips(start, end), "saturated")
    if not args.kill:
        print(
            "| server's part (move received to ack sent), saturated: p50 / p95 / p99 "
            f"| {load.server_saturated} |"  # type: ignore[attr-defined]
        )
        moves = load.moves(start, end)
        loop_cpu, workers_cpu = (
            (after - before) / moves
            for before, after in zip(load.cpu_before, load.cpu_after)  # type: ignore[attr-defined]
        )
        print(
            f"| CPU per move, saturated: server process / engine workers "
            f"| {loop_cpu * 1e6:.0f} / {workers_cpu * 1e6:.0f} µs |"
        )
        start, end = load.paced  # type: ignore[attr-defined]
        print(
            f"| acknowledged moves/s, paced (held to {load.pace:,.0f}) "  # type: ignore[attr-defined]
            f"| {load.moves(start, end) / (end - start):,.0f} |"
        )
        trips_rows(load.round_trips(start, end), "paced")
        print(
            "| server's part (move received to ack sent), paced: p50 / p95 / p99 "
            f"| {load.server_paced} |"  # type: ignore[attr-defined]
        )
    mib = 1024 * 1024
    print(
        "| write-ahead log: at the end of the saturated phase / largest seen "
        f"| {load.log_saturated / mib:.1f} / {load.log_largest / mib:.1f} MiB |"  # type: ignore[attr-defined]
    )
    print(f"| games finished | {len(load.games)} |")
    errors = ", ".join(f"{k} {v}" for k, v in sorted(load.errors.items())) or "0"
    print(f"| errors | {errors} |")
    print()
    print(f"lost: {lost}")
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
