"""The server against careless operators and hostile clients at its edges:
options, the store and port at start, rooms it cannot read, a full disk,
request heads, forwarded addresses, lobby calls from other sites, origins
and caching."""

from __future__ import annotations

import asyncio
import http.client
import json
import os
import socket
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest
from server_helpers import Server, free_port, mount, run
from tesko_server import cli
from tesko_server.app import address_key
from tesko_server.client import Lobby
from tesko_server.store import SqliteStore

ROOT = os.geteuid() == 0
JSON = {"Content-Type": "application/json"}


def start_cli(tmp_path: Path, *args: str, env: dict[str, str] | None = None, port: int = 0):
    """Run tesko-server to its end (these runs are refused at start)."""
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "tesko_server",
            "--port",
            str(port or free_port()),
            "--db",
            str(tmp_path / "s.db"),
            *args,
        ],
        env={**os.environ, **(env or {})},
        capture_output=True,
        text=True,
        timeout=20,
    )
    return result.returncode, (result.stdout + result.stderr).splitlines()


def call(port: int, method: str, path: str, body: bytes = b"", headers=None):
    """One request with exactly the headers given (and Host, Content-Length)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        answer = conn.getresponse()
        data = answer.read()
    finally:
        conn.close()
    try:
        return answer.status, answer.headers, json.loads(data)
    except ValueError:
        return answer.status, answer.headers, data


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    server = Server(
        tmp_path_factory.mktemp("ops"),
        "--header-timeout",
        "1",
        "--allow-origin",
        "https://games.example",
    )
    server.start()
    yield server
    server.end()


# -- options ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "env", "said"),
    [
        (["--db", ""], {}, "the store's file is needed"),
        (["--db", ":memory:"], {}, "add --allow-memory-store"),
        ([], {"TESKO_DB": ""}, "TESKO_DB=''"),
        ([], {"TESKO_LOG_LEVEL": "loud"}, "TESKO_LOG_LEVEL='loud': not one of"),
        ([], {"TESKO_DURABLE": "maybe"}, "TESKO_DURABLE='maybe'"),
        (["--rate", "0.4"], {}, "--rate: must be at least 1"),
        ([], {"TESKO_RATE": "0.4"}, "TESKO_RATE='0.4': must be at least 1"),
        (["--idle-timeout", "1e-9"], {}, "--idle-timeout: must be at least 1 s"),
        ([], {"TESKO_REVIEW_TIME": "0.01"}, "TESKO_REVIEW_TIME='0.01'"),
        (["--allow-origin", "games.example"], {}, "not an origin"),
        (["--forwarded-allow-ips", "proxy.local"], {}, "not an address or network"),
    ],
)
def test_options_and_their_variables_refuse_what_would_not_serve(
    tmp_path, monkeypatch, capsys, args, env, said
):
    # Run in this process: refused before the server would listen (which
    # would fail the test, not start a server).
    def listen(host, port):
        raise AssertionError("the options were taken")

    monkeypatch.setattr(cli, "listen", listen)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    try:
        code = cli.main(["--port", str(free_port()), "--db", str(tmp_path / "s.db"), *args])
    except SystemExit as exit:
        code = exit.code
    captured = capsys.readouterr()
    lines = (captured.out + captured.err).splitlines()
    assert code == 2
    assert any(said in line for line in lines), lines
    assert not any("Traceback" in line for line in lines)
    assert not (tmp_path / "s.db").exists()


@pytest.mark.parametrize(
    ("text", "durable"),
    [("off", False), ("0", False), ("no", False), ("on", True), ("1", True), ("yes", True)],
)
def test_boolean_variables_mean_what_they_say(monkeypatch, text, durable):
    monkeypatch.setenv("TESKO_DURABLE", text)
    assert cli.parser().parse_args([]).durable is durable
    assert cli.parser().parse_args(["--no-durable"]).durable is False


# -- the store and the port at start -------------------------------------------


def hold_store(tmp_path: Path):
    return SqliteStore(str(tmp_path / "s.db"))


def not_a_database(tmp_path: Path):
    (tmp_path / "s.db").write_bytes(b"this is no database\n" * 300)


def read_only(tmp_path: Path):
    path = tmp_path / "s.db"
    asyncio.run(SqliteStore(str(path)).close())
    mount("--bind", str(path), str(path))
    try:
        mount("-o", "remount,ro,bind", str(path))
    except BaseException:
        subprocess.run(["umount", str(path)], check=False)
        raise
    return path


def rooms_unlisted(tmp_path: Path):
    """A damaged page among the rooms themselves: no room can be listed."""
    from test_server_store import room

    store = SqliteStore(str(tmp_path / "s.db"))
    asyncio.run(store.write([room(f"ROOM{i:05d}", padding=200) for i in range(400)]))
    asyncio.run(store.close())
    data = bytearray((tmp_path / "s.db").read_bytes())
    page = data.index(b"ROOM00200") // 4096
    data[page * 4096 : (page + 1) * 4096] = b"\xff" * 4096
    (tmp_path / "s.db").write_bytes(bytes(data))


def port_in_use(tmp_path: Path):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    return listener


@pytest.mark.parametrize(
    ("make", "said"),
    [
        (hold_store, f"another tesko-server (process {os.getpid()}) is using it"),
        (not_a_database, "file is not a database"),
        pytest.param(
            read_only,
            "it cannot be written",
            marks=pytest.mark.skipif(not ROOT, reason="a read-only bind mount needs root"),
        ),
        (port_in_use, "cannot listen on 127.0.0.1 port"),
        # Found once the server has started: its log's lines, then this one.
        (rooms_unlisted, "tesko-server cannot start: its list of rooms cannot be read"),
    ],
)
def test_a_store_or_port_it_cannot_use_stops_it_with_one_line(tmp_path, make, said):
    held = make(tmp_path)
    port = held.getsockname()[1] if isinstance(held, socket.socket) else 0
    try:
        code, lines = start_cli(tmp_path, port=port)
    finally:
        if isinstance(held, socket.socket):
            held.close()
        elif isinstance(held, SqliteStore):
            asyncio.run(held.close())
        elif isinstance(held, Path):
            subprocess.run(["umount", str(held)], check=True)
    assert code == 1
    saying = [line for line in lines if said in line]
    if make is rooms_unlisted:  # after the log's lines, before uvicorn's last
        assert saying == lines[-2:-1], lines
    else:
        assert saying == lines and len(lines) == 1, lines
    assert not any("Traceback" in line for line in lines), lines
    if make is port_in_use:  # said before the store was touched
        assert not (tmp_path / "s.db").exists()


def test_rooms_that_cannot_be_read_are_skipped_and_kept(tmp_path):
    """One event with broken JSON, and a damaged page in another room's
    events: those two rooms are named in the log and counted in /metrics,
    the others are served, and nothing is deleted."""
    server = Server(tmp_path).start()
    try:

        async def make() -> list[str]:
            lobby = Lobby(server.base)
            rooms = [(await lobby.create())["room"]["id"] for _ in range(4)]
            for room in rooms:
                await lobby.join(room, "Ana")  # the room's event 1
            return rooms

        good, broken_json, damaged, other = run(make())
    finally:
        server.stop()
    db = sqlite3.connect(server.db)
    db.execute('UPDATE events SET data=\'{"kind": "jo\' WHERE room=?', (broken_json,))
    # Enough events of one room to fill pages of their own.
    pad = "x" * 300
    db.executemany(
        "INSERT INTO events VALUES (?,?,?,?,?,?,?,?)",
        [
            (damaged, 1000 + i, "pad", None, None, f'"PAD{i:05d}{pad}"', "{}", 0.0)
            for i in range(300)
        ],
    )
    db.commit()
    db.close()  # the last connection: the log goes into the file
    data = bytearray(server.db.read_bytes())
    page = data.index(b"PAD00150") // 4096
    data[page * 4096 : (page + 1) * 4096] = b"\xff" * 4096
    server.db.write_bytes(bytes(data))

    server = Server(tmp_path).start()
    try:
        statuses = {
            room: call(server.port, "GET", f"/api/rooms/{room}")[0]
            for room in (good, broken_json, damaged, other)
        }
        metrics = call(server.port, "GET", "/metrics")[2].decode()
    finally:
        server.stop()
    assert statuses == {good: 200, broken_json: 404, damaged: 404, other: 200}
    assert "tesko_store_unreadable_rooms 2.0" in metrics
    log = server.log.read_text()
    assert f"room {broken_json} skipped, left in the store: event 1 is not JSON" in log
    assert f"room {damaged} skipped, left in the store: database disk image is malformed" in log
    assert "Traceback" not in log
    db = sqlite3.connect(server.db)
    kept = {r for (r,) in db.execute("SELECT id FROM rooms")}
    db.close()
    assert {good, broken_json, damaged, other} <= kept


@pytest.mark.skipif(not ROOT, reason="mounting a small tmpfs needs root")
def test_a_full_disk_is_said_answered_and_ends_the_server_with_status_1(tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    mount("-t", "tmpfs", "-o", "size=2m", "tmpfs", str(small))
    server = Server(small, "--max-rooms-per-address", "10000")
    server.log = tmp_path / "server.log"  # not on the full disk
    try:
        server.start()
        free = os.statvfs(small)
        with open(small / "filler", "wb") as filler:
            try:
                filler.write(b"\0" * (free.f_bavail * free.f_frsize))
            except OSError:
                pass

        async def fill() -> list[tuple[int, object]]:
            lobby = Lobby(server.base)
            answers = []
            for _ in range(500):
                status, body = await asyncio.wait_for(
                    lobby.raw("POST", "/api/rooms", {"public": False}), 10
                )
                answers.append((status, body))
                if status != 201:
                    break
            return answers

        answers = run(fill())
        code = server.process.wait(30)
    finally:
        server.stop()
        subprocess.run(["umount", str(small)], check=True)
    status, body = answers[-1]
    assert status == 503 and body["error"]["code"] == "store_failed", answers[-1]
    assert code == 1
    log = server.log.read_text()
    assert "the store refused a write: database or disk is full" in log
    assert "cannot rollback" not in log and "Traceback" not in log


# -- request heads -------------------------------------------------------------


def talk(port: int, kind: str) -> tuple[bytes, float]:
    """Send a request head slowly, never, or without end; what comes back
    before the server closes (at most 8 s), and when."""
    sock = socket.create_connection(("127.0.0.1", port))
    start = time.monotonic()
    got = b""
    try:
        sock.settimeout(0.3)
        if kind == "endless":
            sock.sendall(b"GET /healthz HTTP/1.1\r\nX-Long: ")
            for _ in range(40):
                try:
                    sock.sendall(b"a" * 1024)
                except OSError:  # refused and closed, maybe before the end
                    break
        elif kind == "slow":
            sock.sendall(b"GET /healthz HTTP/1.1\r\n")
        while time.monotonic() - start < 8:
            try:
                chunk = sock.recv(4096)
            except TimeoutError:
                if kind == "slow":
                    sock.sendall(b"X-Slow: 1\r\n")
                continue
            except OSError:
                break
            if not chunk:
                break
            got += chunk
    finally:
        sock.close()
    return got, time.monotonic() - start


@pytest.mark.parametrize(
    ("kind", "status"), [("silent", b" 408 "), ("slow", b" 408 "), ("endless", b" 431 ")]
)
def test_request_heads_are_bounded_in_time_and_size(shared, kind, status):
    got, took = talk(shared.port, kind)
    assert got.startswith(b"HTTP/1.1" + status), got[:100]
    assert took < 5
    assert shared.health() == {"ok": True}


def test_many_slow_heads_leave_the_server_answering(shared):
    """200 connections that each send a header line every 0.3 s: the server
    answers /healthz meanwhile, and has closed every one of them within its
    header time (1 s here) and a margin."""

    async def flood() -> tuple[float, float, int]:
        async def slow() -> float:
            reader, writer = await asyncio.open_connection("127.0.0.1", shared.port)
            start = time.monotonic()
            writer.write(b"GET /healthz HTTP/1.1\r\n")
            try:
                while time.monotonic() - start < 8:
                    try:
                        if not await asyncio.wait_for(reader.read(4096), 0.3):
                            break
                    except asyncio.TimeoutError:
                        writer.write(b"X-Slow: 1\r\n")
            except OSError:
                pass
            finally:
                writer.close()
            return time.monotonic() - start

        tasks = [asyncio.ensure_future(slow()) for _ in range(200)]
        await asyncio.sleep(0.5)
        asked = time.monotonic()
        status = await asyncio.to_thread(lambda: call(shared.port, "GET", "/healthz")[0])
        answered = time.monotonic() - asked
        lived = await asyncio.gather(*tasks)
        return answered, max(lived), status

    answered, longest, status = run(flood(), timeout=30)
    assert status == 200 and answered < 1, answered
    assert longest < 4, longest


# -- addresses, lobby calls and origins ----------------------------------------


@pytest.mark.parametrize(
    ("host", "key"),
    [
        ("203.0.113.9", "203.0.113.9"),
        ("2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"),
        ("2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"),
        ("2001:db8:1:3::1", "2001:db8:1:3::/64"),
        ("::ffff:203.0.113.9", "203.0.113.9"),
    ],
)
def test_ipv6_clients_count_by_their_64(host, key):
    assert address_key(host) == key


@pytest.mark.parametrize(
    ("trusted", "forwarded", "statuses"),
    [
        # Not believed: all from 127.0.0.1, stopped at the limit.
        ((), ["198.51.100.1", "198.51.100.2", "198.51.100.3"], [201, 201, 429]),
        # Believed from the proxy named; one IPv6 /64 is one client.
        (
            ("--forwarded-allow-ips", "127.0.0.1"),
            ["2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8:0:1::1", "198.51.100.1"],
            [201, 201, 429, 201, 201],
        ),
    ],
)
def test_forwarded_addresses_only_from_named_proxies(tmp_path, trusted, forwarded, statuses):
    server = Server(tmp_path, *trusted, "--max-rooms-per-address", "2").start()
    try:
        made = [
            call(server.port, "POST", "/api/rooms", b"{}", {**JSON, "X-Forwarded-For": address})[0]
            for address in forwarded
        ]
    finally:
        server.stop()
    assert made == statuses


@pytest.fixture(scope="module")
def waiting_room(shared):
    status, _, made = call(shared.port, "POST", "/api/rooms", b"{}", JSON)
    assert status == 201
    return made["room"]["id"]


@pytest.mark.parametrize(
    ("route", "headers", "status", "code"),
    [
        ("create", {"Content-Type": "text/plain"}, 415, "bad_content_type"),
        ("create", {}, 415, "bad_content_type"),
        ("create", {**JSON, "Origin": "http://evil.example"}, 403, "bad_origin"),
        ("create", {**JSON, "Origin": "http://rebound.example:{port}"}, 403, "bad_origin"),
        ("create", {"Content-Type": "application/json; charset=utf-8"}, 201, None),
        ("create", {**JSON, "Origin": "http://127.0.0.1:{port}"}, 201, None),
        ("join", {"Content-Type": "text/plain"}, 415, "bad_content_type"),
        ("join", {**JSON, "Origin": "http://evil.example"}, 403, "bad_origin"),
        ("leave", {"Content-Type": "text/plain", "Authorization": "Bearer x"}, 415, None),
    ],
)
def test_lobby_calls_take_json_from_allowed_origins(
    shared, waiting_room, route, headers, status, code
):
    path = {
        "create": "/api/rooms",
        "join": f"/api/rooms/{waiting_room}/join",
        "leave": f"/api/rooms/{waiting_room}/leave",
    }[route]
    headers = {k: v.format(port=shared.port) for k, v in headers.items()}
    if "rebound" in headers.get("Origin", ""):  # a page whose name resolves here
        headers["Host"] = f"rebound.example:{shared.port}"
    got, _, body = call(shared.port, "POST", path, b'{"public": false}', headers)
    assert got == status, body
    if code is not None:
        assert body["error"]["code"] == code


def upgrade(port: int, host: str, origin: str) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(
            (
                f"GET /ws/nosuchroom HTTP/1.1\r\nHost: {host}\r\nOrigin: {origin}\r\n"
                "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
            ).encode()
        )
        return sock.recv(100).split(b"\r\n")[0]


@pytest.mark.parametrize(
    ("host", "origin", "status"),
    [
        ("rebound.example:{port}", "http://rebound.example:{port}", b"403"),
        ("127.0.0.1:{port}", "http://evil.example", b"403"),
        ("127.0.0.1:{port}", "http://127.0.0.1:{port}", b"101"),
        ("localhost:{port}", "http://localhost:{port}", b"101"),
        ("games.example", "https://games.example", b"101"),
    ],
)
def test_sockets_trust_configured_origins_not_the_host_header(shared, host, origin, status):
    line = upgrade(shared.port, host.format(port=shared.port), origin.format(port=shared.port))
    assert line.split(b" ")[1] == status, line


@pytest.mark.parametrize(
    ("server", "origin", "allowed"),
    [
        # A server on a wildcard address, opened at one of its machine's addresses.
        (("192.0.2.2", 8000), "http://192.0.2.2:8000", True),
        (("192.0.2.2", 8000), "http://192.0.2.9:8000", False),
        (("192.0.2.2", 8000), "http://192.0.2.2:8001", False),
        (("192.0.2.2", 8000), "http://rebound.example:8000", False),
        (("2001:db8::2", 80), "http://[2001:db8::2]", True),
        (None, "http://192.0.2.2:8000", False),
    ],
)
def test_origins_of_the_address_a_connection_came_in_on(server, origin, allowed):
    from starlette.requests import Request
    from tesko_server.app import origin_allowed

    host = f"rebound.example:{server[1]}" if server else "x"
    scope = {
        "type": "http",
        "server": server,
        "headers": [(b"origin", origin.encode()), (b"host", host.encode())],
    }
    assert origin_allowed(Request(scope), ("http://127.0.0.1:8000",)) is allowed


@pytest.mark.parametrize(
    ("path", "cache"),
    [
        ("/", "no-cache"),
        ("/r/abc", "no-cache"),
        ("/static/api.js", "no-cache"),
        ("/api/rooms", "no-store"),
        ("/healthz", "no-store"),
        ("/metrics", "no-store"),
    ],
)
def test_cache_control(shared, path, cache):
    status, headers, _ = call(shared.port, "GET", path)
    assert status == 200 and headers["cache-control"] == cache


def test_healthz_says_only_ok_and_metrics_name_the_workers(shared):
    assert call(shared.port, "GET", "/healthz")[2] == {"ok": True}
    metrics = call(shared.port, "GET", "/metrics")[2].decode()
    (line,) = [
        m for m in metrics.splitlines() if m.startswith('tesko_engine_worker_pid{worker="0"}')
    ]
    os.kill(int(float(line.split()[-1])), 0)  # a running process
