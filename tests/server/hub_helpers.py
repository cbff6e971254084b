"""A `Hub` run in the test's own event loop, on a store in a temporary
folder, with connections that only record what they are sent."""

from __future__ import annotations

import asyncio
import contextlib
import json
from pathlib import Path

from tesko_server.rooms import Hub, Settings
from tesko_server.store import SqliteStore


class Recorder:
    """A connection whose writer never runs: what is sent or a close is only
    recorded, as for a socket that does not read."""

    def __init__(self) -> None:
        self.room = None
        self.seat = None
        self.sent: list[dict] = []
        self.closing: tuple[int, str] | None = None

    def send(self, text: str) -> None:
        self.sent.append(json.loads(text))

    def close(self, code: int, reason: str) -> None:
        self.closing = self.closing or (code, reason)

    def of(self, kind: str) -> list[dict]:
        return [m for m in self.sent if m["type"] == kind]

    async def answer(self, n: int, timeout: float = 10) -> dict:
        """The ack or refusal of the message numbered `n`."""
        for _ in range(int(timeout / 0.01)):
            for m in self.sent:
                if m["type"] in ("ack", "refused") and m["n"] == n:
                    return m
            await asyncio.sleep(0.01)
        raise AssertionError(f"no answer to n={n}: {self.sent[-3:]}")


@contextlib.asynccontextmanager
async def running_hub(folder: Path, **settings):
    hub = Hub(Settings(**settings), SqliteStore(str(folder / "store.db")))
    await hub.start()
    try:
        yield hub
    finally:
        await hub.drain()


def attach(hub: Hub, room: str, token: str | None = None, version: int | None = None) -> Recorder:
    conn = Recorder()
    hub.attach(room, token, version, conn)
    return conn


async def settle(hub: Hub, room_id: str, timeout: float = 10) -> None:
    """Wait until the room's moves are played and committed."""
    room = hub.rooms[room_id]
    for _ in range(int(timeout / 0.01)):
        if not room.busy and not room.queue and hub.committer.idle:
            if room.version == room.committed_version:
                return
        await asyncio.sleep(0.01)
    raise AssertionError("the room did not settle")
