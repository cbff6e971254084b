"""Hostile sockets: floods of frames, data and pings, output nobody reads,
and JSON nested too deeply. The floods are small and bounded in time; the
server is shared by the whole module."""

from __future__ import annotations

import asyncio
import base64
import json
import os
import socket
import struct
import time

import pytest
from server_helpers import Server, run
from tesko_server.client import Lobby

TEXT, CONT, PING, CLOSE = 0x1, 0x0, 0x9, 0x8


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    server = Server(tmp_path_factory.mktemp("floods"), "--max-rooms-per-address", "100")
    server.start()
    yield server
    server.end()


def frame(opcode: int, payload: bytes = b"", fin: bool = True) -> bytes:
    """A client's frame (masked, as a client must; under 64 KiB)."""
    size = len(payload)
    head = bytes([(0x80 if fin else 0) | opcode])
    head += bytes([0x80 | size]) if size < 126 else bytes([0xFE]) + struct.pack("!H", size)
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


class RawSocket:
    """A WebSocket spoken by hand, to send what no library would."""

    def __init__(self, server: Server, room: str) -> None:
        self.sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(
            f"GET /ws/{room} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
            "Upgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode()
        )
        self.data = b""
        while b"\r\n\r\n" not in self.data:
            chunk = self.sock.recv(4096)
            assert chunk, "the server closed the connection during the handshake"
            self.data += chunk
        head, _, self.data = self.data.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 101"), head

    def send(self, data: bytes) -> bool:
        """Send what the server will take; False once it is gone."""
        try:
            self.sock.sendall(data)
        except OSError:
            return False
        return True

    def frames(self, timeout: float = 4) -> tuple[list[tuple[int, bytes]], bool]:
        """The frames the server sent until it sent a close frame or ended the
        connection (or until `timeout`), and whether it did either."""
        deadline = time.monotonic() + timeout
        ended = False
        while not ended and time.monotonic() < deadline:
            if any(opcode == CLOSE for opcode, _ in self._parse()):
                break
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = self.sock.recv(65536)
            except TimeoutError:
                break
            except OSError:
                chunk = b""
            ended = not chunk
            self.data += chunk
        self.sock.close()
        out = self._parse()
        return out, ended or any(opcode == CLOSE for opcode, _ in out)

    def _parse(self) -> list[tuple[int, bytes]]:
        out, data = [], self.data
        while len(data) >= 2:
            size, start = data[1] & 0x7F, 2
            if size == 126:
                (size,), start = struct.unpack_from("!H", data, 2), 4
            if len(data) < start + size:
                break
            out.append((data[0] & 0x0F, data[start : start + size]))
            data = data[start + size :]
        return out


def closed_with(frames: list[tuple[int, bytes]]) -> tuple[int, str] | None:
    """The close frame's code and reason; None without one."""
    closes = [payload for opcode, payload in frames if opcode == CLOSE]
    if not closes:
        return None
    return struct.unpack_from("!H", closes[0])[0], closes[0][2:].decode()


def new_room(server: Server) -> str:
    async def make() -> str:
        return (await Lobby(server.base).create(join={"name": "Ana"}))["room"]["id"]

    return run(make())


def hello() -> bytes:
    return frame(TEXT, HELLO.encode())


def pings(count: int) -> bytes:
    # Application pings of nearly the largest message: 30 of them are within
    # the message rate's burst, not within the byte budget.
    message = json.dumps({"type": "ping", "pad": "x" * 4000}).encode()
    return b"".join(frame(TEXT, message) for _ in range(count))


@pytest.mark.parametrize(
    ("flood", "reason"),
    [
        # a 1-byte first fragment, then empty continuation frames
        (frame(TEXT, b"{", fin=False) + frame(CONT, fin=False) * 200, "too many frames"),
        (b"".join(frame(PING, b"p") for _ in range(40)), "too many control frames"),
        (pings(30), "too much data"),
    ],
    ids=["continuations", "pings", "bytes"],
)
def test_a_flood_closes_its_socket_with_policy_violation(shared, flood, reason):
    raw = RawSocket(shared, new_room(shared))
    raw.send(hello())
    raw.send(flood)
    closed = closed_with(raw.frames()[0])
    assert closed is not None and closed[0] == 1008, closed
    assert reason in closed[1]
    assert shared.health()["ok"]


def test_a_socket_that_never_reads_its_pongs_is_closed(shared):
    """The ping flood of a socket that reads nothing is cut off early, not
    answered into the server's memory."""
    raw = RawSocket(shared, new_room(shared))
    raw.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    ping = frame(PING, b"x" * 125)
    sent = 0
    deadline = time.monotonic() + 5
    while sent < 2000 and time.monotonic() < deadline and raw.send(ping):
        sent += 1
    frames, ended = raw.frames(timeout=3)
    assert ended
    # pongs: the burst, and those of the pings read with the one too many
    assert sum(1 for opcode, _ in frames if opcode == 0xA) <= 20


NESTED = "[" * 2000 + "]" * 2000
HELLO = json.dumps({"type": "hello", "protocol": 1})


@pytest.mark.parametrize("message", [NESTED, HELLO + "\n" + NESTED], ids=["hello", "message"])
def test_nesting_too_deep_is_a_bad_message(shared, message):
    raw = RawSocket(shared, new_room(shared))
    for text in message.split("\n"):
        raw.send(frame(TEXT, text.encode()))
    frames, _ = raw.frames()
    errors = [json.loads(p) for op, p in frames if op == TEXT and b'"error"' in p]
    assert closed_with(frames) is not None and closed_with(frames)[0] == 1008
    assert [e["code"] for e in errors] == ["bad_message"]


def test_nesting_too_deep_in_the_lobby_is_a_bad_request(shared):
    async def scenario():
        lobby = Lobby(shared.base)
        body = ('{"join":' + NESTED + "}").encode()
        return await lobby.raw("POST", "/api/rooms", data=body)

    status, answer = run(scenario())
    assert (status, answer["error"]["code"]) == (400, "bad_request")
    assert "Traceback" not in shared.log.read_text()


def test_output_that_nobody_takes_ends_the_connection(monkeypatch):
    """The transport stays over its high-water mark past the send timeout:
    cut. Below it again in time: kept."""
    from tesko_server import wsprotocol

    monkeypatch.setattr(wsprotocol, "SEND_TIMEOUT", 0.1)

    async def scenario(resume: bool) -> bool:
        protocol = open_protocol()
        protocol.pause_writing()
        await asyncio.sleep(0.05)
        if resume:
            protocol.resume_writing()
        await asyncio.sleep(0.15)
        return protocol.transport.abort.called

    assert run(scenario(resume=False)) is True
    assert run(scenario(resume=True)) is False


def test_a_connection_too_far_behind_is_cut():
    from tesko_server.hub import Settings
    from tesko_server.room_socket import MAX_OUTBOX, SocketConnection

    cut: list[str] = []

    class StuckSocket:
        scope = {"extensions": {"tesko.abort": cut.append}}

        async def send_text(self, text: str) -> None:
            await asyncio.Event().wait()  # the peer never takes it

    async def scenario() -> tuple[bool, int]:
        conn = SocketConnection(StuckSocket(), Settings())  # type: ignore[arg-type]
        conn.start()
        text = "x" * 1000
        sent = 0
        while not conn.closed and sent < 2 * MAX_OUTBOX // len(text):
            conn.send(text)
            sent += 1
            if sent % 100 == 0:
                await asyncio.sleep(0)
        conn.writer.cancel()  # type: ignore[union-attr]
        return conn.closed, len(conn.outbox)

    closed, queued = run(scenario())
    assert closed and queued == 0
    assert cut == ["too far behind"]


def open_protocol():
    from unittest import mock

    import uvicorn
    from tesko_server.wsprotocol import LimitedWebSocketProtocol
    from uvicorn.server import ServerState

    async def app(scope, receive, send):  # never reached: no handshake is sent
        pass

    config = uvicorn.Config(app, ws=LimitedWebSocketProtocol, lifespan="off")
    config.load()
    protocol = LimitedWebSocketProtocol(config=config, server_state=ServerState(), app_state={})
    transport = mock.Mock(**{"get_extra_info.return_value": None, "is_closing.return_value": False})
    protocol.connection_made(transport)
    return protocol
