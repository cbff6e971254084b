"""A room's WebSocket on the server: the connection the hub writes to (its
messages queued and written by one task) and the socket's life in named
phases, from the handshake to the close."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import time
from collections import deque

from starlette.websockets import WebSocket, WebSocketDisconnect

from .hub import Hub, Settings
from .ownership import MOVED_CODE, MOVED_REASON
from .protocol import (
    PONG,
    PROTOCOL,
    BadMessage,
    Claim,
    Error,
    Hello,
    HubError,
    Move,
    Ping,
    Refusal,
    Rematch,
    decode_client,
    to_text,
    unknown_type,
)
from .room import Room

log = logging.getLogger("tesko_server")

# Output queued for one connection, beyond what its socket holds; a
# connection further behind than this is cut.
MAX_OUTBOX = 4 * 1024 * 1024

# Refusals of a room socket that may pass later: closed with 1013, "try again later".
TRY_LATER = ("too_many_spectators", "too_many_sockets")


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
        # What is queued goes out in one write where the protocol allows it.
        self.send_texts = ws.scope.get("extensions", {}).get("tesko.send_texts")

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
                    if self.send_texts is not None:
                        texts = list(self.outbox)
                        self.outbox.clear()
                        self.queued = 0
                        await self.send_texts(texts)
                        continue
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

    async def finish(self) -> None:
        """End the writer: at once when it waits for output, cut when it
        waits for the socket. Nothing then refers back to this connection
        (a cancelled writer's traceback would, from its frame: a reference
        cycle left for the collector's full passes)."""
        self.closed = True
        writer, self.writer = self.writer, None
        if writer is not None and not writer.done():
            if self.wake is not None and not self.wake.done():
                self._poke()  # it waits for output: it ends on its own
            else:
                writer.cancel()
            await asyncio.wait([writer])  # its end, whatever it was
        self.wake = None
        self.send_texts = None

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
        self.send(to_text(Error(code, message)))
        self.close(close_code, message[:100])


class RoomSocket:
    """A room's WebSocket from its accept to its end, in three phases: the
    handshake (a hello, then attached to its room), serving the client's
    messages, and the close (detached, what is queued sent, the close frame)."""

    def __init__(self, ws: WebSocket, hub: Hub, settings: Settings) -> None:
        self.ws = ws
        self.hub = hub
        self.settings = settings
        self.conn = SocketConnection(ws, settings)

    async def run(self) -> None:
        await self.ws.accept()
        self.conn.start()
        try:
            if await self.handshake():
                await self.serve()
        except WebSocketDisconnect:
            pass
        finally:
            await self.close()

    async def handshake(self) -> bool:
        """The client's hello, then the connection attached to its room;
        False when the socket is being closed instead."""
        conn = self.conn
        hello: object
        try:
            text = await asyncio.wait_for(self.ws.receive_text(), self.settings.hello_timeout)
            hello = decode_client(text)
        except (asyncio.TimeoutError, KeyError):  # late, or a binary frame
            hello = None
        except BadMessage as err:
            hello = None if err.not_json else err
        except Refusal as err:
            hello = err
        if hello is None:
            conn.fail("bad_message", "the first message is a hello, within the time allowed")
            return False
        if not isinstance(hello, Hello):
            conn.fail("bad_message", "the first message is a hello")
            return False
        if hello.protocol != PROTOCOL:
            conn.fail("bad_protocol", f"this server speaks protocol {PROTOCOL}")
            return False
        if self.hub.stopping:
            conn.fail("shutting_down", "the server is stopping", 1001)
            return False
        try:
            await self.hub.hold(self.ws.path_params["room"], fresh=True)
            self.hub.attach(self.ws.path_params["room"], hello.token, hello.version, conn)
        except HubError as err:
            if err.code == "room_moved":  # taken by another node as it was loaded here
                conn.close(MOVED_CODE, MOVED_REASON)
            else:
                conn.fail(err.code, err.message, 1013 if err.code in TRY_LATER else 1008)
            return False
        return True

    async def serve(self) -> None:
        """Each message of the client, decoded and checked, to the hub."""
        conn = self.conn
        receive = self.ws.receive
        hub = self.hub
        while True:
            message = await receive()
            if message["type"] == "websocket.disconnect":
                return
            text = message.get("text")
            if not conn.allow():
                conn.fail("rate_limited", "too many messages")
                return
            try:
                data = decode_client(text)
            except BadMessage as err:
                conn.fail("bad_message", err.message)
                return
            except Refusal as err:
                hub.refuse(conn, err)
                continue
            if isinstance(data, Move):
                hub.move(conn, data)
            elif isinstance(data, Ping):
                conn.send(PONG)
            elif isinstance(data, Rematch):
                hub.rematch(conn, data)
            elif isinstance(data, Claim):
                hub.claim(conn, data)
            else:
                conn.fail("bad_message", unknown_type("hello"))
                return

    async def close(self) -> None:
        conn = self.conn
        self.hub.detach(conn)
        if conn.closing is not None and conn.writer is not None:
            # Let the writer send what is queued and the close frame.
            with contextlib.suppress(Exception):
                await asyncio.wait_for(asyncio.shield(conn.writer), 5)
        await conn.finish()
