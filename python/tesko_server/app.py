"""The web layer: lobby routes, the room WebSocket, pages and headers.

Handlers parse, call one method of the `Hub`, and answer; the hub's errors
become JSON errors with their HTTP status. Nothing here knows the rules.
"""

from __future__ import annotations

import asyncio
import contextlib
import gc
import inspect
import ipaddress
import json
import logging
import re
from collections.abc import Awaitable, Callable
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Mount, Route, WebSocketRoute
from starlette.staticfiles import StaticFiles
from starlette.types import Message, Receive, Scope, Send
from starlette.websockets import WebSocket, WebSocketDisconnect
from uvicorn.protocols.http.httptools_impl import STATUS_LINE, HttpToolsProtocol

from . import metrics
from .hub import Hub, Settings
from .protocol import (
    Error,
    HubError,
    limits_text,
    to_text,
)
from .room_socket import RoomSocket
from .rows import Store

log = logging.getLogger("tesko_server")

HOST = re.compile(r"[A-Za-z0-9.:\[\]-]{1,255}")
STATIC = Path(__file__).parent / "static"
MAX_BODY = 4096
MAX_HEAD = 16 * 1024  # a request's line and headers together

STATUS = {
    "bad_request": 400,
    "missing_token": 401,
    "bad_token": 403,
    "bad_origin": 403,
    "no_such_room": 404,
    "seat_taken": 409,
    "room_full": 409,
    "game_over": 409,
    "owners_hidden": 409,
    "too_large": 413,
    "bad_content_type": 415,
    "too_many_rooms": 429,
    "too_many_requests": 429,
    "too_many_joins": 409,
    "server_full": 503,
    "engine_unavailable": 503,
    "shutting_down": 503,
    "store_failed": 503,
    "room_moved": 503,
}


# The id deploy/haproxy.cfg draws for a room it sends to be made.
ROUTED_HEADER = "x-tesko-room"


@dataclass
class WebSettings:
    # The origins whose pages may open room sockets and call the lobby: the
    # configured public ones and those of the address the server listens on.
    allowed_origins: tuple[str, ...] = ()
    hub: Settings = field(default_factory=Settings)
    # A new room takes the id the router drew (ROUTED_HEADER), if free.
    router_room_ids: bool = False


LIMITS_BLOCK = '<script type="application/json" id="limits"></script>'


def page(name: str, limits: str) -> bytes:
    """A page of the static folder with the server's limits written into
    its JSON block, which its scripts read (static/limits.js)."""
    text = (STATIC / name).read_text(encoding="utf-8")
    filled = LIMITS_BLOCK.replace("></", f">{limits}</")
    return text.replace(LIMITS_BLOCK, filled, 1).encode()


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
    """The client's address as the per-address limits count it: an IPv4
    address, or the /64 network of an IPv6 one (one subscriber's usual
    share, which it can fill with addresses at will)."""
    return address_key(conn.client.host) if conn.client else "unknown"


def address_key(host: str) -> str:
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        return host
    if ip.version == 6:
        if ip.ipv4_mapped is not None:
            return str(ip.ipv4_mapped)
        return str(ipaddress.IPv6Network((ip, 64), strict=False))
    return str(ip)


def check_lobby_call(request: Request, allowed: tuple[str, ...]) -> None:
    """Refuse a state-changing lobby call with a body other than JSON (which
    a page of another site can send without asking first), or a browser's
    call from an origin not allowed."""
    kind = request.headers.get("content-type", "").partition(";")[0].strip().lower()
    if kind != "application/json":
        raise HubError("bad_content_type", "the lobby takes Content-Type: application/json")
    if not origin_allowed(request, allowed):
        raise HubError("bad_origin", "this origin may not call the lobby")


async def lobby_error(request: Request, err: Exception) -> Response:
    """A lobby route's refusal (`HubError`) as its JSON error answer."""
    assert isinstance(err, HubError)
    return error(err.code, err.message)


def settle_garbage_collector() -> None:
    """Keep the collector's passes short, each a stall of every room.

    What exists once the server has started (modules, classes, the rooms
    loaded from the store) is moved out of its reach. A medium pass goes
    over what has lived through the young passes since the last one: the
    objects of the sockets open meanwhile, mostly, which live as long as a
    game. Under load, with 2,000 and 20 it went over 30-40 thousand of them
    (a pause of 20-40 ms); with 500 and 4 it goes over a fifth of that
    (at most 7 ms), for about 2% more of the loop's time in the collector.
    Nothing the server makes per socket or per move is left in a reference
    cycle (a test holds the sockets to it), so full passes, which go over
    every room held, are needed rarely: one per 200 medium passes."""
    gc.collect()
    gc.freeze()
    gc.set_threshold(500, 4, 200)


def origin_allowed(conn: Request | WebSocket, allowed: tuple[str, ...]) -> bool:
    # Not compared with the request's Host: a page of any site whose name
    # is made to resolve to this server would send a matching one.
    origin = conn.headers.get("origin")
    if origin is None or origin in allowed:
        return True  # no Origin: not a browser
    return origin in arrival_origins(conn)


def arrival_origins(conn: Request | WebSocket) -> tuple[str, ...]:
    """The origins of this server's own page as opened at the address the
    connection came in on (the socket's own address, never the Host header),
    so a server on a wildcard address serves the other machines of its
    network. An address, not a name: a rebinding page's origin is a name."""
    server = conn.scope.get("server")
    if not server or server[1] is None:
        return ()  # a Unix socket: only the configured origins
    host, port = server[0], int(server[1])
    netloc = f"[{host}]" if ":" in host else host
    found = (f"http://{netloc}:{port}", f"https://{netloc}:{port}")
    if port == 80:
        found += (f"http://{netloc}",)
    if port == 443:
        found += (f"https://{netloc}",)
    return found


def build_app(
    store_factory: Callable[[], Store | Awaitable[Store]],
    web: WebSettings,
    on_failure: Callable[[BaseException], None] = lambda err: None,
) -> SecurityHeaders:
    """The ASGI app; its hub (`app.state.hub` once started) opens the store
    and starts the engine workers when the app starts."""
    state: dict[str, Any] = {}

    def hub() -> Hub:
        return state["hub"]

    # A lobby route refuses by raising HubError; `lobby_error` answers it.

    async def create_room(request: Request) -> Response:
        check_lobby_call(request, web.allowed_origins)
        address = client_address(request)
        hub().lobby_call(address)
        routed = request.headers.get(ROUTED_HEADER) if web.router_room_ids else None
        answer = await hub().create(await read_json(request), address, routed)
        return JSONResponse(answer, 201)

    async def list_rooms(request: Request) -> Response:
        hub().lobby_call(client_address(request))
        rooms = hub().list_rooms(request.query_params.get("status", "waiting"))
        return JSONResponse({"rooms": rooms})

    async def read_room(request: Request) -> Response:
        hub().lobby_call(client_address(request))
        await hub().hold(request.path_params["room"])
        return JSONResponse(hub().read(request.path_params["room"]))

    async def room_record(request: Request) -> Response:
        hub().lobby_call(client_address(request))
        await hub().hold(request.path_params["room"])
        name, text = hub().record(request.path_params["room"], bearer(request))
        return Response(
            text,
            media_type="text/plain; charset=utf-8",
            headers={"Content-Disposition": f'attachment; filename="{name}"'},
        )

    async def join_room(request: Request) -> Response:
        check_lobby_call(request, web.allowed_origins)
        hub().lobby_call(client_address(request))
        body = await read_json(request)
        await hub().hold(request.path_params["room"], fresh=True)
        return JSONResponse(await hub().join(request.path_params["room"], body))

    async def leave_room(request: Request) -> Response:
        check_lobby_call(request, web.allowed_origins)
        hub().lobby_call(client_address(request))
        await hub().hold(request.path_params["room"], fresh=True)
        return JSONResponse(await hub().leave(request.path_params["room"], bearer(request)))

    async def healthz(request: Request) -> Response:
        if "hub" not in state or hub().stopping or not hub().pool.complete():  # type: ignore[union-attr]
            return JSONResponse({"ok": False}, 503)
        return JSONResponse({"ok": True})

    async def metrics_page(request: Request) -> Response:
        if "hub" in state:
            hub().update_gauges()
            pool = hub().pool
            if pool is not None:
                for index, worker in enumerate(pool.workers):
                    pid = worker.process.pid if worker.alive and worker.process else 0
                    metrics.engine_worker_pid.labels(str(index)).set(pid or 0)
        return Response(generate_latest(metrics.registry), media_type=CONTENT_TYPE_LATEST)

    limits = limits_text(web.hub.move_times)
    pages = {name: page(name, limits) for name in ("index.html", "room.html")}

    async def index(request: Request) -> Response:
        return HTMLResponse(pages["index.html"])

    async def room_page(request: Request) -> Response:
        with contextlib.suppress(HubError):  # the page tells of a room that is not
            await hub().hold(request.path_params["room"])
        return HTMLResponse(pages["room.html"])

    async def room_socket(ws: WebSocket) -> None:
        if not origin_allowed(ws, web.allowed_origins):
            log.warning("websocket from origin %r refused", ws.headers.get("origin"))
            await ws.close(1008)  # before accept: the upgrade is answered 403
            return
        address = client_address(ws)
        try:
            hub().socket_opened(address)
        except HubError as err:
            with contextlib.suppress(WebSocketDisconnect, RuntimeError, OSError):
                await ws.accept()
                await ws.send_text(to_text(Error(err.code, err.message)))
                await ws.close(1013, err.message)  # try again later
            return
        try:
            await RoomSocket(ws, hub(), web.hub).run()
        finally:
            hub().socket_closed(address)

    @asynccontextmanager
    async def lifespan(app: Starlette):  # type: ignore[no-untyped-def]
        try:
            store = store_factory()
            if inspect.isawaitable(store):  # a store reached over the network
                store = await store
            the_hub = Hub(web.hub, store, on_failure=on_failure)
            state["hub"] = the_hub
            await the_hub.start()
        except Exception as err:
            # Said in one line (by uvicorn, with the startup's failure).
            app.state.startup_error = f"tesko-server cannot start: {err}"
            raise
        app.state.hub = the_hub
        settle_garbage_collector()
        watch = metrics.LoopWatch()
        watch.start()
        try:
            yield
        finally:
            watch.stop()
        await the_hub.drain()

    routes = [
        Route("/", index),
        Route("/r/{room}", room_page),
        Route("/api/rooms", create_room, methods=["POST"]),
        Route("/api/rooms", list_rooms, methods=["GET"]),
        Route("/api/rooms/{room}", read_room, methods=["GET"]),
        Route("/api/rooms/{room}/record", room_record, methods=["GET"]),
        Route("/api/rooms/{room}/join", join_room, methods=["POST"]),
        Route("/api/rooms/{room}/leave", leave_room, methods=["POST"]),
        Route("/healthz", healthz),
        Route("/metrics", metrics_page),
        WebSocketRoute("/ws/{room}", room_socket),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    app = Starlette(routes=routes, lifespan=lifespan, exception_handlers={HubError: lobby_error})
    return SecurityHeaders(app)


class SecurityHeaders:
    """Adds the content policy and the other protective headers to every answer."""

    def __init__(self, app: Starlette) -> None:
        self.app = app
        self.state = app.state  # the hub is app.state.hub once started

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            await self.app(scope, receive, self._lifespan_send(send))
            return
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
        # Answers of the moment are never kept; pages and their files are kept
        # but checked again each time (they are not versioned by name, and an
        # old script beside a new page would speak an old protocol).
        path = scope["path"]
        dynamic = path.startswith("/api/") or path in ("/healthz", "/metrics")
        cache = b"no-store" if dynamic else b"no-cache"

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
                if not any(k.lower() == b"cache-control" for k, _ in headers):
                    headers.append((b"cache-control", cache))
                message = {**message, "headers": headers}
            await send(message)

        await self.app(scope, receive, send_with_headers)

    def _lifespan_send(self, send: Send) -> Send:
        async def send_without_traceback(message: Message) -> None:
            if message["type"] == "lifespan.startup.failed":
                text = getattr(self.state, "startup_error", None)
                message = {**message, "message": text or message.get("message", "")}
            await send(message)

        return send_without_traceback


class GuardedHttp(HttpToolsProtocol):
    """uvicorn's HTTP/1.1 protocol with bounds on a request's head: its line
    and headers must arrive within `header_timeout` seconds (431 past
    `MAX_HEAD` bytes, 408 past the time), so that slow or endless headers
    hold neither a connection nor memory. A connection that sends nothing
    is closed at the same time."""

    header_timeout = 10.0

    def connection_made(self, transport) -> None:  # type: ignore[no-untyped-def]
        super().connection_made(transport)
        self._head_bytes = 0
        self._in_head = True
        self._head_timer: asyncio.TimerHandle | None = None
        self._start_head_timer()

    def _start_head_timer(self) -> None:
        if self._head_timer is None:
            self._head_timer = self.loop.call_later(self.header_timeout, self._head_too_slow)

    def _stop_head_timer(self) -> None:
        if self._head_timer is not None:
            self._head_timer.cancel()
            self._head_timer = None

    def connection_lost(self, exc: Exception | None) -> None:
        self._stop_head_timer()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        if self._in_head:
            self._head_bytes += len(data)
        super().data_received(data)
        if self._in_head and self._head_bytes > MAX_HEAD and not self.transport.is_closing():
            self._refuse(431, "the request's headers are too large")

    def handle_websocket_upgrade(self) -> None:
        super().handle_websocket_upgrade()
        # The socket's own protocol has the transport now, and this one is
        # never told of its end: drop its parser, which holds its methods
        # (a reference cycle, left for the collector's full passes).
        self._stop_head_timer()
        self.parser = None  # type: ignore[assignment]

    def on_message_begin(self) -> None:
        super().on_message_begin()
        self._in_head = True
        self._start_head_timer()

    def on_headers_complete(self) -> None:
        self._in_head = False
        self._head_bytes = 0
        self._stop_head_timer()
        super().on_headers_complete()

    def on_message_complete(self) -> None:
        super().on_message_complete()
        self._in_head = True  # the next request's bytes count from here
        self._head_bytes = 0

    def _head_too_slow(self) -> None:
        self._head_timer = None
        if self._in_head and not self.transport.is_closing():
            self._refuse(408, "the request's headers took too long")

    def _refuse(self, status: int, message: str) -> None:
        self._stop_head_timer()
        self._in_head = False
        body = message.encode()
        self.transport.write(
            STATUS_LINE[status]
            + b"content-type: text/plain; charset=utf-8\r\n"
            + b"content-length: %d\r\nconnection: close\r\n\r\n" % len(body)
            + body
        )
        self.transport.close()
