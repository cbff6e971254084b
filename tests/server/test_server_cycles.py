"""A closed room socket leaves no reference cycle behind in the server: its
objects are freed as it ends, not left for the collector's full passes
(which grow with every room held, and stall every room while they run)."""

from __future__ import annotations

import asyncio
import gc

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


async def serve_and_close_sockets(folder, port: int) -> None:
    import uvicorn
    from tesko_server.app import GuardedHttp, WebSettings, build_app
    from tesko_server.client import Closed, RoomClient
    from tesko_server.hub import Settings
    from tesko_server.store import SqliteStore
    from tesko_server.wsprotocol import LimitedWebSocketProtocol

    store = SqliteStore(str(folder / "cycles.db"))
    app = build_app(lambda: store, WebSettings(hub=Settings(workers=1)))
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
    serving = asyncio.ensure_future(server.serve())
    try:
        while not server.started:
            await asyncio.sleep(0.01)
        base = f"http://127.0.0.1:{port}"
        for _ in range(3):
            a, b = await seated_pair(base)
            await a.play(a.legal_moves[0])
            await a.close()  # closed by the client
            await b.close()
        # Closed by the server: a first message that is not a hello.
        a, _ = await seated_pair(base)
        await a.close()
        stranger = RoomClient(base, a.room_id, token="not a token")
        with pytest.raises(Closed):
            await stranger.connect()
        await asyncio.sleep(0.2)  # the server sees every end
    finally:
        server.should_exit = True
        await serving


def test_closed_room_sockets_leave_no_reference_cycles(tmp_path):
    gc.collect()
    gc.set_debug(gc.DEBUG_SAVEALL)
    try:
        run(serve_and_close_sockets(tmp_path, free_port()))
        gc.collect()
        left = sorted({type(o).__name__ for o in gc.garbage} & SERVER_SIDE)
    finally:
        gc.set_debug(0)
        gc.garbage.clear()
        gc.unfreeze()  # the server froze what it found at its start
    assert left == []
