"""Limits and protection: message size, rate, origins, lobby errors, headers,
the store's schema."""

from __future__ import annotations

import asyncio
import contextlib
import json
import sqlite3

import pytest
import websockets
from server_helpers import Server, run
from tesko_server.client import Closed, Lobby, RoomClient
from tesko_server.rows import StoreError
from tesko_server.store import SCHEMA_VERSION, SqliteStore


class From(Lobby):
    """A lobby whose calls come from `address`, as the proxy on 127.0.0.1
    (the only one the server trusts) names it in X-Forwarded-For."""

    def __init__(self, base: str, address: str) -> None:
        super().__init__(base)
        self.address = address

    async def raw(self, method, path, body=None, token=None, headers=None, data=None):
        headers = {"X-Forwarded-For": self.address, **(headers or {})}
        return await super().raw(method, path, body, token, headers, data)


@pytest.fixture(scope="module")
def rated(tmp_path_factory):
    """One lobby call a second per address, bursts of 2; five messages a
    second per socket, bursts of 10; three sockets per address. Each test
    calls the lobby from addresses of its own."""
    args = ("--lobby-rate", "1", "--forwarded-allow-ips", "127.0.0.1")
    args += ("--rate", "5", "--max-sockets-per-address", "3")
    server = Server(tmp_path_factory.mktemp("rated"), *args)
    yield server.start()
    server.end()


async def seated(server, lobby: Lobby | None = None) -> tuple[Lobby, RoomClient]:
    lobby = lobby or Lobby(server.base)
    made = await lobby.create(join={"name": "Ana"})
    client = RoomClient(server.base, made["room"]["id"], token=made["token"], reconnect=False)
    await client.connect()
    return lobby, client


async def closed_by(client: RoomClient) -> Closed:
    for _ in range(200):
        if client.closed is not None:
            return client.closed
        await asyncio.sleep(0.02)
    raise AssertionError("the server did not close the connection")


def test_an_oversized_message_closes_the_connection(server):
    async def scenario():
        lobby, client = await seated(server)
        await client.send_raw(json.dumps({"type": "ping", "pad": "x" * 4096}))
        return await closed_by(client)

    assert run(scenario()).code == 1009


def test_a_flood_over_the_rate_limit_closes_the_connection(rated):
    server = rated

    async def scenario():
        lobby, client = await seated(server, From(server.base, "10.2.0.1"))
        for _ in range(60):
            await client.send_raw('{"type":"ping"}')
        closed = await closed_by(client)
        errors = [n for n in client.notices if n["type"] == "error"]
        pongs = [m for m in client.messages if m["type"] == "pong"]
        return closed, errors, pongs

    closed, errors, pongs = run(scenario())
    assert closed.code == 1008
    assert [e["code"] for e in errors] == ["rate_limited"]
    assert 5 <= len(pongs) <= 12  # a burst of twice the rate went through


@pytest.fixture(scope="module")
def origins_server(tmp_path_factory):
    server = Server(tmp_path_factory.mktemp("origins"), "--allow-origin", "https://game.example")
    yield server.start()
    server.end()


@pytest.mark.parametrize(
    ("origin", "allowed"),
    [
        ("http://evil.example", False),
        ("null", False),
        ("http://127.0.0.1:{port}", True),  # the server's own
        ("https://game.example", True),  # allowed by --allow-origin
    ],
)
def test_websocket_origins(origins_server, origin, allowed):
    server = origins_server
    origin = origin.format(port=server.port)

    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(join={"name": "Ana"})
        client = RoomClient(
            server.base, made["room"]["id"], token=made["token"], origin=origin, reconnect=False
        )
        try:
            await client.connect()
        except websockets.InvalidStatus as err:
            return err.response.status_code
        return client.seat

    assert run(scenario()) == ("A" if allowed else 403)


def test_lobby_errors_have_codes_and_statuses(server_factory):
    server = server_factory("--max-rooms-per-address", "1")

    async def scenario():
        lobby = Lobby(server.base)
        answers = [
            await lobby.raw("POST", "/api/rooms", data=b"{nope"),
            await lobby.raw("POST", "/api/rooms", {"ply_limit": 0}),
            await lobby.raw(
                "POST", "/api/rooms", {"seats": {"A": {"kind": "engine"}, "B": {"kind": "engine"}}}
            ),
            await lobby.raw("POST", "/api/rooms", {"join": {"name": "x" * 25}}),
            await lobby.raw("POST", "/api/rooms", {"join": {"name": "a\u0000b"}}),
            await lobby.raw("POST", "/api/rooms", {"join": {"name": "y" * 5000}}),
            await lobby.raw("GET", "/api/rooms/nosuchroom"),
            await lobby.raw("GET", "/api/rooms?status=everything"),
        ]
        made = await lobby.create(join={"seat": "A", "name": "<b>Ana</b>"})
        room = made["room"]["id"]
        answers.append(
            await lobby.raw("POST", f"/api/rooms/{room}/join", {"seat": "A", "name": "B"})
        )
        await lobby.join(room, "Bia")
        answers.append(await lobby.raw("POST", f"/api/rooms/{room}/join", {"name": "Cy"}))
        answers.append(await lobby.raw("POST", "/api/rooms", {}))  # a second room from this address
        read = await lobby.read(room)
        return answers, read

    answers, read = run(scenario())
    codes = [(status, body["error"]["code"]) for status, body in answers]
    assert codes == [
        (400, "bad_request"),
        (400, "bad_request"),
        (400, "bad_request"),
        (400, "bad_request"),
        (400, "bad_request"),
        (413, "too_large"),
        (404, "no_such_room"),
        (400, "bad_request"),
        (409, "seat_taken"),
        (409, "room_full"),
        (429, "too_many_rooms"),
    ]
    assert read["room"]["seats"]["A"]["name"] == "<b>Ana</b>"  # text, kept as typed


def test_lobby_calls_are_rate_limited_per_address(rated):
    async def scenario():
        lobby = From(rated.base, "10.0.0.1")
        burst = [await lobby.raw("GET", "/api/rooms") for _ in range(6)]
        other = await From(rated.base, "10.0.0.2").raw("GET", "/api/rooms")
        await asyncio.sleep(1.1)  # a call's worth of time
        return burst, other, await lobby.raw("POST", "/api/rooms", {})

    burst, other, later = run(scenario())
    statuses = [status for status, _ in burst]
    assert statuses[:2] == [200] * 2 and statuses[-2:] == [429, 429]
    assert other[0] == 200  # another address has its own
    assert burst[-1][1]["error"]["code"] == "too_many_requests"
    assert later[0] == 201


def test_room_sockets_are_limited_per_address(rated):
    server = rated

    async def scenario():
        made = await From(server.base, "10.3.0.1").create(join={"name": "Ana"})
        url = server.base.replace("http", "ws") + f"/ws/{made['room']['id']}"
        first = [await websockets.connect(url) for _ in range(3)]
        async with websockets.connect(url) as extra:
            refused = json.loads(await extra.recv())
            await extra.wait_closed()
        await first[0].close()
        await asyncio.sleep(0.2)
        async with websockets.connect(url) as again:
            await again.send(json.dumps({"type": "hello"}))
            welcome = json.loads(await again.recv())
        for ws in first[1:]:
            await ws.close()
        return refused, extra.close_code, welcome

    refused, code, welcome = run(scenario())
    assert (refused["code"], code) == ("too_many_sockets", 1013)
    assert welcome["type"] == "welcome"


ROUTES = [
    ("GET", "/api/rooms"),
    ("POST", "/api/rooms"),
    ("GET", "/api/rooms/{room}"),
    ("GET", "/api/rooms/{room}/record"),
    ("POST", "/api/rooms/{room}/join"),
    ("POST", "/api/rooms/{room}/leave"),
]


@pytest.mark.parametrize("method, path", ROUTES)
def test_every_lobby_route_counts_toward_the_lobby_rate(rated, method, path):
    index = ROUTES.index((method, path))

    async def scenario():
        room = (await From(rated.base, f"10.1.{index}.1").create())["room"]["id"]
        lobby = From(rated.base, f"10.1.{index}.2")
        url = path.format(room=room)
        return [await lobby.raw(method, url, {"name": "Ana"}) for _ in range(3)]

    answers = run(scenario())
    assert [status == 429 for status, _ in answers] == [False, False, True], answers


# Two addresses of one IPv6 /64, and one of the next /64, as a proxy on
# 127.0.0.1 names them in X-Forwarded-For.
SAME_64 = ("2001:db8:0:1::1", "2001:db8:0:1:ffff::2")
OTHER_64 = "2001:db8:0:2::1"


@pytest.mark.parametrize(
    "limit, args, refusal",
    [
        ("lobby calls", ["--lobby-rate", "1"], "too_many_requests"),  # bursts of 2
        ("rooms made a minute", ["--create-rate", "4"], "too_many_requests"),  # bursts of 1
        ("open rooms", ["--max-rooms-per-address", "1"], "too_many_rooms"),
        ("room sockets", ["--max-sockets-per-address", "1"], "too_many_sockets"),
    ],
    ids=["lobby calls", "rooms made a minute", "open rooms", "room sockets"],
)
def test_every_limit_per_address_counts_an_ipv6_64_as_one(server_factory, limit, args, refusal):
    """An IPv6 client fills its /64 with addresses at will: each limit per
    address counts the /64, as the room creation's does. (The engine seats'
    think time counts by the room's creator, the key of open rooms.)"""
    server = server_factory("--forwarded-allow-ips", "127.0.0.1", *args)
    held: list = []

    async def attempt(address: str) -> str:
        lobby = Lobby(server.base)
        forwarded = {"X-Forwarded-For": address}
        if limit == "lobby calls":
            status, answer = await lobby.raw("GET", "/api/rooms", headers=forwarded)
        elif limit != "room sockets":
            status, answer = await lobby.raw("POST", "/api/rooms", {}, headers=forwarded)
        else:
            url = server.base.replace("http", "ws") + f"/ws/{room}"
            ws = await websockets.connect(url, additional_headers=forwarded)
            held.append(ws)
            with contextlib.suppress(websockets.ConnectionClosed):
                await ws.send(json.dumps({"type": "hello"}))
            first = json.loads(await ws.recv())
            return "ok" if first["type"] == "welcome" else first["code"]
        return "ok" if status < 300 else answer["error"]["code"]

    async def scenario():
        got = [await attempt(SAME_64[0])]
        if limit == "lobby calls":  # the burst's second call
            got.append(await attempt(SAME_64[0]))
        got.append(await attempt(SAME_64[1]))
        got.append(await attempt(OTHER_64))
        for ws in held:
            await ws.close()
        return got

    room = run(Lobby(server.base).create())["room"]["id"]
    got = run(scenario())
    assert got[-2:] == [refusal, "ok"] and set(got[:-2]) == {"ok"}, got


def test_every_answer_carries_the_content_policy(server):
    import urllib.request

    for path in ("/", "/r/abc", "/static/index.html", "/api/rooms", "/healthz", "/metrics"):
        with urllib.request.urlopen(server.base + path, timeout=5) as answer:
            headers = answer.headers
            body = answer.read()
        policy = headers["content-security-policy"]
        assert "default-src 'self'" in policy and "script-src 'self'" in policy, path
        assert "unsafe-inline" not in policy
        assert f"ws://127.0.0.1:{server.port}" in policy
        assert headers["x-content-type-options"] == "nosniff"
    assert b"tesko_moves" in body  # the metrics page, last


def test_the_store_migrates_and_refuses_a_newer_schema(tmp_path):
    path = str(tmp_path / "s.db")
    store = SqliteStore(path)
    assert store.schema_version == SCHEMA_VERSION
    asyncio.run(store.close())
    asyncio.run(SqliteStore(path).close())  # opening again applies nothing twice
    db = sqlite3.connect(path)
    db.execute("UPDATE schema_version SET version = ?", (SCHEMA_VERSION + 1,))
    db.commit()
    db.close()
    with pytest.raises(StoreError, match="newer tesko-server"):
        SqliteStore(path)


def test_idle_rooms_expire_and_finished_ones_stay_for_review(server_factory):
    # Swept every quarter of the shorter time: 0.25 s.
    server = server_factory("--idle-timeout", "1", "--review-time", "2")

    async def scenario():
        lobby = Lobby(server.base)

        async def gone(room: str) -> None:
            for _ in range(200):
                if (await lobby.raw("GET", f"/api/rooms/{room}"))[0] == 404:
                    return
                await asyncio.sleep(0.05)
            raise AssertionError(f"room {room} did not expire")

        idle = (await lobby.create(join={"name": "Ana"}))["room"]["id"]
        made = await lobby.create(
            seats={"B": {"kind": "engine", "level": 1}}, join={"seat": "A", "name": "Ana"}
        )
        me = RoomClient(server.base, made["room"]["id"], token=made["token"])
        await me.connect()
        while await me.wait_for_turn():
            await me.play(me.legal_moves[0])
        await gone(idle)  # made before the game ended, and idle since
        review = await lobby.read(me.room_id)  # the finished room is kept for its review
        await gone(me.room_id)
        return review

    review = run(scenario())
    assert review["room"]["status"] == "over" and review["history"]
    db = sqlite3.connect(server.db)
    assert db.execute("SELECT count(*) FROM rooms").fetchone() == (0,)
    db.close()


def test_the_docs_mention_every_option():
    import re
    import subprocess
    import sys

    from docs_text import section

    text = section("docs/server.md", "## Running it")
    help_text = subprocess.run(
        [sys.executable, "-m", "tesko_server", "--help"], capture_output=True, text=True
    ).stdout
    for option in set(re.findall(r"--[a-z][a-z-]*", help_text)) - {"--help"}:
        assert option in text, option
        variable = "TESKO_" + option[2:].removeprefix("no-").upper().replace("-", "_")
        # --nodes is `cluster up`'s, a command of its own, read from no variable.
        assert variable in text or option in ("--allow-origin", "--nodes"), option


def test_the_docs_name_every_metric():
    """Each metric of the server has a row in its docs naming it as scraped
    (a counter with `_total`) and each of its labels, and no row names a
    metric the server lacks."""
    from docs_text import section
    from prometheus_client.metrics import MetricWrapperBase
    from tesko_server import metrics

    rows = {
        line.split("|")[1].strip(" `"): line
        for line in section("docs/server.md", "### Metrics").splitlines()
        if line.startswith("| `tesko_")
    }
    served = {}
    for metric in vars(metrics).values():
        if isinstance(metric, MetricWrapperBase):
            name = metric._name + ("_total" if metric._type == "counter" else "")
            served[name] = metric._labelnames
    assert served, "no metrics found"
    for name, labels in served.items():
        assert name in rows, f"{name} is not in docs/server.md"
        for label in labels:
            assert f"`{label}`" in rows[name], f"{name}: label {label} is not in docs/server.md"
    assert set(rows) == set(served), f"docs/server.md names {set(rows) - set(served)} too"
