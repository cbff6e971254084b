"""Abandoned games through the real server: when a claim is refused, when
it is accepted, and what the player who left finds on coming back."""

from __future__ import annotations

import asyncio
import time

import pytest
from server_helpers import Server, run, seated_pair, until
from tesko_server.client import Lobby, MoveRefused, RoomClient

GRACE = 1.0


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    server = Server(tmp_path_factory.mktemp("abandon"), "--abandon-time", str(GRACE))
    yield server.start()
    server.end()


async def refusal(client: RoomClient) -> str:
    with pytest.raises(MoveRefused) as refused:
        await client.claim()
    return refused.value.code


def claimable(client: RoomClient, seat: str) -> bool:
    return bool(client.presence and client.presence["claimable"][seat])


def test_a_claim_is_refused_while_the_opponent_is_here_or_within_grace_then_wins(server):
    async def scenario():
        a, b = await seated_pair(server.base)
        watcher = RoomClient(server.base, a.room_id)
        await watcher.connect()
        codes = {"connected": await refusal(a), "spectator": await refusal(watcher)}
        await b.close()
        left = time.monotonic()
        await until(lambda: a.presence and not a.presence["seats"]["B"])
        codes["early"] = await refusal(a)
        assert not claimable(a, "B")
        # The server says when the grace time is over: no claim before.
        await until(lambda: claimable(a, "B") and claimable(watcher, "B"))
        waited = time.monotonic() - left
        await a.claim()
        await until(lambda: a.over and watcher.over)
        codes["after"] = await refusal(a)
        back = RoomClient(server.base, a.room_id, token=b.token)
        await back.connect()
        return a, watcher, back, codes, waited

    a, watcher, back, codes, waited = run(scenario())
    assert codes == {
        "connected": "opponent_connected",
        "spectator": "spectator",
        "early": "too_early",
        "after": "game_over",
    }
    assert waited >= GRACE - 0.05
    for client in (a, watcher, back):
        result = client.result
        assert (result["winner"], result["end"]) == ("A", "abandoned")
        assert result["text"] == "A wins: B abandoned the game"
        assert client.room["status"] == "over"
    ending = [m["event"] for m in a.messages if m["type"] == "event"][-1]
    assert ending == {"kind": "claim", "seat": "A"}
    # The player who left finds the game ended and cannot move.
    assert back.seat == "B" and not back.legal_moves


def test_a_player_back_before_a_claim_plays_on_and_a_new_absence_starts_the_grace_again(server):
    async def scenario():
        a, b = await seated_pair(server.base)
        await a.play(a.legal_moves[0])
        await b.close()
        await asyncio.sleep(GRACE * 0.6)
        b = RoomClient(server.base, a.room_id, token=b.token, counter=b.counter)
        await b.connect()
        await asyncio.sleep(GRACE * 0.6)  # more than the grace since B first left
        codes = [await refusal(a)]
        await b.play(b.legal_moves[0])  # the game simply goes on
        await b.close()
        await asyncio.sleep(GRACE * 0.6)
        codes.append(await refusal(a))  # the time away counts from the new absence
        return a, codes

    a, codes = run(scenario())
    assert codes == ["opponent_connected", "too_early"]
    assert not a.over and len(a.history) == 2


@pytest.mark.parametrize("opponent", ["never connected before the game", "engine"])
def test_only_time_away_from_a_game_under_way_counts(server, opponent):
    async def scenario():
        lobby = Lobby(server.base)
        if opponent == "engine":
            made = await lobby.create(
                seats={"A": {"kind": "engine", "level": 1}}, join={"seat": "B", "name": "Bia"}
            )
            me = RoomClient(server.base, made["room"]["id"], token=made["token"])
            await me.connect()
            await asyncio.sleep(GRACE + 0.2)
            return [await refusal(me)]
        # A made the room and went away before anyone joined.
        made = await lobby.create(join={"seat": "A", "name": "Ana"})
        await asyncio.sleep(GRACE + 0.2)
        joined = await lobby.join(made["room"]["id"], "Bia")
        me = RoomClient(server.base, made["room"]["id"], token=joined["token"])
        await me.connect()
        codes = [await refusal(me)]
        await until(lambda: claimable(me, "A"))
        await me.claim()
        return codes

    codes = run(scenario())
    assert codes == ["opponent_connected" if opponent == "engine" else "too_early"]
