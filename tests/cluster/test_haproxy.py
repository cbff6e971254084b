"""deploy/haproxy.cfg in a real HAProxy, in front of three stand-in nodes
that answer with their own name: a room's requests meet on one node by all
of its paths (a new room's included, whose id the router draws), and a node
marked down gives up its rooms and only its own."""

from __future__ import annotations

import base64
import hashlib
import http.client
import http.server
import re
import shutil
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

CONFIG = Path(__file__).resolve().parents[2] / "deploy" / "haproxy.cfg"
ROOMS = [f"room{i:02d}x" for i in range(60)]
NAMES = ("n1", "n2", "n3")
WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _answer(self) -> None:
        node: Node = self.server.node  # type: ignore[attr-defined]
        if self.path == "/healthz":
            status = 200 if node.healthy else 503
        else:
            node.seen.append(self.path)
            status = 200
        if self.headers.get("Upgrade", "").lower() == "websocket":
            self.send_response(101)
            self.send_header("Upgrade", "websocket")
            self.send_header("Connection", "Upgrade")
            key = self.headers.get("Sec-WebSocket-Key", "") + WS_GUID
            accept = base64.b64encode(hashlib.sha1(key.encode()).digest()).decode()
            self.send_header("Sec-WebSocket-Accept", accept)
            self.send_header("X-Node", node.name)
            self.end_headers()
            self.wfile.flush()
            self.rfile.read()  # the tunnel stays open until the client closes it
            self.close_connection = True
            return
        body = node.name.encode()
        self.send_response(status)
        self.send_header("X-Node", node.name)
        # The room ids the request came with, as the node was given them.
        self.send_header("X-Rooms-Given", ",".join(self.headers.get_all("X-Tesko-Room") or ()))
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_GET = do_POST = _answer


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # the router's health checks end their connections with a reset


class Node:
    """A stand-in tesko-server: a threaded HTTP server on 127.0.0.1."""

    def __init__(self, name: str) -> None:
        self.name, self.port = name, free_port()
        self.healthy = True
        self.seen: list[str] = []
        self.httpd: Server | None = None

    def start(self) -> None:
        self.httpd = Server(("127.0.0.1", self.port), Handler)
        self.httpd.node = self  # type: ignore[attr-defined]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self) -> None:
        if self.httpd is not None:
            self.httpd.shutdown()
            self.httpd.server_close()
            self.httpd = None


@pytest.fixture(scope="module")
def router(tmp_path_factory):
    haproxy = shutil.which("haproxy") or shutil.which("haproxy", path="/usr/sbin")
    if haproxy is None:
        pytest.skip("HAProxy is not installed (bash scripts/cluster-setup.sh installs it)")
    nodes = {name: Node(name) for name in NAMES}
    for node in nodes.values():
        node.start()
    port = free_port()
    servers = "".join(f"    server {n.name} 127.0.0.1:{n.port}\n" for n in nodes.values())
    text = CONFIG.read_text().replace("@BIND@", f"127.0.0.1:{port}")
    config = tmp_path_factory.mktemp("haproxy") / "haproxy.cfg"
    config.write_text(text.replace("@SERVERS@\n", servers))
    process = subprocess.Popen(
        [haproxy, "-db", "-f", str(config)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT
    )
    # HAProxy's messages, with the time each was read (a node marked down).
    said: list[tuple[float, str]] = []

    def read() -> None:
        for line in process.stdout:
            said.append((time.monotonic(), line.decode(errors="replace")))

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if process.poll() is not None or time.monotonic() > deadline:
                    reader.join(1)
                    pytest.fail("haproxy did not start: " + "".join(line for _, line in said))
                time.sleep(0.05)
        yield port, nodes, said
    finally:
        process.terminate()
        process.wait(10)
        for node in nodes.values():
            node.stop()


def get(port: int, path: str, method: str = "GET") -> str | None:
    """The node that answered, or None for the router's own error."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        conn.request(method, path)
        response = conn.getresponse()
        response.read()
        return response.getheader("X-Node") if response.status == 200 else None
    finally:
        conn.close()


def upgrade(port: int, room: str) -> str | None:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.sendall(
            f"GET /ws/{room} HTTP/1.1\r\nHost: tesko\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n".encode()
        )
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = sock.recv(4096)
            if not chunk:
                break
            head += chunk
    lines = head.decode().split("\r\n")
    if " 101 " not in lines[0]:
        return None
    return next(line.split(": ", 1)[1] for line in lines if line.lower().startswith("x-node:"))


PATHS = {
    "page": lambda port, room: get(port, f"/r/{room}"),
    "read": lambda port, room: get(port, f"/api/rooms/{room}"),
    "join": lambda port, room: get(port, f"/api/rooms/{room}/join?as=a", "POST"),
    "socket": upgrade,
}


def owners(port: int) -> dict[str, str | None]:
    return {room: get(port, f"/api/rooms/{room}/record") for room in ROOMS}


def wait_for(condition, what: str, seconds: float = 10):
    deadline = time.monotonic() + seconds
    while not (result := condition()):
        assert time.monotonic() < deadline, f"not within {seconds} s: {what}"
        time.sleep(0.1)
    return result


@pytest.fixture(scope="module")
def placed(router):
    port, nodes, said = router
    # The router starts with every node up; wait until each has answered.
    wait_for(lambda: len(set(owners(port).values()) - {None}) == 3, "all three nodes answer")
    return owners(port)


@pytest.mark.parametrize("form", PATHS)
def test_a_room_meets_on_one_node_by_every_path(router, placed, form):
    port, _, _ = router
    # In an order of its own for each form: a router that took turns between
    # nodes would not place the rooms the same way twice.
    order = sorted(ROOMS, key=lambda room: hashlib.sha1((form + room).encode()).digest())
    assert {room: PATHS[form](port, room) for room in order} == placed
    counts = {name: list(placed.values()).count(name) for name in NAMES}
    assert all(count >= 5 for count in counts.values()), counts


def create(port: int, client_says: tuple[str, ...]) -> tuple[str, str]:
    """POST /api/rooms: the node that got it and the room ids it was given."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        conn.putrequest("POST", "/api/rooms")
        for room in client_says:
            conn.putheader("X-Tesko-Room", room)
        conn.endheaders()
        response = conn.getresponse()
        response.read()
        assert response.status == 200
        return response.getheader("X-Node"), response.getheader("X-Rooms-Given")
    finally:
        conn.close()


@pytest.mark.parametrize(
    "client_says", [(), ("chosen", "byclient12"), (ROOMS[0],)], ids=["none", "two", "a room's"]
)
def test_a_room_is_made_on_the_node_its_id_hashes_to(router, placed, client_says):
    """The router draws a new room's id and sends the creation to that id's
    node, with the id in X-Tesko-Room in place of any the client sent: the
    room's later requests come to the node that made it."""
    port, _, _ = router
    made = [create(port, client_says) for _ in range(30)]
    rooms = [room for _, room in made]
    assert all(re.fullmatch("[0-9a-f]{12}", room) for room in rooms), rooms
    assert len(set(rooms)) == len(rooms)
    assert {node for node, _ in made} == set(NAMES)
    for node, room in made:
        assert (get(port, f"/api/rooms/{room}"), upgrade(port, room)) == (node, node), room


def test_ids_that_begin_alike_meet_on_one_node(router, placed):
    """Only an id's first six characters are hashed: a rematch's id, which
    begins as its room's, goes where its room is."""
    port, _, _ = router
    assert {
        room: get(port, f"/api/rooms/{room[:6]}-later/join", "POST") for room in ROOMS
    } == placed


@pytest.mark.parametrize(
    "path, method", [("/", "GET"), ("/api/rooms", "GET"), ("/static/app.js", "GET")]
)
def test_requests_without_a_room_go_to_any_node(router, placed, path, method):
    port, _, _ = router
    assert len({get(port, path, method) for _ in range(12)}) > 1


@pytest.mark.parametrize("how", ["unhealthy", "stopped"])
def test_a_node_down_gives_up_its_rooms_and_only_those(router, placed, how):
    port, nodes, said = router
    down = nodes["n2"]
    moved = [room for room, node in placed.items() if node == "n2"]
    stayed = [room for room in ROOMS if room not in moved]
    answers: dict[str, list[tuple[float, str | None]]] = {room: [] for room in moved}
    heard = len(said)
    if how == "unhealthy":
        down.healthy = False
    else:
        down.stop()
    try:

        def all_moved() -> bool:
            for room in moved:
                answers[room].append((time.monotonic(), get(port, f"/api/rooms/{room}")))
            return all(answers[room][-1][1] not in (None, "n2") for room in moved)

        wait_for(all_moved, "the node's rooms answered elsewhere")
        after = owners(port)
        assert {room: after[room] for room in stayed} == {room: placed[room] for room in stayed}
        assert len({after[room] for room in moved}) > 1  # shared out, not all on one
        marked = [at for at, line in said[heard:] if "Server nodes/n2 is DOWN" in line]
        assert marked, said[heard:]
        for room in moved:
            # Until the router marks the node down, the room's requests stay
            # with it (or fail); then they go to one new owner, never first
            # to one node and then another.
            seen = [(at, node) for at, node in answers[room] if node is not None]
            assert {node for _, node in seen} - {"n2"} == {after[room]}, (room, seen)
            first_new = next(i for i, (_, node) in enumerate(seen) if node == after[room])
            assert {node for _, node in seen[first_new:]} == {after[room]}, (room, seen)
            # (the message is read a moment after the router acts on it)
            assert seen[first_new][0] > marked[0] - 0.1, (room, seen, marked)
    finally:
        if how == "unhealthy":
            down.healthy = True
        else:
            down.start()
        # Consistent hashing gives the node its rooms back once it is up.
        wait_for(lambda: owners(port) == placed, "the node's rooms back on it")
