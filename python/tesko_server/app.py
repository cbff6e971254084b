"""The web layer: lobby routes, the room WebSocket, pages and headers.

Handlers parse, call one method of the `Hub`, and answer; the hub's errors
become JSON errors with their HTTP status. Nothing here knows the rules.
"""

from __future__ import annotations

import asyncio
import contextlib
import gc
import json
import logging
import re
import time
from collections import deque
from collections.abc import Callable
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route, WebSocketRoute
from starlette.staticfiles import StaticFiles
from starlette.types import Message, Receive, Scope, Send
from starlette.websockets import WebSocket, WebSocketDisconnect

from . import metrics
from .rooms import PROTOCOL, Hub, HubError, Room, Settings, dumps
from .store import Store

log = logging.getLogger("tesko_server")

HOST = re.compile(r"[A-Za-z0-9.:\[\]-]{1,255}")
STATIC = Path(__file__).parent / "static"
MAX_BODY = 4096
# Output queued for one connection, beyond what its socket holds; a
# connection further behind than this is cut.
MAX_OUTBOX = 4 * 1024 * 1024

STATUS = {
    "bad_request": 400,
    "missing_token": 401,
    "bad_token": 403,
    "no_such_room": 404,
    "seat_taken": 409,
    "room_full": 409,
    "game_over": 409,
    "too_large": 413,
    "too_many_rooms": 429,
    "server_full": 503,
    "engine_unavailable": 503,
    "shutting_down": 503,
}


@dataclass
class WebSettings:
    allowed_origins: tuple[str, ...] = ()
    hub: Settings = field(default_factory=Settings)


def error(code: str, message: str) -> JSONResponse:
    return JSONResponse({"error": {"code": code, "message": message}}, STATUS.get(code, 400))


async def read_json(request: Request) -> Any:
    length = request.headers.get("content-length")
    if length is not None and (not length.isdigit() or int(length) > MAX_BODY):
        raise HubError("too_large", f"a body is at most {MAX_BODY} bytes")
    body = b""
    async for chunk in request.stream():
        body += chunk
        if len(body) > MAX_BODY:
            raise HubError("too_large", f"a body is at most {MAX_BODY} bytes")
    if not body.strip():
        return None
    try:
        return parse_json(body)
    except (ValueError, UnicodeDecodeError):
        raise HubError("bad_request", "the body is not JSON") from None


def parse_json(text: str | bytes) -> Any:
    """`json.loads`, with nesting too deep for it taken as not JSON
    (ValueError) rather than as a RecursionError."""
    try:
        return json.loads(text)
    except RecursionError:
        raise ValueError("nested too deeply") from None


def bearer(request: Request) -> str | None:
    value = request.headers.get("authorization", "")
    scheme, _, token = value.partition(" ")
    if scheme.lower() != "bearer" or not token.strip():
        return None
    return token.strip()


def client_address(conn: Request | WebSocket) -> str:
    return conn.client.host if conn.client else "unknown"


class SocketConnection:
    """A room connection: messages queued by the hub, written by one task."""

    def __init__(self, ws: WebSocket, settings: Settings) -> None:
        self.ws = ws
        self.room: Room | None = None
        self.seat: str | None = None
        self.outbox: deque[str] = deque()
        self.queued = 0  # characters in the outbox
        self.closing: tuple[int, str] | None = None
        self.closed = False
        self.wake: asyncio.Future[None] | None = None
        self.rate = settings.rate
        self.burst = settings.burst
        self.allowance = settings.burst
        self.checked = time.monotonic()
        self.writer: asyncio.Task[None] | None = None

    def start(self) -> None:
        self.writer = asyncio.get_running_loop().create_task(self._write())

    def send(self, text: str) -> None:
        if self.closed or self.closing:
            return
        self.outbox.append(text)
        self.queued += len(text)
        if self.queued > MAX_OUTBOX:
            self.drop("too far behind")
            return
        self._poke()

    def drop(self, reason: str) -> None:
        """Cut the connection at once, dropping what it has not been sent."""
        self.closed = True
        self.outbox.clear()
        self.queued = 0
        abort = self.ws.scope.get("extensions", {}).get("tesko.abort")
        if abort is not None:
            abort(reason)
        self._poke()

    def close(self, code: int, reason: str) -> None:
        if self.closing is None:
            self.closing = (code, reason)
            self._poke()
            if self.writer is None:
                self.start()

    def _poke(self) -> None:
        wake = self.wake
        if wake is not None and not wake.done():
            wake.set_result(None)

    async def _write(self) -> None:
        loop = asyncio.get_running_loop()
        try:
            while True:
                while self.outbox and not self.closed:
                    text = self.outbox.popleft()
                    self.queued -= len(text)
                    await self.ws.send_text(text)
                if self.closed:
                    return
                if self.closing is not None:
                    self.closed = True
                    await self.ws.close(*self.closing)
                    return
                self.wake = loop.create_future()
                await self.wake
        except (WebSocketDisconnect, RuntimeError, OSError):
            self.closed = True

    def allow(self) -> bool:
        """One more message within the rate limit (a token bucket)?"""
        now = time.monotonic()
        self.allowance = min(self.burst, self.allowance + (now - self.checked) * self.rate)
        self.checked = now
        if self.allowance < 1:
            return False
        self.allowance -= 1
        return True

    def fail(self, code: str, message: str, close_code: int = 1008) -> None:
        self.send(dumps({"type": "error", "code": code, "message": message}))
        self.close(close_code, message[:100])


def settle_garbage_collector() -> None:
    """Keep the collector's full passes short: what exists once the server
    has started (modules, classes, the rooms loaded from the store) is moved
    out of its reach, and the young generation is collected less often. A
    full pass over everything cost 100-190 ms under load, each a stall of
    every room."""
    gc.collect()
    gc.freeze()
    gc.set_threshold(2_000, 20, 20)


def origin_allowed(ws: WebSocket, allowed: tuple[str, ...]) -> bool:
    origin = ws.headers.get("origin")
    if origin is None:
        return True  # not a browser
    if origin in allowed:
        return True
    host = ws.headers.get("host", "")
    return origin in (f"http://{host}", f"https://{host}")


def build_app(
    store_factory: Callable[[], Store],
    web: WebSettings,
    on_failure: Callable[[BaseException], None] = lambda err: None,
) -> SecurityHeaders:
    """The ASGI app; its hub (`app.state.hub` once started) opens the store
    and starts the engine workers when the app starts."""
    state: dict[str, Any] = {}

    def hub() -> Hub:
        return state["hub"]

    async def create_room(request: Request) -> Response:
        try:
            answer = await hub().create(await read_json(request), client_address(request))
        except HubError as err:
            return error(err.code, err.message)
        return JSONResponse(answer, 201)

    async def list_rooms(request: Request) -> Response:
        try:
            rooms = hub().list_rooms(request.query_params.get("status", "waiting"))
        except HubError as err:
            return error(err.code, err.message)
        return JSONResponse({"rooms": rooms})

    async def read_room(request: Request) -> Response:
        try:
            return JSONResponse(hub().read(request.path_params["room"]))
        except HubError as err:
            return error(err.code, err.message)

    async def join_room(request: Request) -> Response:
        try:
            body = await read_json(request)
            return JSONResponse(await hub().join(request.path_params["room"], body))
        except HubError as err:
            return error(err.code, err.message)

    async def leave_room(request: Request) -> Response:
        try:
            return JSONResponse(await hub().leave(request.path_params["room"], bearer(request)))
        except HubError as err:
            return error(err.code, err.message)

    async def healthz(request: Request) -> Response:
        if "hub" not in state or hub().stopping or not hub().pool.complete():  # type: ignore[union-attr]
            return JSONResponse({"ok": False}, 503)
        return JSONResponse({"ok": True, "engine_pids": hub().pool.pids()})  # type: ignore[union-attr]

    async def metrics_page(request: Request) -> Response:
        if "hub" in state:
            hub().update_gauges()
        return Response(generate_latest(metrics.registry), media_type=CONTENT_TYPE_LATEST)

    async def index(request: Request) -> Response:
        return FileResponse(STATIC / "index.html")

    async def room_page(request: Request) -> Response:
        return FileResponse(STATIC / "room.html")

    async def room_socket(ws: WebSocket) -> None:
        if not origin_allowed(ws, web.allowed_origins):
            log.warning("websocket from origin %r refused", ws.headers.get("origin"))
            await ws.close(1008)  # before accept: the upgrade is answered 403
            return
        await ws.accept()
        settings = web.hub
        conn = SocketConnection(ws, settings)
        conn.start()
        try:
            try:
                hello = parse_json(
                    await asyncio.wait_for(ws.receive_text(), settings.hello_timeout)
                )
            except (asyncio.TimeoutError, ValueError, KeyError):
                conn.fail("bad_message", "the first message is a hello, within the time allowed")
                return
            if not isinstance(hello, dict) or hello.get("type") != "hello":
                conn.fail("bad_message", "the first message is a hello")
                return
            if hello.get("protocol", PROTOCOL) != PROTOCOL:
                conn.fail("bad_protocol", f"this server speaks protocol {PROTOCOL}")
                return
            if hub().stopping:
                conn.fail("shutting_down", "the server is stopping", 1001)
                return
            try:
                hub().attach(ws.path_params["room"], hello.get("token"), hello.get("version"), conn)
            except HubError as err:
                conn.fail(err.code, err.message)
                return
            await serve(conn)
        except WebSocketDisconnect:
            pass
        finally:
            hub().detach(conn)
            if conn.closing is not None and conn.writer is not None:
                # Let the writer send what is queued and the close frame.
                with contextlib.suppress(Exception):
                    await asyncio.wait_for(conn.writer, 5)
            conn.closed = True
            if conn.writer is not None:
                conn.writer.cancel()

    async def serve(conn: SocketConnection) -> None:
        receive = conn.ws.receive
        the_hub = hub()
        while True:
            message = await receive()
            if message["type"] == "websocket.disconnect":
                return
            text = message.get("text")
            if not conn.allow():
                conn.fail("rate_limited", "too many messages")
                return
            try:
                data = parse_json(text) if text is not None else None
            except ValueError:
                data = None
            if not isinstance(data, dict):
                conn.fail("bad_message", "a message is a JSON object in a text frame")
                return
            kind = data.get("type")
            if kind == "move":
                the_hub.move(conn, data)
            elif kind == "ping":
                conn.send('{"type":"pong"}')
            elif kind == "rematch":
                the_hub.rematch(conn, data)
            else:
                conn.fail("bad_message", f"unknown message type {kind!r}"[:100])
                return

    @asynccontextmanager
    async def lifespan(app: Starlette):  # type: ignore[no-untyped-def]
        the_hub = Hub(web.hub, store_factory(), on_failure=on_failure)
        state["hub"] = the_hub
        await the_hub.start()
        app.state.hub = the_hub
        settle_garbage_collector()
        yield
        await the_hub.drain()

    routes = [
        Route("/", index),
        Route("/r/{room}", room_page),
        Route("/api/rooms", create_room, methods=["POST"]),
        Route("/api/rooms", list_rooms, methods=["GET"]),
        Route("/api/rooms/{room}", read_room, methods=["GET"]),
        Route("/api/rooms/{room}/join", join_room, methods=["POST"]),
        Route("/api/rooms/{room}/leave", leave_room, methods=["POST"]),
        Route("/healthz", healthz),
        Route("/metrics", metrics_page),
        WebSocketRoute("/ws/{room}", room_socket),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    app = Starlette(routes=routes, lifespan=lifespan)
    return SecurityHeaders(app)


class SecurityHeaders:
    """Adds the content policy and the other protective headers to every answer."""

    def __init__(self, app: Starlette) -> None:
        self.app = app
        self.state = app.state  # the hub is app.state.hub once started

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        host = ""
        for key, value in scope.get("headers", ()):
            if key == b"host":
                host = value.decode("latin-1")
                break
        if not HOST.fullmatch(host):
            host = ""
        policy = (
            "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
            f"connect-src 'self'{f' ws://{host} wss://{host}' if host else ''}; "
            "base-uri 'none'; form-action 'self'; frame-ancestors 'none'; object-src 'none'"
        ).encode("latin-1")
        api = scope["path"].startswith("/api/")

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                headers = list(message.get("headers", ()))
                headers += [
                    (b"content-security-policy", policy),
                    (b"x-content-type-options", b"nosniff"),
                    (b"referrer-policy", b"no-referrer"),
                    (b"x-frame-options", b"DENY"),
                    (b"cross-origin-opener-policy", b"same-origin"),
                ]
                if api:
                    headers.append((b"cache-control", b"no-store"))
                message = {**message, "headers": headers}
            await send(message)

        await self.app(scope, receive, send_with_headers)
