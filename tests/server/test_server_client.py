"""The Python client's lobby calls when the other end fails: whatever goes
wrong on the connection is a ConnectionError (an OSError), which the
benchmark's load processes and bots catch, never an HTTP library's own
exception type."""

from __future__ import annotations

import asyncio
import contextlib

import pytest
from server_helpers import run
from tesko_server.client import Lobby


async def closes_without_answer(reader, writer):
    await reader.readuntil(b"\r\n\r\n")
    writer.close()


async def answers_garbage(reader, writer):
    await reader.readuntil(b"\r\n\r\n")
    writer.write(b"this is not HTTP\r\n\r\n")
    await writer.drain()
    writer.close()


@pytest.mark.parametrize("kept", [False, True], ids=["own connection", "async with"])
@pytest.mark.parametrize("peer", [closes_without_answer, answers_garbage])
def test_a_failed_connection_is_a_connection_error(peer, kept):
    async def scenario():
        listener = await asyncio.start_server(peer, "127.0.0.1", 0)
        port = listener.sockets[0].getsockname()[1]
        lobby = Lobby(f"http://127.0.0.1:{port}")
        try:
            async with lobby if kept else contextlib.nullcontext(lobby):
                with pytest.raises(ConnectionError):
                    await lobby.create()
        finally:
            listener.close()
            await listener.wait_closed()
        # Nothing listens there any more: refused, an OSError too.
        with pytest.raises(OSError):
            await lobby.rooms()

    run(scenario(), timeout=20)
