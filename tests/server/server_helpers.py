"""A real tesko-server in a subprocess on 127.0.0.1, with its store in a
temporary folder, and a helper to run a test's coroutine."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Every test client comes from 127.0.0.1: the limits per address are lifted
# (a test's own arguments, given after these, set them again).
ONE_ADDRESS = [
    "--create-rate",
    "100000",
    "--lobby-rate",
    "100000",
    "--max-sockets-per-address",
    "100000",
]


# The stores a test of the server can run on: SQLite in the test's folder,
# or an empty PostgreSQL database of its own.
STORES = ["sqlite", "postgresql"]


class Server:
    def __init__(
        self, folder: Path, *args: str, port: int | None = None, store: str | None = None
    ) -> None:
        self.folder = folder
        self.db = folder / "store.db"
        self.store = store  # a PostgreSQL URL, else the SQLite file `db`
        self.args = [*ONE_ADDRESS, *args]
        self.port = port or free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.log = folder / "server.log"
        self.process: subprocess.Popen[bytes] | None = None

    def start(self, timeout: float = 30) -> Server:
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "tesko_server",
                    "--port",
                    str(self.port),
                    *(["--db", str(self.db)] if self.store is None else ["--store", self.store]),
                    *self.args,
                ],
                stdout=log,
                stderr=subprocess.STDOUT,
                env={**os.environ, "PYTHONUNBUFFERED": "1"},
            )
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the server ended at start:\n{self.log.read_text()}")
            try:
                with urllib.request.urlopen(self.base + "/healthz", timeout=1) as answer:
                    if answer.status == 200:
                        return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"the server did not start:\n{self.log.read_text()}")

    def health(self) -> dict:
        with urllib.request.urlopen(self.base + "/healthz", timeout=5) as answer:
            return json.loads(answer.read())

    def status(self) -> int:
        """The HTTP status of /healthz."""
        try:
            with urllib.request.urlopen(self.base + "/healthz", timeout=5) as answer:
                return answer.status
        except urllib.error.HTTPError as err:
            return err.code

    def engine_pids(self) -> list[int]:
        """The process ids of the server's engine workers, from /proc."""
        assert self.process is not None
        pids = []
        for task in Path(f"/proc/{self.process.pid}/task").iterdir():
            for child in (task / "children").read_text().split():
                try:
                    cmdline = Path(f"/proc/{child}/cmdline").read_bytes()
                except OSError:
                    continue
                if b"spawn_main" in cmdline:
                    pids.append(int(child))
        return sorted(pids)

    def kill(self) -> None:
        """SIGKILL the server itself; its engine workers see their pipes close."""
        assert self.process is not None
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(10)

    def terminate(self, timeout: float = 30) -> int:
        assert self.process is not None
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout)

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def end(self) -> None:
        """SIGKILL, at the end of a test that looks at nothing more (a stop
        by signal, tested on its own, takes a fifth of a second); its engine
        workers end as their pipes close."""
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def stored_turns(self) -> dict[str, list[tuple[int, str, str | None]]]:
        """Every room's stored turns (version, player, move), read from the store."""
        query = "SELECT room, version, data FROM events WHERE kind='turn' ORDER BY room, version"
        if self.store is not None:
            rows = asyncio.run(postgres_rows(self.store, query))
        else:
            db = sqlite3.connect(self.db)
            try:
                rows = db.execute(query).fetchall()
            finally:
                db.close()
        out: dict[str, list[tuple[int, str, str | None]]] = {}
        for room, version, data in rows:
            event = json.loads(data)
            out.setdefault(room, []).append((version, event["player"], event["move"]))
        return out


async def postgres_rows(url: str, query: str) -> list[tuple]:
    import asyncpg

    conn = await asyncpg.connect(url)
    try:
        return [tuple(row) for row in await conn.fetch(query)]
    finally:
        await conn.close()


def run(coro, timeout: float = 120):
    """Run a coroutine to its end, bounded in time."""
    return asyncio.run(asyncio.wait_for(coro, timeout))


async def until(condition, timeout: float = 10.0) -> None:
    """Wait, bounded, until `condition()` holds (it reads what clients received)."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise asyncio.TimeoutError
        await asyncio.sleep(0.01)


async def seated_pair(base: str, **options):
    """Ana (A) makes a room with `options` and Bia (B) joins it, both connected."""
    from tesko_server.client import Lobby, RoomClient

    lobby = Lobby(base)
    made = await lobby.create(join={"seat": "A", "name": "Ana"}, **options)
    joined = await lobby.join(made["room"]["id"], "Bia")
    a = RoomClient(base, made["room"]["id"], token=made["token"])
    b = RoomClient(base, made["room"]["id"], token=joined["token"])
    await a.connect()
    await b.connect()
    return a, b


def mount(*args: str) -> None:
    """`mount` with the arguments given, or skip the test where that is not
    allowed (not root, or a container without the right to mount)."""
    import pytest

    if os.geteuid() != 0:
        pytest.skip("mounting needs root")
    done = subprocess.run(["mount", *args], capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount here: {done.stderr.strip()}")
