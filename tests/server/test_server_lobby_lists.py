"""What the lobby lists and what a client learns on connecting: names as
people write them, games someone is in, a search already under way."""

from __future__ import annotations

import asyncio

import pytest
from server_helpers import STORES, Server, run
from tesko_server.client import Lobby, RoomClient
from tesko_server.protocol import HubError, check_name

ZWJ, ZWNJ = "\u200d", "\u200c"


@pytest.fixture(scope="module", params=STORES)
def server(request, tmp_path_factory):
    """The module's shared server, on each store in turn (the lobby kept in
    memory, or shared through PostgreSQL)."""
    store = request.getfixturevalue("module_database") if request.param == "postgresql" else None
    server = Server(
        tmp_path_factory.mktemp("server"), "--max-rooms-per-address", "1000", store=store
    )
    yield server.start()
    server.end()


@pytest.mark.parametrize(
    "name",
    [
        f"Ana \U0001f469{ZWJ}\U0001f4bb",  # an emoji sequence joined by U+200D
        f"می{ZWNJ}خواهم",  # Persian with a zero-width non-joiner
        "\u05e9\u05e8\u05d4",  # Hebrew, right to left
        "Zo\u00eb \u200f",  # a right-to-left mark is a mark, not an override
        "x" * 24,
    ],
)
def test_names_people_write_are_kept(name):
    assert check_name(f"  {name}  ") == name


@pytest.mark.parametrize(
    "name",
    [
        "a\u0000b",
        "a\tb",
        "a\x85b",  # a C1 control
        "a\u2028b",  # a line separator
        "a\ud800b",  # a lone surrogate, as JSON can carry it
        *(f"Ana{chr(c)}x" for c in (*range(0x202A, 0x202F), *range(0x2066, 0x206A))),
        ZWJ,  # nothing to see
        "x" * 25,
        "   ",
    ],
)
def test_names_that_could_hide_or_reorder_text_are_refused(name):
    with pytest.raises(HubError) as refused:
        check_name(name)
    assert refused.value.code == "bad_request"


def test_games_in_progress_lists_only_those_someone_attends(server):
    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(join={"seat": "A", "name": "Ana"})
        room = made["room"]["id"]
        joined = await lobby.join(room, "Bia")
        listed = []

        async def playing():
            await asyncio.sleep(0.05)  # presence is counted as connections open and close
            listed.append(room in [r["id"] for r in await lobby.rooms("playing")])

        await playing()  # both seats taken, nobody connected
        bia = RoomClient(server.base, room, token=joined["token"], reconnect=False)
        await bia.connect()
        await playing()  # a player is there
        await bia.close()
        await playing()  # gone again
        eva = RoomClient(server.base, room, reconnect=False)
        await eva.connect()
        await playing()  # someone watches
        await eva.close()
        await playing()
        return listed, await lobby.read(room)

    listed, read = run(scenario())
    assert listed == [False, True, False, True, False]
    assert read["room"]["status"] == "playing"  # still there to come back to


def test_a_snapshot_tells_of_the_engine_search_under_way(server):
    async def scenario():
        lobby = Lobby(server.base)
        made = await lobby.create(
            first="B",
            seats={"B": {"kind": "engine", "level": 12, "think_time": 1.5}},
            join={"seat": "A", "name": "Ana"},
        )
        room = made["room"]["id"]
        await asyncio.sleep(0.3)
        watcher = RoomClient(server.base, room, reconnect=False)
        await watcher.connect()
        snapshot = next(m for m in watcher.messages if m["type"] == "snapshot")
        # Catching up by versions, the same search comes after the presence.
        back = RoomClient(server.base, room, version=0, reconnect=False)
        await back.connect()
        await asyncio.sleep(0.1)
        caught_up = [m["type"] for m in back.messages]
        told = next(m for m in back.messages if m["type"] == "thinking")
        await back.close()
        for _ in range(100):  # the engine's move ends the search
            if watcher.history:
                break
            await asyncio.sleep(0.1)
        await watcher.close()
        again = RoomClient(server.base, room, reconnect=False)
        await again.connect()
        after = next(m for m in again.messages if m["type"] == "snapshot")
        await again.close()
        return snapshot, caught_up, told, after

    snapshot, caught_up, told, after = run(scenario())
    for thinking in (snapshot["thinking"], told):
        assert {k: thinking[k] for k in ("seat", "level", "think_time")} == {
            "seat": "B",
            "level": 12,
            "think_time": 1.5,
        }
        assert 0.2 <= thinking["elapsed"] < 1.5
    assert caught_up[:2] == ["presence", "thinking"]
    assert after["thinking"] is None
