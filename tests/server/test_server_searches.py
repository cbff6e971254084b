"""Engine seats' searches beside people's games on the same worker."""

from __future__ import annotations

import asyncio
import time

import pytest
from server_helpers import run
from tesko_server.client import Lobby, RoomClient

pytest.importorskip("tesko_tools._analysis")


def test_people_are_not_queued_behind_a_search(server_factory):
    """With one worker, a level-12 search runs while another room's people
    play: their moves are acknowledged before the engine's move comes (with
    the search on the worker's main thread, they all waited for it)."""
    server = server_factory("--workers", "1", "--max-rooms-per-address", "10")

    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(join={"seat": "A", "name": "Bo"})
        joined = await lobby.join(made["room"]["id"], "Cy")
        a = RoomClient(server.base, made["room"]["id"], token=made["token"])
        b = RoomClient(server.base, made["room"]["id"], token=joined["token"])
        for client in (a, b):
            await client.connect()
        # The engine seat moves first: it thinks from the room's making, on
        # the whole deal (a fraction of a second to the full think time).
        made = await lobby.create(
            first="B",
            seats={"B": {"kind": "engine", "level": 12, "think_time": 2}},
            join={"seat": "A", "name": "Ana"},
        )
        me = RoomClient(server.base, made["room"]["id"], token=made["token"])
        await me.connect()
        answered: list[float] = []
        engine = asyncio.ensure_future(me.wait_for_turn(timeout=60))
        engine.add_done_callback(lambda _: answered.append(time.monotonic()))
        acks = []
        for _ in range(3):
            for client in (a, b):
                assert await client.wait_for_turn(timeout=30)
                await client.play(client.legal_moves[0], timeout=30)
                acks.append(time.monotonic())
        await engine
        return acks, answered[0]

    acks, answered = run(scenario())
    assert max(acks) < answered
