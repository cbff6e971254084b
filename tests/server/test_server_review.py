"""The engine's review of a finished game: made by the room's worker, sent
to the room, readable from the lobby, and kept by the store over a restart."""

from __future__ import annotations

import asyncio
import json
import queue
import random
import sqlite3
import threading

import pytest
from hub_helpers import attach, running_hub, settle
from server_helpers import run
from tesko_server.client import Lobby, RoomClient
from tesko_server.protocol import Move
from tesko_server.worker_pool import EngineRefused, WorkerDied
from tesko_tools import Game
from tesko_tools.review import REVIEW_DEPTH, Review, review
from worker_testing import EchoEngine

VERDICTS = {"good", "inaccuracy", "mistake", "blunder"}


async def finished_game(base: str) -> tuple[str, RoomClient, RoomClient]:
    """A person's random moves against the engine, watched by a spectator,
    to the end; the room's id, the player's client and the spectator's."""
    lobby = Lobby(base)
    made = await lobby.create(
        seats={"A": {"kind": "engine", "level": 2, "think_time": 1.0}},
        join={"seat": "B", "name": "Bia"},
    )
    room = made["room"]["id"]
    me = RoomClient(base, room, token=made["token"])
    watcher = RoomClient(base, room)
    await me.connect()
    await watcher.connect()
    rng = random.Random(3)
    while await me.wait_for_turn():
        await me.play(rng.choice(me.legal_moves))
    return room, me, watcher


def stored_review(db) -> dict[str, dict]:
    conn = sqlite3.connect(db)
    try:
        return {room: json.loads(data) for room, data in conn.execute("SELECT * FROM reviews")}
    finally:
        conn.close()


def test_a_finished_game_is_reviewed_and_the_review_outlives_a_restart(server_factory):
    server = server_factory()

    async def first_run():
        room, me, watcher = await finished_game(server.base)
        sent = await watcher.wait_for_review(20)
        assert await me.wait_for_review(20) == sent
        read = await Lobby(server.base).read(room)
        return room, me.history, sent, read

    room, history, sent, read = run(first_run())
    # One entry per turn, the turns the room played, in order.
    assert read["review"] == sent
    assert sent["depth"] == REVIEW_DEPTH
    assert [(m["number"], m["player"], m["played"]) for m in sent["moves"]] == [
        (i, t["player"], t["move"]) for i, t in enumerate(history, 1)
    ]
    assert {m["verdict"] for m in sent["moves"]} <= VERDICTS
    assert all(m["text"].startswith(m["played"] or "pass") for m in sent["moves"])
    assert Review.from_json(sent).to_json() == {
        "depth": sent["depth"],
        "moves": [{k: v for k, v in m.items() if k != "cells"} for m in sent["moves"]],
    }
    # The positions: the first is the dealt one, the last the end's.
    assert all(len(m["cells"]) == 24 for m in sent["moves"])
    assert sent["moves"][0]["cells"].isupper() and "--" not in sent["moves"][0]["cells"]
    assert sent["final"] == "".join(
        "--"
        if c["empty"]
        else c["owner"] + c["kind"]
        if c["face_up"]
        else (c["owner"] + c["kind"]).lower()
        for c in read["state"]["cells"]
    )

    server.terminate()
    assert stored_review(server.db) == {room: sent}
    reviewed = server.log.read_text().count("reviewed")
    server.start()

    async def second_run():
        read = await Lobby(server.base).read(room)
        client = RoomClient(server.base, room)
        await client.connect()
        return read, client.review

    read, snapshot = run(second_run())
    assert read["review"] == snapshot == sent
    # Read from the store, not made again.
    assert server.log.read_text().count("reviewed") == reviewed


def test_an_unfinished_room_has_no_review(server):
    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(join={"seat": "A", "name": "Ana"})
        client = RoomClient(server.base, made["room"]["id"], token=made["token"])
        await client.connect()
        snapshot = next(m for m in client.messages if m["type"] == "snapshot")
        return snapshot, await lobby.read(made["room"]["id"])

    snapshot, read = run(scenario())
    assert snapshot["review"] is None and read["review"] is None


@pytest.mark.parametrize(
    "failure, status",
    [(None, "ready"), ("refused", "failed"), ("worker gone", "failed")],
    ids=["made", "the engine refuses", "the worker stays gone"],
)
def test_a_review_that_cannot_be_made_is_said_to_have_failed(tmp_path, failure, status):
    """The room's watchers, a client connecting later and the lobby's read
    learn that no review will come, rather than waiting for it for ever."""

    async def scenario():
        async with running_hub(tmp_path) as hub:
            hub.REVIEW_RETRIES = 0  # a worker that died is not waited for again
            ask = hub.pool.request

            def request(room_id, op, *args):
                if op != "review" or failure is None:
                    return ask(room_id, op, *args)
                future = asyncio.get_running_loop().create_future()
                if failure == "refused":
                    future.set_exception(EngineRefused("engine_error", "no review"))
                else:
                    future.set_exception(WorkerDied("engine worker 0 is not running"))
                return future

            hub.pool.request = request
            made = await hub.create(
                {"join": {"seat": "A", "name": "Ana"}, "first": "A", "ply_limit": 1}, "10.0.0.1"
            )
            room = made["room"]["id"]
            await hub.join(room, {"name": "Bia"})
            watcher = attach(hub, room)
            player = attach(hub, room, made["token"])
            legal = hub.rooms[room].committed_state["legal_moves"]
            hub.move(player, Move(n=1, move=legal[0]))
            await settle(hub, room)
            for _ in range(500):
                if watcher.of("review"):
                    break
                await asyncio.sleep(0.01)
            later = attach(hub, room).of("snapshot")[0]
            return watcher.of("review"), later, hub.read(room)

    (sent,), later, read = run(scenario())
    assert sent["status"] == later["review_status"] == read["review_status"] == status
    assert (sent["review"] is None) == (later["review"] is None) == (status == "failed")


def test_the_worker_reviews_on_its_own_thread_and_answers_when_done():
    """A review request is answered later through the worker's sender, while
    the worker goes on with the next request."""
    game = Game()
    rng = random.Random(5)
    while not game.over:
        game.play(rng.choice(game.legal_moves()))
    turns = [t.move for t in game.history]
    answers: queue.Queue = queue.Queue()
    threads: set[int] = set()

    def send(out: list) -> None:
        threads.add(threading.get_ident())
        answers.put(out)

    engine = EchoEngine(send)
    request = (7, "review", "room", game.layout, "A", game.ply_limit, turns)
    assert engine.handle(request) is None
    assert engine.handle((8, "echo", "room", "next", 0)) == (8, True, "next")
    [(rid, ok, payload)] = answers.get(timeout=30)
    # The same process, so the same position keys: the same review.
    assert (rid, ok) == (7, True)
    positions = [m.pop("cells") for m in payload["moves"]]
    final = payload.pop("final")
    assert payload == review(game).to_json()
    # The positions before each turn: the dealt one first, then one per move.
    assert len(positions) == len(turns) and final == engine.cells(game)
    assert positions[0] == engine.cells(Game.from_layout(game.layout))
    assert threading.get_ident() not in threads

    engine.handle((9, "review", "room", game.layout, "A", game.ply_limit, ["A1A1A1"]))
    [(rid, ok, payload)] = answers.get(timeout=30)
    assert (rid, ok, payload[0]) == (9, False, "error")
