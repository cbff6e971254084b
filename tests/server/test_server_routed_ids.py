"""A new room under the id the router drew (X-Tesko-Room, with
--router-room-ids): taken when it has the router's form and no room has it,
never in place of a room that has it, and never from a client that reaches
a node started without the option."""

from __future__ import annotations

import asyncio
import re

import pytest
from server_helpers import STORES, postgres_rows, run

ROUTED = "0123456789ab"
DRAWN = re.compile(r"[A-Za-z0-9_-]{12}")  # the node's own ids


async def make(base: str, room: str | None, name: str = "Ana") -> tuple[int, str | None]:
    """POST /api/rooms with `room` in X-Tesko-Room: the status and the id made."""
    from tesko_server.client import Lobby

    headers = {} if room is None else {"X-Tesko-Room": room}
    body = {"join": {"seat": "A", "name": name}}
    status, answer = await Lobby(base).raw("POST", "/api/rooms", body, headers=headers)
    return status, answer["room"]["id"] if status == 201 else answer


@pytest.mark.parametrize("store_url", STORES, indirect=True)
def test_a_free_routed_id_is_taken_and_no_room_is_made_over(server_factory, store_url):
    node = server_factory("--router-room-ids")

    async def scenario():
        # Two creations with one id at once: only one room has it.
        made = await asyncio.gather(make(node.base, ROUTED, "Ana"), make(node.base, ROUTED, "Bo"))
        assert {status for status, _ in made} == {201}, made
        ids = sorted(room for _, room in made)
        assert ROUTED in ids and len(set(ids)) == 2, ids
        # Again, once it is made; and ids not of the router's form.
        for wanted in (ROUTED, "0123456789AB", "0123456789a", "0123456789abc", "../x9876543"):
            status, room = await make(node.base, wanted, "Cy")
            assert status == 201 and room != wanted and DRAWN.fullmatch(room), (wanted, room)
        from tesko_server.client import Lobby

        seats = (await Lobby(node.base).read(ROUTED))["room"]["seats"]
        return seats["A"]["name"]

    first = run(scenario())
    assert first in ("Ana", "Bo")
    if store_url is None:
        return
    # A node on the same store is not given a room another node made.
    other = server_factory("--router-room-ids")
    status, room = run(make(other.base, ROUTED, "Di"))
    assert status == 201 and room != ROUTED
    owners = run(postgres_rows(store_url, f"SELECT epoch FROM owners WHERE room='{ROUTED}'"))
    assert owners == [(1,)]
    from tesko_server.client import Lobby

    assert run(Lobby(node.base).read(ROUTED))["room"]["seats"]["A"]["name"] == first


def test_without_the_option_a_client_chooses_no_id(server_factory):
    node = server_factory()
    status, room = run(make(node.base, ROUTED))
    assert status == 201 and room != ROUTED and DRAWN.fullmatch(room)
