"""Games in rooms through the real server: seats, turns, versions, refusals,
on either store."""

from __future__ import annotations

import asyncio
import json
import random
import subprocess
import sys

import pytest
import websockets
from server_helpers import STORES, Server, run
from tesko import Board, Player
from tesko_server.client import Closed, Lobby, MoveRefused, RoomClient


@pytest.fixture(scope="module", params=STORES)
def server(request, tmp_path_factory):
    """The module's shared server, on each store in turn."""
    store = request.getfixturevalue("module_database") if request.param == "postgresql" else None
    server = Server(
        tmp_path_factory.mktemp("server"), "--max-rooms-per-address", "1000", store=store
    )
    yield server.start()
    server.end()


async def play_out(*clients: RoomClient, rng: random.Random) -> int:
    """Play random legal moves for every seat given until the game ends."""
    moves = 0

    async def seat(client: RoomClient) -> None:
        nonlocal moves
        while await client.wait_for_turn():
            await client.play(rng.choice(client.legal_moves))
            moves += 1

    await asyncio.gather(*(seat(c) for c in clients))
    return moves


async def two_seats(lobby: Lobby, **options) -> tuple[RoomClient, RoomClient, str]:
    made = await lobby.create(join={"seat": "A", "name": "Ana"}, **options)
    room = made["room"]["id"]
    joined = await lobby.join(room, "Bia")
    a = RoomClient(lobby.base, room, token=made["token"])
    b = RoomClient(lobby.base, room, token=joined["token"])
    await a.connect()
    await b.connect()
    return a, b, room


def test_two_people_play_a_whole_game_watched_by_a_spectator(server):
    async def scenario():
        lobby = Lobby(server.base)
        a, b, room = await two_seats(lobby)
        watcher = RoomClient(server.base, room)
        await watcher.connect()
        assert (a.seat, b.seat, watcher.seat) == ("A", "B", None)
        assert room in [r["id"] for r in await lobby.rooms("playing")]
        moves = await play_out(a, b, rng=random.Random(1))
        await asyncio.sleep(0.2)
        read = await lobby.read(room)
        return a, b, watcher, moves, read

    a, b, watcher, moves, read = run(scenario())
    assert read["room"]["status"] == "over"
    assert read["state"]["result"] == a.result == b.result == watcher.result
    assert read["state"]["result"]["end"] in ("no cards", "no moves", "ply limit")
    # Everyone saw every event, numbered without gaps, and the same history.
    for client in (a, b, watcher):
        events = [m for m in client.messages if m["type"] == "event"]
        versions = [m["version"] for m in events]
        assert versions == list(range(versions[0], versions[0] + len(versions)))
        assert client.history == read["history"]
        assert not [n for n in client.notices if n["type"] == "gap"]
    turns = [(t["player"], t["move"]) for t in read["history"]]
    assert sum(1 for _, m in turns if m) == moves == read["state"]["plies"]
    stored = [(p, m) for _, p, m in server.stored_turns()[read["room"]["id"]]]
    assert stored == turns
    # The 12 cells describe every slot, and an empty one as empty.
    cells = read["state"]["cells"]
    assert [c["slot"] for c in cells] == [r + c for r in "ABC" for c in "1234"]
    for cell in cells:
        if cell["empty"]:
            assert cell["owner"] is None and cell["kind"] is None and not cell["face_up"]
        else:
            assert cell["owner"] in "AB" and cell["kind"] in "NF"


def test_a_game_against_the_engine(server):
    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(
            seats={"A": {"kind": "engine", "level": 4, "think_time": 1.0}},
            join={"seat": "B", "name": "Bia"},
        )
        assert made["room"]["status"] == "playing"
        me = RoomClient(server.base, made["room"]["id"], token=made["token"])
        await me.connect()
        await play_out(me, rng=random.Random(2))
        return me

    me = run(scenario())
    assert me.over
    turns = [m["event"] for m in me.messages if m["type"] == "event"]
    engine = [e for e in turns if e["player"] == "A" and e["move"]]
    assert engine and all(e["by"] == "engine" and e["seconds"] >= 0 for e in engine)
    assert any(n["type"] == "thinking" and n["seat"] == "A" for n in me.notices)
    # The engine seat moved first, as the room said.
    assert me.history[0]["player"] == "A"


def test_tokens_hold_seats_and_spectators_only_watch(server):
    async def scenario():
        lobby = Lobby(server.base)
        a, b, room = await two_seats(lobby)
        # A token of another room, a made-up one and a seat's given-up one.
        other = await lobby.create(join={"name": "Cy"})
        for token in (other["token"], "x" * 43, ""):
            stranger = RoomClient(server.base, room, token=token, reconnect=False)
            with pytest.raises(Closed) as closed:
                await stranger.connect()
            assert "bad_token" in closed.value.reason
        # Without a token one only watches.
        watcher = RoomClient(server.base, room, reconnect=False)
        await watcher.connect()
        with pytest.raises(MoveRefused) as refused:
            await watcher.play(a.state["legal_moves"][0])
        assert refused.value.code == "spectator"
        with pytest.raises(MoveRefused) as refused:
            await b.play(a.state["legal_moves"][0])
        assert refused.value.code == "not_your_turn"
        # Leaving needs the seat's own token.
        status, answer = await lobby.raw("POST", f"/api/rooms/{room}/leave")
        assert (status, answer["error"]["code"]) == (401, "missing_token")
        status, answer = await lobby.raw("POST", f"/api/rooms/{room}/leave", token=other["token"])
        assert (status, answer["error"]["code"]) == (403, "bad_token")
        await lobby.leave(room, b.token)
        gone = RoomClient(server.base, room, token=b.token, reconnect=False)
        with pytest.raises(Closed):
            await gone.connect()
        with pytest.raises(MoveRefused) as refused:
            await a.play(a.state["legal_moves"][0])
        assert refused.value.code == "waiting"
        return [a.token, b.token, other["token"]]

    tokens = run(scenario())
    log = server.log.read_text()
    assert "room" in log and not any(token in log for token in tokens)


def test_a_resent_move_is_acknowledged_again_and_applied_once(server):
    async def scenario():
        lobby = Lobby(server.base)
        a, b, room = await two_seats(lobby)
        move = a.legal_moves[0]
        first = await a.play(move)
        # The same counter again, as after a lost acknowledgement.
        await a.send_raw(json.dumps({"type": "move", "move": move, "n": a.counter}))
        await a.send_raw(json.dumps({"type": "move", "move": "zz", "n": a.counter}))
        await asyncio.sleep(0.3)
        acks = [m for m in a.messages if m["type"] == "ack"]
        return first, acks, await lobby.read(room)

    first, acks, read = run(scenario())
    version = read["version"]  # the join was version 1, the move the last one
    assert first == {"type": "ack", "n": 1, "version": version} and version == 2
    assert acks[1:] == [{"type": "ack", "n": 1, "version": version, "duplicate": True}] * 2
    assert read["state"]["plies"] == 1 and len(read["history"]) == 1


def test_reconnecting_with_a_version_gets_exactly_the_missed_events(server):
    async def scenario():
        lobby = Lobby(server.base)
        a, b, room = await two_seats(lobby)
        watcher = RoomClient(server.base, room)
        await watcher.connect()
        rng = random.Random(3)
        await a.play(rng.choice(a.legal_moves))
        await b.wait_for_turn()
        await b.play(rng.choice(b.legal_moves))
        seen = b.version
        await b.close()
        # The game moves on while B is away.
        await a.wait_for_turn()
        await a.play(rng.choice(a.legal_moves))
        back = RoomClient(server.base, room, token=b.token, version=seen)
        await back.connect()
        await back.play(rng.choice(back.legal_moves))
        await a.wait_for_turn()
        await asyncio.sleep(0.2)
        return seen, back, watcher

    seen, back, watcher = run(scenario())
    missed = [m for m in watcher.messages if m["type"] == "event" and m["version"] > seen]
    got = [m for m in back.messages if m["type"] == "event"]
    # No snapshot: the events after `seen`, each exactly once, then live ones.
    assert not [m for m in back.messages if m["type"] == "snapshot"]
    assert got == missed
    assert got[0]["version"] == seen + 1


def test_refusals_carry_the_engines_message_unchanged(server):
    # Messages that do not depend on the position, straight from the engine.
    expected = {}
    for move in ("", "A", "Z1", "A9A1", "A1Z9", "hello", "A1A2A3"):
        try:
            Board().play(move.upper(), Player.A, "")  # the server upper-cases moves
        except ValueError as err:
            expected[move] = str(err)

    async def scenario():
        lobby = Lobby(server.base)
        a, b, room = await two_seats(lobby)
        answers = {}
        for move in expected:
            with pytest.raises(MoveRefused) as refused:
                await a.play(move)
            answers[move] = (refused.value.code, refused.value.message)
        # B's face-up card, played by A.
        theirs = next(c["slot"] for c in a.state["cells"] if c["owner"] == "B" and c["face_up"])
        with pytest.raises(MoveRefused) as refused:
            await a.play(theirs)
        answers[theirs] = (refused.value.code, refused.value.message)
        # The refused counters were not used up; moves are taken in any case.
        await a.play(" " + a.legal_moves[0].lower())
        return answers, theirs, a

    answers, theirs, a = run(scenario())
    for move, message in expected.items():
        assert answers[move] == ("illegal_move", message)
    assert answers[theirs] == (
        "illegal_move",
        "Não podes jogar uma carta virada para cima do adversário.",
    )
    assert a.history and a.history[0]["player"] == "A"


def test_hidden_owners_and_a_rematch(server):
    async def scenario():
        lobby = Lobby(server.base)
        a, b, room = await two_seats(lobby, hide_face_down_owners=True, ply_limit=4)
        await play_out(a, b, rng=random.Random(5))
        downs = [
            c
            for m in a.messages
            if m["type"] == "event"
            for c in m["state"]["cells"]
            if not c["empty"] and not c["face_up"]
        ]
        await a.rematch()
        await b.rematch()
        for _ in range(100):
            if a.room["rematch"] not in (None, "pending"):
                break
            await asyncio.sleep(0.05)
        new = a.room["rematch"]
        again = RoomClient(server.base, new, token=a.token)
        await again.connect()
        return downs, a, again, room

    downs, a, again, room = run(scenario())
    # Its id begins as its room's: the router sends it to the same node.
    assert again.room_id[:6] == room[:6] and again.room_id != room
    assert downs and all(c["owner"] is None and c["kind"] is None for c in downs)
    assert a.result["end"] == "ply limit"
    assert again.seat == "A" and again.room["options"]["first"] == "B"
    assert again.room["options"]["hide_face_down_owners"] is True
    assert again.room["seats"]["B"]["name"] == "Bia"


def test_websocket_speaks_only_after_hello(server):
    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(join={"name": "Ana"})
        url = server.base.replace("http", "ws") + f"/ws/{made['room']['id']}"
        async with websockets.connect(url) as ws:
            await ws.send(json.dumps({"type": "move", "move": "A1", "n": 1}))
            error = json.loads(await ws.recv())
            await ws.wait_closed()
            return error, ws.close_code

    error, code = run(scenario())
    assert error["type"] == "error" and error["code"] == "bad_message" and code == 1008


def test_the_docs_client_example_runs(server):
    from docs_text import examples

    (code,) = examples("docs/server.md", "## A client in Python")
    code = code.replace("http://127.0.0.1:8000", server.base)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "wins" in done.stdout or "draw" in done.stdout
