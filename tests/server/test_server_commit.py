"""Group commit against a store that another node fences: the rooms taken
are dropped with everything that waited on them, and the rest is written."""

from __future__ import annotations

import pytest
from server_helpers import run
from tesko_server.commit import Committer
from tesko_server.protocol import HubError
from tesko_server.rows import Alive, DeleteRoom, Fenced


class FencingStore:
    """Refuses any batch that touches a room in `taken`, as a shared store
    does once another node has claimed it; keeps the batches it wrote."""

    def __init__(self, taken: set[str]) -> None:
        self.taken = taken
        self.batches: list[list] = []

    async def write(self, changes) -> None:
        lost = {c.id for c in changes if isinstance(c, DeleteRoom)} & self.taken
        if lost:
            raise Fenced(lost)
        self.batches.append(list(changes))


@pytest.mark.parametrize("taken", [{"b"}, {"a", "c"}])
def test_a_fenced_batch_drops_the_rooms_taken_and_commits_the_rest(taken):
    async def scenario():
        store = FencingStore(taken)
        told, fenced, failures = [], [], []
        committer = Committer(store, failures.append, fenced.append)
        waiters = {}
        for room in "abc":
            waiters[room] = committer.waiter()
            committer.add([DeleteRoom(room)], lambda room=room: told.append(room), waiters[room])
        committer.add([Alive(1.0)], lambda: told.append("alive"))
        await committer.settled()
        moved = {}
        for room, waiter in waiters.items():
            moved[room] = isinstance(waiter.exception(), HubError) if waiter.done() else None
        return store.batches, told, fenced, failures, moved

    batches, told, fenced, failures, moved = run(scenario())
    kept = [room for room in "abc" if room not in taken]
    assert fenced == [tuple(sorted(taken))]
    assert failures == []
    assert told == [*kept, "alive"]
    assert [[getattr(c, "id", "alive") for c in batch] for batch in batches] == [[*kept, "alive"]]
    assert {room for room, was_moved in moved.items() if was_moved} == taken


def test_a_store_failure_stops_everything_after_it():
    async def scenario():
        failures = []

        class Broken(FencingStore):
            async def write(self, changes) -> None:
                raise OSError("disk full")

        committer = Committer(Broken(set()), failures.append)
        told = []
        waiter = committer.waiter()
        committer.add([Alive(1.0)], lambda: told.append(1), waiter)
        await committer.settled()
        committer.add([Alive(2.0)], lambda: told.append(2))
        await committer.settled()
        return told, failures, waiter.exception()

    told, failures, error = run(scenario())
    assert told == []
    assert len(failures) == 1
    assert isinstance(error, HubError) and error.code == "store_failed"
