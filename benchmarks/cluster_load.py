"""The load benchmark's cluster (`bench_server.py --cluster N`): N tesko-server
nodes on a PostgreSQL of their own behind HAProxy, started by
tesko_server.cluster, in place of one server on SQLite.

Each node stands in for the benchmark's one server (`NodeServer`: its
process, its address for /metrics, kill and start again); the load goes
through the router. PostgreSQL runs with fsync and `synchronous_commit` on,
as a deployment's would, and its processes' CPU is read from /proc.
"""

from __future__ import annotations

import asyncio
import bisect
import json
import threading
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from tesko_server.cluster import Cluster, Node


class NodeServer:
    """A node of the cluster, with what the benchmark asks of a server."""

    def __init__(self, cluster: Cluster, node: Node) -> None:
        self.cluster = cluster
        self.node = node
        self.base = node.base
        self.db = Path("/nonexistent/no-sqlite-store")  # no write-ahead log to watch

    @property
    def process(self) -> Any:
        return self.node.process

    def kill(self) -> None:
        self.cluster.kill(self.node.name)

    def start(self, timeout: float = 60) -> None:
        self.cluster.restart(self.node.name, timeout)

    def stop(self) -> None:
        pass  # the cluster stops its nodes


class BenchCluster:
    """PostgreSQL, `nodes` nodes (each with `node_args`) and HAProxy; every
    line the parts print goes to `log`, after the part's name."""

    def __init__(self, nodes: int, node_args: Sequence[str], log: Path) -> None:
        self.log = log
        self.file = open(log, "a", buffering=1)  # noqa: SIM115 - open until stop
        self.cluster = Cluster(
            nodes, node_args=node_args, say=lambda name, line: self.file.write(f"{name} {line}\n")
        )
        self.base = self.cluster.base
        self.servers: list[NodeServer] = []
        self.cpu: list[tuple[float, float]] = [(0.0, 0.0)]

    def start(self) -> BenchCluster:
        self.cluster.start()
        self.servers = [NodeServer(self.cluster, node) for node in self.cluster.nodes.values()]
        threading.Thread(target=self._watch_cpu, daemon=True).start()
        return self

    def _watch_cpu(self) -> None:
        """PostgreSQL's CPU seconds so far, every 0.1 s while it runs."""
        while self.cluster.postgres.started:
            cpu = self.cluster.postgres.cpu_seconds()
            self.cpu.append((time.monotonic(), cpu))
            time.sleep(0.1)

    def postgres_cpu(self, start: float, end: float) -> float:
        """CPU seconds PostgreSQL's processes used from `start` to `end`
        (time.monotonic(); to the nearest tenth of a second)."""
        times = [when for when, _ in self.cpu]

        def at(when: float) -> float:
            return self.cpu[max(0, bisect.bisect_right(times, when) - 1)][1]

        return at(end) - at(start)

    def finish(self, acked: list[tuple[float, str, int, str, str]]) -> int:
        """Stop the router and the nodes, count the acknowledged moves
        (when, room, version, seat, move) the PostgreSQL store does not
        hold, then stop PostgreSQL."""
        try:
            self.cluster.stop_nodes()
            return asyncio.run(lost_in_store(self.cluster.dsn, acked))
        finally:
            self.stop()

    def stop(self) -> None:
        self.cluster.stop()
        self.file.close()

    def problems(self) -> list[str]:
        return [
            line
            for line in self.log.read_text().splitlines()
            if " ERROR " in line or " CRITICAL " in line
        ]


async def lost_in_store(dsn: str, acked: list[tuple[float, str, int, str, str]]) -> int:
    import asyncpg

    conn = await asyncpg.connect(dsn)
    try:
        rows = await conn.fetch("SELECT room, version, data FROM events WHERE kind='turn'")
    finally:
        await conn.close()
    held = set()
    for row in rows:
        event = json.loads(row["data"])
        held.add((row["room"], row["version"], event["player"], event["move"]))
    return sum(1 for entry in acked if entry[1:] not in held)
