"""A room's game as a downloadable record: who may read it when, and that
it is the record `tesko_tools` reads, at the room's position, which
`tesko-play --load` continues and `tesko-play --review` reviews."""

from __future__ import annotations

import asyncio
import json
import random
import re
import shutil
import subprocess
import sys
import sysconfig
import urllib.error
import urllib.request

import pytest
from server_helpers import Server, run, seated_pair, until
from tesko_server.client import RoomClient
from tesko_server.worker_process import Engine
from tesko_tools import Game

GRACE = 1.0


def get_record(base: str, room: str, token: str | None = None) -> tuple[int, dict, str]:
    """GET the record: the status, the headers (lower-case names) and the
    body (the record, or the error's code)."""
    request = urllib.request.Request(f"{base}/api/rooms/{room}/record")
    if token is not None:
        request.add_header("Authorization", f"Bearer {token}")
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            headers = {k.lower(): v for k, v in answer.headers.items()}
            return answer.status, headers, answer.read().decode()
    except urllib.error.HTTPError as err:
        return err.code, {}, json.loads(err.read())["error"]["code"]


def codes_of(state: dict) -> list[str]:
    """A state's cells as the worker writes them (owner and kind, lower
    case face down, "--" empty), "??" for a card whose owner is hidden."""
    out = []
    for c in state["cells"]:
        if c["empty"]:
            out.append("--")
        elif c["owner"] is None:
            out.append("??")
        else:
            code = c["owner"] + c["kind"]
            out.append(code if c["face_up"] else code.lower())
    return out


def assert_at_room_position(game: Game, client: RoomClient) -> None:
    """The record's game stands where the room does."""
    state = client.state
    shown = codes_of(state)
    cells = Engine().cells(game)
    pairs = [cells[i : i + 2] for i in range(0, 24, 2)]
    # A hidden owner stands for a face-down card.
    assert ["??" if s == "??" and p.islower() else p for p, s in zip(pairs, shown)] == shown
    assert [(("AB"[int(t.player)]), t.move) for t in game.history] == [
        (t["player"], t["move"]) for t in client.history
    ]
    assert game.legal_moves() == state["legal_moves"]
    assert (None if game.to_move is None else "AB"[int(game.to_move)]) == state["to_move"]
    assert (None if game.result is None else str(game.result)) == (
        None if state["result"] is None else state["result"]["text"]
    )


async def play_random(clients: dict[str, RoomClient], rng: random.Random, plies: int) -> None:
    """Up to `plies` random moves, each by the side to move."""
    for _ in range(plies):
        a = clients["A"]
        if a.over:
            return
        mover = clients[a.state["to_move"]]
        await until(lambda m=mover: m.my_turn or m.over)
        if mover.over:
            return
        await mover.play(rng.choice(mover.legal_moves))
        await until(lambda m=mover: all(c.version == m.version for c in clients.values()))


def tesko_play(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess:
    found = shutil.which("tesko-play", path=sysconfig.get_path("scripts"))
    argv = [found] if found else [sys.executable, "-m", "tesko_tools.play"]
    return subprocess.run(argv + list(args), input=stdin, capture_output=True, timeout=120)


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    server = Server(tmp_path_factory.mktemp("record"), "--abandon-time", str(GRACE))
    yield server.start()
    server.end()


def test_who_reads_the_record_and_that_it_loads_at_the_rooms_position(server, tmp_path):
    base = server.base

    async def scenario():
        rng = random.Random(11)
        a, b = await seated_pair(base)
        watcher = RoomClient(base, a.room_id)
        await watcher.connect()
        await play_random({"A": a, "B": b}, rng, 4)
        room = a.room_id
        asked = {
            "nobody": None,
            "a stranger's token": "not-a-seat-token",
            "A": a.token,
            "B": b.token,
        }
        during = {
            who: await asyncio.to_thread(get_record, base, room, t) for who, t in asked.items()
        }
        position = (a.state, list(a.history))

        # A room hiding face-down owners gives its record to nobody while on.
        h_a, h_b = await seated_pair(base, hide_face_down_owners=True)
        await play_random({"A": h_a, "B": h_b}, rng, 2)
        hidden_during = await asyncio.to_thread(get_record, base, h_a.room_id, h_a.token)
        # ... and to everyone once over: here B left, and A claims the win.
        await h_b.close()
        await until(lambda: h_a.presence and h_a.presence["claimable"]["B"], GRACE + 10)
        await h_a.claim()
        await until(lambda: h_a.over)
        hidden_after = await asyncio.to_thread(get_record, base, h_a.room_id)

        await play_random({"A": a, "B": b}, rng, 500)
        await until(lambda: watcher.over and watcher.version == a.version)
        after = {
            "nobody": await asyncio.to_thread(get_record, base, room),
            "A": await asyncio.to_thread(get_record, base, room, a.token),
        }
        missing = await asyncio.to_thread(get_record, base, "no-such-room")
        return a, watcher, position, during, hidden_during, (h_a, hidden_after), after, missing

    a, watcher, position, during, hidden_during, hidden, after, missing = run(scenario())

    # While the game is on: its players alone.
    assert {who: got[:1] + (got[2] if got[0] != 200 else "",) for who, got in during.items()} == {
        "nobody": (401, "missing_token"),
        "a stranger's token": (403, "bad_token"),
        "A": (200, ""),
        "B": (200, ""),
    }
    assert during["A"][2] == during["B"][2]
    assert hidden_during[0::2] == (409, "owners_hidden")
    assert missing[0::2] == (404, "no_such_room")

    # The record of the game in progress is the room's game so far.
    text = during["A"][2]
    state, history = position
    live = Game.load(text)
    frozen = RoomClient(server.base, a.room_id)
    frozen.state, frozen.history = state, history
    assert_at_room_position(live, frozen)
    assert "result:" not in text

    # Once over: anyone, saved under the room's name, the whole game.
    status, headers, text = after["nobody"]
    assert status == 200 and after["A"][2] == text
    assert headers["content-type"] == "text/plain; charset=utf-8"
    assert headers["content-disposition"] == f'attachment; filename="tesko-{a.room_id}.txt"'
    assert headers["cache-control"] == "no-store"
    ended = Game.load(text, engine=False)
    assert_at_room_position(ended, watcher)
    assert text.rstrip().endswith("result: " + watcher.result["text"])

    # A game ended by a claim keeps that end, and the dealt layout shows.
    h_a, (status, _, text) = hidden
    assert status == 200
    claimed = Game.load(text)
    assert_at_room_position(claimed, h_a)
    assert str(claimed.result).endswith("B abandoned the game")


def test_tesko_play_continues_and_reviews_records_from_the_server(server, tmp_path):
    """A record downloaded while the game is on continues under `tesko-play
    --load`; the finished game's reviews under `--review`."""

    async def scenario():
        rng = random.Random(4)
        a, b = await seated_pair(server.base)
        await play_random({"A": a, "B": b}, rng, 2)
        await until(lambda: a.my_turn)  # A to move: the side tesko-play gives the person
        on = await asyncio.to_thread(get_record, server.base, a.room_id, b.token)
        legal = a.legal_moves
        await play_random({"A": a, "B": b}, rng, 500)
        await until(lambda: a.over and b.version == a.version)
        over = await asyncio.to_thread(get_record, server.base, a.room_id)
        return a, on[2], legal, over[2]

    a, unfinished, legal, finished = run(scenario())
    record = tmp_path / "download.txt"
    record.write_text(unfinished)
    saved = tmp_path / "continued.txt"
    played = tesko_play(
        "--load", str(record), "--save", str(saved), "--level", "1", stdin=f"{legal[0]}\n".encode()
    )
    out = played.stdout.decode()
    assert played.returncode == 0, played.stderr.decode()
    assert f"Continuing the game saved in {record}: 2 moves played." in out
    before = Game.load(unfinished, engine=False).history
    after = Game.load(saved.read_text(), engine=False).history
    # The person's move and the engine's answer follow the downloaded turns.
    assert after[: len(before)] == before
    assert after[len(before)].move == legal[0] and len(after) >= len(before) + 2

    record.write_text(finished)
    reviewed = tesko_play("--review", str(record))
    out = reviewed.stdout.decode()
    assert reviewed.returncode == 0, reviewed.stderr.decode()
    turns = len(a.history)
    assert out.startswith(f"{record}: {turns} turns, {a.result['text']}\n")
    lines = re.findall(r"^ *(\d+)\. ([AB]) +\S+  (\S+)", out, re.M)
    assert [(int(n), p, m.rstrip("?!")) for n, p, m in lines] == [
        (i, t["player"], t["move"] or "pass") for i, t in enumerate(a.history, 1)
    ]
