"""How the server meets the end of a room socket, in a server run in the
test's own process: what the socket held is freed as it ends (no reference
cycle left for the collector's full passes, which grow with every room held
and stall every room while they run), and a peer that closes while its
answer is on the way costs no error."""

from __future__ import annotations

import asyncio
import contextlib
import gc
import logging

import pytest
from server_helpers import free_port, run, seated_pair

# What the server makes for each room socket (and the HTTP request it began as).
SERVER_SIDE = {
    "SocketConnection",
    "RoomSocket",
    "LimitedWebSocketProtocol",
    "GuardedHttp",
    "WebSocket",
}


@contextlib.asynccontextmanager
async def serving(folder):
    """The server as `tesko-server` runs it (its HTTP and socket protocols),
    on a free port of 127.0.0.1; its base address."""
    import uvicorn
    from tesko_server.app import GuardedHttp, WebSettings, build_app
    from tesko_server.hub import Settings
    from tesko_server.store import SqliteStore
    from tesko_server.wsprotocol import LimitedWebSocketProtocol

    port = free_port()
    store = SqliteStore(str(folder / "socket-end.db"))
    settings = Settings(
        workers=1, create_rate=100_000, lobby_rate=100_000, max_rooms_per_address=1000
    )
    app = build_app(lambda: store, WebSettings(hub=settings))
    config = uvicorn.Config(
        app,
        host="127.0.0.1",
        port=port,
        http=GuardedHttp,
        ws=LimitedWebSocketProtocol,
        ws_per_message_deflate=False,
        log_level="warning",
    )
    server = uvicorn.Server(config)
    task = asyncio.ensure_future(server.serve())
    try:
        while not server.started:
            await asyncio.sleep(0.01)
        yield f"http://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        await task
        gc.unfreeze()  # the server froze what it found at its start


def test_closed_room_sockets_leave_no_reference_cycles(tmp_path):
    from tesko_server.client import Closed, RoomClient

    async def scenario() -> None:
        async with serving(tmp_path) as base:
            for _ in range(3):
                a, b = await seated_pair(base)
                await a.play(a.legal_moves[0])
                await a.close()  # closed by the client
                await b.close()
            # Closed by the server: a hello with a token that holds no seat.
            a, _ = await seated_pair(base)
            await a.close()
            stranger = RoomClient(base, a.room_id, token="not a token")
            with pytest.raises(Closed):
                await stranger.connect()
            await asyncio.sleep(0.2)  # the server sees every end

    gc.collect()
    gc.set_debug(gc.DEBUG_SAVEALL)
    try:
        run(scenario())
        gc.collect()
        left = sorted({type(o).__name__ for o in gc.garbage} & SERVER_SIDE)
    finally:
        gc.set_debug(0)
        gc.garbage.clear()
    assert left == []


def test_a_peer_that_closes_as_a_message_comes_costs_no_error(tmp_path, caplog):
    """One player moves while the other closes, with the close at times
    around the event that the move sends it: a message that finds its
    socket already closing is dropped quietly, as uvicorn's own send does,
    not left as an error in an unretrieved task."""

    async def scenario() -> None:
        async with serving(tmp_path) as base:
            for i in range(24):
                a, b = await seated_pair(base)
                move = asyncio.ensure_future(a.play(a.legal_moves[0]))
                await asyncio.sleep(i % 6 * 0.001)
                await b.close()
                await move
                await a.close()
            await asyncio.sleep(0.2)
            gc.collect()  # an unretrieved task's error is said as it is freed

    with caplog.at_level(logging.ERROR):
        run(scenario())
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR] == []
