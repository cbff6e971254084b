"""Three tesko-server nodes on PostgreSQL behind HAProxy (tesko_server.cluster),
on 127.0.0.1: games through the router, the lobby of every node, and a node
killed with SIGKILL in the middle of games, then started again."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import queue
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import pytest
import websockets
from tesko_server import cluster as cluster_module
from tesko_server import pgserver
from tesko_server.cluster import Cluster, Missing

ROOT = Path(__file__).resolve().parents[2]
# All the clients are on 127.0.0.1 (and so is the router, which says so in
# X-Forwarded-For): the limits per address are not under test here.
NODE_ARGS = [
    "--workers", "1",
    "--rate", "1000",
    "--max-rooms-per-address", "1000",
    "--create-rate", "100000",
    "--lobby-rate", "100000",
    "--max-sockets-per-address", "1000",
]  # fmt: skip


def server_options() -> str:
    return subprocess.run(
        [sys.executable, "-m", "tesko_server", "--help"],
        capture_output=True,
        text=True,
        timeout=30,
    ).stdout


# What the nodes and the router said, for a failure's message.
LOG: list[tuple[str, str]] = []


def said(*names: str) -> str:
    return "\n".join(f"{n}: {line}" for n, line in LOG if not names or n in names)


@pytest.fixture(scope="module")
def cluster():
    try:
        running = Cluster(3, node_args=NODE_ARGS, fsync=False, say=lambda *said: LOG.append(said))
    except Missing as err:
        pytest.skip(f"{err} (bash scripts/cluster-setup.sh installs it)")
    with running:
        yield running


@pytest.mark.parametrize("missing", ["postgres", "haproxy"])
def test_a_missing_program_is_one_line_and_nothing_starts(monkeypatch, capsys, missing):
    module = pgserver if missing == "postgres" else cluster_module
    monkeypatch.setattr(module, f"{missing}_bin", lambda: None)
    started = []
    monkeypatch.setattr(cluster_module.Postgres, "start", lambda self: started.append(self))
    assert cluster_module.main(["up", "--port", "0"]) == 1
    out = capsys.readouterr()
    lines = (out.out + out.err).strip().splitlines()
    name = {"postgres": "PostgreSQL", "haproxy": "HAProxy"}[missing]
    assert len(lines) == 1 and name in lines[0], lines
    assert "apt-get install -y postgresql haproxy" in lines[0]
    assert not started


def descendants(pid: int) -> set[int]:
    found, todo = set(), [pid]
    while todo:
        p = todo.pop()
        try:
            children = Path(f"/proc/{p}/task/{p}/children").read_text().split()
        except OSError:
            continue
        for child in map(int, children):
            found.add(child)
            todo.append(child)
    return found


def alive(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0]
    except OSError:
        return False
    return state != "Z"


def test_cluster_up_serves_through_the_router_and_leaves_nothing_behind():
    if cluster_module.haproxy_bin() is None or cluster_module.postgres_bin() is None:
        pytest.skip("PostgreSQL or HAProxy is missing (bash scripts/cluster-setup.sh)")
    # Its temp folders go in a folder of this test's, which the postgres
    # user may enter (pytest's own are closed to other users).
    tmp = tempfile.mkdtemp(prefix="tesko-cluster-test-")
    os.chmod(tmp, 0o755)
    port = cluster_module.free_port()
    env = {**os.environ, "TMPDIR": tmp}
    command = [sys.executable, "-m", "tesko_server", "cluster", "up", "--nodes", "2"]
    process = subprocess.Popen(
        [*command, "--port", str(port)], stdout=subprocess.PIPE, text=True, env=env
    )
    try:
        lines: queue.Queue[str] = queue.Queue()
        threading.Thread(
            target=lambda: [lines.put(line) for line in process.stdout], daemon=True
        ).start()
        said = []
        deadline = time.monotonic() + 60
        while not any("open http://" in line for line in said):
            assert time.monotonic() < deadline and process.poll() is None, said
            with contextlib.suppress(queue.Empty):
                said.append(lines.get(timeout=0.5))
        assert f"open http://127.0.0.1:{port}/ (Ctrl-C stops them all)" in said[-1]
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/rooms", timeout=10) as answer:
            assert json.load(answer)["rooms"] == []
        parts = descendants(process.pid)
        pidfiles = list(Path(tmp).glob("tesko-pg-*/data/postmaster.pid"))
        assert len(pidfiles) == 1
        postmaster = int(pidfiles[0].read_text().split()[0])
        parts |= {postmaster} | descendants(postmaster)
        assert len(parts) >= 4  # two nodes and their workers, HAProxy, PostgreSQL
        process.send_signal(signal.SIGINT)
        process.wait(60)
        rest = []
        with contextlib.suppress(queue.Empty):
            while True:
                rest.append(lines.get(timeout=1).rstrip("\n"))
        assert process.returncode == -signal.SIGINT, rest
        assert rest[-2:] == ["tesko-server cluster: stopping", "tesko-server cluster: stopped"]
        assert [p for p in parts if alive(p)] == []
        assert os.listdir(tmp) == []
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        shutil.rmtree(tmp, ignore_errors=True)


async def store_rows(dsn: str, query: str, *args) -> list:
    import asyncpg

    conn = await asyncpg.connect(dsn)
    try:
        return await conn.fetch(query, *args)
    finally:
        await conn.close()


async def owners(dsn: str) -> dict[str, tuple[str, int]]:
    rows = await store_rows(dsn, "SELECT room, node, epoch FROM owners")
    return {r["room"]: (r["node"], r["epoch"]) for r in rows}


async def stored_turns(dsn: str, room: str) -> list[tuple[int, str, str]]:
    rows = await store_rows(
        dsn, "SELECT version, data FROM events WHERE room=$1 AND kind='turn' ORDER BY version", room
    )
    return [(r["version"], *(json.loads(r["data"])[k] for k in ("player", "move"))) for r in rows]


class Gate:
    """How many plies the games may reach for now."""

    def __init__(self, plies: int) -> None:
        self.plies = plies
        self.moved = asyncio.Event()

    def open_to(self, plies: int) -> None:
        self.plies, moved, self.moved = plies, self.moved, asyncio.Event()
        moved.set()

    async def wait(self, client) -> None:
        while len(client.history) >= self.plies:
            await self.moved.wait()


class Table:
    """One room played through the router: a client per person's seat, each
    playing random legal moves as far as the gate lets it."""

    def __init__(self, room: str, clients: list, engine: bool) -> None:
        self.room, self.clients, self.engine = room, clients, engine
        self.acked: list[tuple[int, str, str]] = []  # version, seat, move
        self.tasks: list[asyncio.Task] = []

    @property
    def plies(self) -> int:
        return min(len(c.history) for c in self.clients)

    @property
    def over(self) -> bool:
        return all(c.over for c in self.clients)

    def start(self, gate: Gate, rng: random.Random) -> None:
        self.tasks = [asyncio.ensure_future(self.seat(c, gate, rng)) for c in self.clients]

    async def seat(self, client, gate: Gate, rng: random.Random) -> None:
        while await client.wait_for_turn(timeout=30):
            await gate.wait(client)
            move = rng.choice(client.legal_moves)
            ack = await client.play(move, timeout=30)
            if ack.get("version") is not None:
                self.acked.append((ack["version"], client.seat, move))


async def until(condition, what: str, seconds: float = 30.0, tasks=()) -> None:
    """Poll until `condition()`; a seat's task that failed meanwhile fails it."""
    deadline = time.monotonic() + seconds
    while not condition():
        for task in tasks:
            if task.done() and not task.cancelled() and task.exception():
                raise task.exception()
        assert time.monotonic() < deadline, f"not within {seconds:g} s: {what}"
        await asyncio.sleep(0.02)


async def make_tables(base: str, people: int, engines: int) -> list[Table]:
    from tesko_server.client import Lobby, RoomClient

    lobby = Lobby(base)
    tables = []
    for i in range(people + engines):
        engine = i >= people
        seats = {"B": {"kind": "engine", "level": 2, "think_time": 0.2}} if engine else {}
        made = await lobby.create(seats=seats, join={"seat": "A", "name": "a"}, public=False)
        room = made["room"]["id"]
        tokens = [made["token"]]
        if not engine:
            tokens.append((await lobby.join(room, "b"))["token"])
        clients = [RoomClient(base, room, token=token) for token in tokens]
        for client in clients:
            await client.connect()
        tables.append(Table(room, clients, engine))
    return tables


def rooms_taken(cluster: Cluster) -> dict[str, float]:
    """Each node's count of rooms it took from the store, from its /metrics."""
    counts = {}
    for name, node in cluster.nodes.items():
        with urllib.request.urlopen(node.base + "/metrics", timeout=10) as answer:
            text = answer.read().decode()
        counts[name] = next(
            float(line.split()[1])
            for line in text.splitlines()
            if line.startswith("tesko_rooms_taken_total ")
        )
    return counts


async def play_through_a_kill_and_a_return(cluster: Cluster) -> None:
    from tesko_server.client import RoomClient

    dsn, rng = cluster.dsn, random.Random(7)
    taken_before = await asyncio.to_thread(rooms_taken, cluster)
    tables = await make_tables(cluster.base, people=9, engines=3)
    gate = Gate(3)
    for table in tables:
        table.start(gate, rng)
    tasks = [task for table in tables for task in table.tasks]
    await until(lambda: all(t.plies >= 3 for t in tables), "three plies in every room", 20, tasks)
    before = await owners(dsn)
    assert set(before) >= {t.room for t in tables}
    # Made through the router, each room was made on the node its sockets
    # and calls go to: none was taken over from the node that made it.
    assert await asyncio.to_thread(rooms_taken, cluster) == taken_before
    assert {before[t.room][1] for t in tables} == {1}
    held: dict[str, list[Table]] = {}
    for table in tables:
        held.setdefault(before[table.room][0], []).append(table)
    # The node to kill holds an engine room, and as many rooms as any such.
    victim = max(
        (node for node, ts in held.items() if any(t.engine for t in ts)),
        key=lambda node: len(held[node]),
    )
    moved = held[victim]

    # SIGKILL while moves are in flight: the gate opens and the first new
    # acknowledgement is the signal.
    acked = sum(len(t.acked) for t in tables)
    gate.open_to(5)
    await until(
        lambda: sum(len(t.acked) for t in tables) > acked, "a move after the gate", 10, tasks
    )
    cluster.kill(victim)
    # Every room moves on after the kill, the killed node's on other nodes.
    gate.open_to(8)
    await until(lambda: all(t.plies >= 8 or t.over for t in tables), "eight plies", 40, tasks)
    taken = await owners(dsn)
    for table in moved:
        node, epoch = taken[table.room]
        assert node != victim and epoch > before[table.room][1], (table.room, taken[table.room])

    # Started again, the node gets its rooms back from the router: a read
    # through the router loads each there.
    await asyncio.to_thread(cluster.restart, victim)

    async def back() -> bool:
        from tesko_server.client import Lobby

        for table in moved:
            await Lobby(cluster.base).raw("GET", f"/api/rooms/{table.room}")
        now = await owners(dsn)
        return all(now[t.room][0] == victim for t in moved)

    deadline = time.monotonic() + 20
    while not await back():
        assert time.monotonic() < deadline, "the node's rooms back on it within 20 s"
        await asyncio.sleep(0.1)
    # A person's seat comes back through the router (to the node started
    # again) while the other's socket is still on the node that held the
    # room meanwhile: both nodes are asked to move in the same room.
    for table in moved:
        if table.engine:
            continue
        old = table.clients[1]
        table.tasks[1].cancel()
        await asyncio.gather(table.tasks[1], return_exceptions=True)
        await old.close()
        fresh = RoomClient(cluster.base, table.room, token=old.token, counter=old.counter)
        await fresh.connect()
        table.clients[1] = fresh
        table.tasks[1] = asyncio.ensure_future(table.seat(fresh, gate, rng))
        tasks.append(table.tasks[1])
    gate.open_to(1000)
    await until(lambda: all(t.over for t in tables), "every game over", 40, tasks)
    failures = [r for r in await asyncio.gather(*tasks, return_exceptions=True) if r]
    assert not [f for f in failures if not isinstance(f, asyncio.CancelledError)], failures

    after = await owners(dsn)
    for table in tables:
        turns = await stored_turns(dsn, table.room)
        seen = [(h["player"], h["move"]) for h in table.clients[0].history]
        # The store holds the game each client saw, once, in order...
        assert [(p, m) for _, p, m in turns] == seen, table.room
        assert [c.result for c in table.clients] == [table.clients[0].result] * len(table.clients)
        # ...with every move a client had acknowledged, at its version.
        assert set(table.acked) <= set(turns), table.room
        if table in moved:
            node, epoch = after[table.room]
            assert node == victim and epoch > taken[table.room][1], (table.room, node, epoch)
    for table in tables:
        for client in table.clients:
            await client.close()
    assert not cluster.ended(), said()


def test_games_go_on_through_a_node_killed_and_started_again(cluster):
    asyncio.run(play_through_a_kill_and_a_return(cluster))


def test_the_lobby_of_every_node_shows_rooms_made_on_the_others(cluster):
    from tesko_server.client import Lobby

    async def check() -> None:
        assert not cluster.ended(), said()
        made = set()
        for node in cluster.nodes.values():
            room = await Lobby(node.base).create(join={"seat": "A", "name": node.name})
            made.add(room["room"]["id"])
        for node in cluster.nodes.values():
            lobby = Lobby(node.base)
            deadline = time.monotonic() + 5
            while not made <= {r["id"] for r in await lobby.rooms("waiting")}:
                assert time.monotonic() < deadline, (
                    f"{node.name}'s lobby lacks rooms made elsewhere"
                )
                await asyncio.sleep(0.05)

    asyncio.run(check())


def test_the_page_through_the_router_may_make_rooms_and_open_their_sockets(cluster):
    """A browser on the router's address sends it as the Origin of its
    lobby calls and sockets, which the nodes behind it must take."""
    body = {"seats": {"B": {"kind": "engine", "level": 1}}, "join": {"seat": "A", "name": "Lia"}}
    request = urllib.request.Request(
        cluster.base + "/api/rooms",
        data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json", "Origin": cluster.base},
        method="POST",
    )
    with urllib.request.urlopen(request, timeout=10) as answer:
        assert answer.status == 201
        made = json.load(answer)

    async def hello() -> dict:
        url = f"ws://127.0.0.1:{cluster.port}/ws/{made['room']['id']}"
        async with websockets.connect(url, origin=cluster.base) as ws:
            await ws.send(json.dumps({"type": "hello", "protocol": 1, "token": made["token"]}))
            return json.loads(await asyncio.wait_for(ws.recv(), 10))

    assert asyncio.run(hello())["type"] == "welcome"
