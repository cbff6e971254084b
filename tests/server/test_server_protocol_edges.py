"""The protocol's edges as docs/protocol.md states them, against a real
server shared by the module: what closes a room socket, what a hello may
leave out, odd moves and counters, the order of the join checks, the forms
of the Authorization header, a seat's second connection, and what a seat
can still do after the end."""

from __future__ import annotations

import asyncio
import json
import urllib.error
import urllib.request

import pytest
import websockets
from server_helpers import Server, run

HELLO = {"type": "hello"}
PING = {"type": "ping"}


class Raw(str):
    """A text frame sent as it is, not as JSON."""


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    server = Server(tmp_path_factory.mktemp("edges"), "--max-rooms-per-address", "200")
    server.start()
    yield server
    server.end()


def http(server: Server, method: str, path: str, body=None, headers=None) -> tuple[int, dict]:
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(server.base + path, data, headers or {}, method=method)
    if method == "POST":
        request.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as err:
        return err.code, json.loads(err.read())


def two_people(server: Server, **options) -> tuple[str, str, str]:
    """A room with both seats taken: its id and the tokens of A and B."""
    status, made = http(server, "POST", "/api/rooms", {**options, "join": {"name": "Ana"}})
    assert status == 201, made
    room = made["room"]["id"]
    status, joined = http(server, "POST", f"/api/rooms/{room}/join", {"name": "Bia"})
    assert status == 200, joined
    return room, made["token"], joined["token"]


def first_move(server: Server, room: str) -> str:
    return http(server, "GET", f"/api/rooms/{room}")[1]["state"]["legal_moves"][0]


def finished(server: Server) -> tuple[str, str, str]:
    """A room of two people whose game ended on its first move."""
    room, a, b = two_people(server, ply_limit=1)
    got, _ = run(
        talk(server, room, {**HELLO, "token": a}, move(first_move(server, room), 1), until=acked)
    )
    assert acked(got), got
    return room, a, b


def acked(got: list[dict]) -> bool:
    return any(m["type"] == "ack" for m in got)


def move(text, n) -> dict:
    return {"type": "move", "move": text, "n": n}


async def talk(server: Server, room: str, *frames, until=None, timeout: float = 10):
    """Send `frames` (JSON, or bytes as a binary frame, or `Raw` text) and a
    ping after them, then collect what comes until the server closes or
    answers that ping (it answers a socket's messages in order, so all the
    frames called for came before its pong, which is left out), or, given
    `until`, until `until(got)` holds (for what comes later, such as an
    acknowledgement after its commit): the messages, and the close code
    (None while open)."""
    got: list[dict] = []
    pings = sum(1 for f in frames if isinstance(f, dict) and f.get("type") == "ping")
    async with websockets.connect(f"ws://127.0.0.1:{server.port}/ws/{room}") as ws:
        try:
            for frame in frames:
                await ws.send(frame if isinstance(frame, (bytes, Raw)) else json.dumps(frame))
            if until is None:
                await ws.send(json.dumps({"type": "ping"}))
            while until is None or not until(got):
                got.append(json.loads(await asyncio.wait_for(ws.recv(), timeout)))
                if until is None and sum(m["type"] == "pong" for m in got) > pings:
                    got.pop()
                    break
        except websockets.ConnectionClosed as closed:
            return got, closed.rcvd.code if closed.rcvd else None
    return got, None


@pytest.mark.parametrize(
    "frames, code, words",
    [
        pytest.param(
            [move("A1", 1)], "bad_message", "the first message is a hello", id="move first"
        ),
        pytest.param([b'{"type": "hello"}'], "bad_message", None, id="a binary hello"),
        pytest.param([Raw("hello")], "bad_message", None, id="a hello that is not JSON"),
        pytest.param(
            [HELLO, HELLO], "bad_message", "hello is the first message only", id="a second hello"
        ),
        pytest.param(
            [HELLO, {"type": "nope"}],
            "bad_message",
            "unknown message type 'nope'",
            id="an unknown type",
        ),
        pytest.param(
            [HELLO, {"type": "x" * 200}],
            "bad_message",
            f"unknown message type '{'x' * 40}...'",
            id="a long unknown type",
        ),
        pytest.param(
            [HELLO, {"move": "A1", "n": 1}], "bad_message", "a message needs a type", id="no type"
        ),
        pytest.param(
            [HELLO, {"type": 7}], "bad_message", "a message's type is a string", id="type 7"
        ),
        pytest.param([HELLO, b'{"type": "ping"}'], "bad_message", None, id="a binary frame"),
        pytest.param([HELLO, [1, 2]], "bad_message", None, id="JSON but no object"),
        pytest.param([{**HELLO, "protocol": 2}], "bad_protocol", None, id="protocol 2"),
        pytest.param([{**HELLO, "protocol": None}], "bad_protocol", None, id="protocol null"),
        pytest.param([{**HELLO, "token": ""}], "bad_token", None, id="an empty token"),
        pytest.param([{**HELLO, "token": 5}], "bad_token", None, id="a token not a string"),
    ],
)
def test_what_closes_a_room_socket(shared, frames, code, words):
    room, _, _ = two_people(shared)
    got, closed = run(talk(shared, room, *frames))
    errors = [m for m in got if m["type"] == "error"]
    assert [e["code"] for e in errors] == [code] and got[-1] is errors[0], got
    assert words is None or errors[0]["message"] == words
    assert closed == 1008


@pytest.mark.parametrize("version", [None, "1", 1.0, True, -1, 99], ids=lambda v: f"version {v!r}")
def test_a_hello_without_a_usable_version_gets_a_snapshot(shared, version):
    room, _, _ = two_people(shared)  # at version 1: the join
    hello = HELLO if version is None else {**HELLO, "version": version}
    got, closed = run(talk(shared, room, hello))
    assert [m["type"] for m in got] == ["welcome", "snapshot"] and closed is None
    assert got[0]["protocol"] == 1  # no protocol in the hello: 1
    # ... while an integer within the room's versions is continued from.
    got, _ = run(talk(shared, room, {**HELLO, "version": 0}))
    assert [m["type"] for m in got] == ["welcome", "event", "presence"]


@pytest.mark.parametrize(
    "sent, code, message",
    [
        (move("", 1), "illegal_move", "Formato inválido."),
        (move("   ", 1), "illegal_move", "Formato inválido."),
        (move(5, 1), "bad_message", "move is the text of a move"),
        (move("A1" * 9, 1), "bad_message", "move is the text of a move"),
        ({"type": "move", "move": "A1"}, "bad_message", "n is a positive integer"),
        (move("A1", 0), "bad_message", "n is a positive integer"),
        ({"type": "rematch", "n": 1}, "bad_message", "the game is not over"),
    ],
    ids=lambda v: repr(v) if isinstance(v, dict) else None,
)
def test_a_refusal_keeps_the_socket_open(shared, sent, code, message):
    room, a, _ = two_people(shared)

    # An illegal move is refused by the engine, after the ping's answer.
    def answered(got):
        return {"refused", "pong"} <= {m["type"] for m in got}

    got, closed = run(talk(shared, room, {**HELLO, "token": a}, sent, PING, until=answered))
    refused = [m for m in got if m["type"] == "refused"]
    assert refused == [{"type": "refused", "n": sent.get("n"), "code": code, "message": message}]
    assert {"type": "pong"} in got and closed is None  # the ping after it is answered


def test_a_skipped_counter_is_a_duplicate_without_a_version(shared):
    room, a, _ = two_people(shared)
    mv = first_move(shared, room)

    async def scenario():
        async with websockets.connect(f"ws://127.0.0.1:{shared.port}/ws/{room}") as ws:
            await ws.send(json.dumps({**HELLO, "token": a}))
            await ws.send(json.dumps(move(mv, 5)))
            acks = []
            for n in (None, 3, 5):
                if n is not None:
                    await ws.send(json.dumps(move(mv, n)))
                while True:
                    answer = json.loads(await asyncio.wait_for(ws.recv(), 10))
                    if answer["type"] in ("ack", "refused"):
                        break
                acks.append(answer)
            return acks

    assert run(scenario()) == [
        {"type": "ack", "n": 5, "version": 2},
        {"type": "ack", "n": 3, "version": None, "duplicate": True},
        {"type": "ack", "n": 5, "version": 2, "duplicate": True},
    ]
    assert http(shared, "GET", f"/api/rooms/{room}")[1]["version"] == 2  # nothing more played


def test_the_creators_seat_is_no_event(shared):
    status, made = http(shared, "POST", "/api/rooms", {"join": {"name": "Ana"}})
    room = made["room"]["id"]
    assert http(shared, "GET", f"/api/rooms/{room}")[1]["version"] == 0
    http(shared, "POST", f"/api/rooms/{room}/join", {"name": "Bia"})
    got, _ = run(talk(shared, room, {**HELLO, "version": 0}))
    (event,) = [m["event"] for m in got if m["type"] == "event"]
    assert event == {"kind": "join", "seat": "B", "name": "Bia"}


@pytest.mark.parametrize(
    "body, status, code",
    [
        ({"name": "Cy"}, 409, "game_over"),  # not room_full, though both seats are taken
        ({"seat": "A", "name": "Cy"}, 409, "game_over"),  # not seat_taken
        ({"seat": "C", "name": "Cy"}, 409, "game_over"),  # not bad_request for the seat
        ({"name": ""}, 400, "bad_request"),  # the name comes first
    ],
)
def test_join_checks_the_game_before_the_seats(shared, body, status, code):
    room, _, _ = finished(shared)
    answer = http(shared, "POST", f"/api/rooms/{room}/join", body)
    assert (answer[0], answer[1]["error"]["code"]) == (status, code)


def test_an_engine_seat_cannot_be_joined(shared):
    seats = {"B": {"kind": "engine", "level": 1}}
    _, made = http(shared, "POST", "/api/rooms", {"seats": seats})
    room = made["room"]["id"]
    assert http(shared, "POST", f"/api/rooms/{room}/join", {"seat": "B", "name": "X"}) == (
        409,
        {"error": {"code": "seat_taken", "message": "seat B is taken"}},
    )
    assert http(shared, "POST", f"/api/rooms/{room}/join", {"name": "X"})[1]["seat"] == "A"
    assert http(shared, "POST", f"/api/rooms/{room}/join", {"name": "Y"})[1]["error"] == {
        "code": "room_full",
        "message": "no seat is free",
    }


@pytest.mark.parametrize(
    "header, status",
    [
        ("Bearer {}", 403),
        ("bearer {}", 403),
        ("BEARER   {}  ", 403),
        ("Bearer\t{}", 401),
        ("{}", 401),
        ("Token {}", 401),
        ("Bearer ", 401),
        (None, 401),
    ],
)
def test_the_forms_of_the_authorization_header(shared, header, status):
    """Read with a token of another room: 403 means the header was read,
    401 that it was not."""
    room, _, _ = two_people(shared)
    _, other, _ = two_people(shared)
    headers = {} if header is None else {"Authorization": header.format(other)}
    answer = http(shared, "POST", f"/api/rooms/{room}/leave", headers=headers)
    expected = "bad_token" if status == 403 else "missing_token"
    assert (answer[0], answer[1]["error"]["code"]) == (status, expected)


def test_leaving_after_the_end(shared):
    room, a, b = finished(shared)
    status, left = http(
        shared, "POST", f"/api/rooms/{room}/leave", headers={"Authorization": f"bearer   {b} "}
    )
    assert status == 200 and left["room"]["status"] == "over"
    assert left["room"]["seats"]["B"]["taken"] is False
    got, _ = run(talk(shared, room, {**HELLO, "version": 2}))
    assert [m["event"] for m in got if m["type"] == "event"] == [{"kind": "leave", "seat": "B"}]
    got, closed = run(talk(shared, room, {**HELLO, "token": b}))
    assert got[-1]["code"] == "bad_token" and closed == 1008
    assert http(shared, "POST", f"/api/rooms/{room}/join", {"name": "Cy"})[0] == 409


def test_a_spectator_cannot_ask_for_a_rematch(shared):
    room, _, _ = finished(shared)
    got, closed = run(talk(shared, room, HELLO, {"type": "rematch", "n": 1}))
    assert got[-1] == {
        "type": "refused",
        "n": 1,
        "code": "spectator",
        "message": "a spectator cannot ask for a rematch",
    }
    assert closed is None


def test_a_seat_with_two_connections(shared):
    room, a, b = two_people(shared)
    mv = first_move(shared, room)

    async def scenario():
        url = f"ws://127.0.0.1:{shared.port}/ws/{room}"
        got: dict[str, list[dict]] = {"one": [], "two": [], "other": []}

        async def read(name, ws, done):
            while not done(got[name]):
                got[name].append(json.loads(await asyncio.wait_for(ws.recv(), 10)))

        def has(kind):
            return lambda messages: any(m["type"] == kind for m in messages)

        async with (
            websockets.connect(url) as one,
            websockets.connect(url) as two,
            websockets.connect(url) as other,
        ):
            for ws, token in ((one, a), (two, a), (other, b)):
                await ws.send(json.dumps({**HELLO, "token": token}))
            for name, ws in (("one", one), ("two", two), ("other", other)):
                await read(name, ws, has("snapshot"))
            await two.send(json.dumps(move(mv, 1)))
            await read("two", two, lambda m: has("ack")(m) and has("event")(m))
            await read("one", one, has("event"))
            await read("other", other, has("event"))
            await two.close()
            # A presence that said A had gone would come within a presence
            # interval (0.25 s) of the close; a pong ends what each is sent.
            await asyncio.sleep(0.75)
            for name, ws in (("one", one), ("other", other)):
                await ws.send(json.dumps({"type": "ping"}))
                await read(name, ws, has("pong"))
                got[name].pop()
            return got

    got = run(scenario())
    for name in ("one", "two"):
        welcome = got[name][0]
        assert welcome["seat"] == "A" and welcome["last_n"] == 0
        assert [m["event"]["move"] for m in got[name] if m["type"] == "event"] == [mv]
    assert [m["n"] for m in got["two"] if m["type"] == "ack"] == [1]
    assert not [m for m in got["one"] if m["type"] == "ack"]  # the ack goes to its sender
    # The seat is connected until its last connection closes: no presence
    # (one is sent only when what it says changes) ever says A has gone.
    for name in ("one", "other"):
        assert all(m["seats"]["A"] is True for m in got[name] if m["type"] == "presence")
