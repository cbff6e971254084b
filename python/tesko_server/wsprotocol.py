"""uvicorn's sans-I/O WebSocket protocol, with limits on what one socket may
cost the server.

uvicorn parses a socket's frames with the `websockets` library's sans-I/O
protocol, which bounds the size of a message but not the number of frames
in it, nor control frames, nor the output waiting for a peer that does not
read. Every frame costs the event loop some microseconds, so a socket could
keep it busy with empty continuation frames, or grow the server's memory
with pings whose answers it never reads. This protocol class (given to
uvicorn as its `ws` setting) adds:

- a byte budget per socket (`BYTES_PER_SECOND`, bursts of `BYTES_BURST`),
  counted on the raw input before any of it is parsed;
- at most `MAX_FRAMES` frames in one message;
- a budget of control frames (pings and pongs: `CONTROL_PER_SECOND`, bursts
  of `CONTROL_BURST`);
- output that stays above the transport's high-water mark for
  `SEND_TIMEOUT` seconds (a peer that does not read) ends the connection.

A socket over the first three is closed with 1008 and a reason; one that
does not read is cut (a close frame could not reach it). Input is parsed in
slices of `SLICE` bytes so that a flood is seen after at most a slice's
worth of frames. The application can cut its own connection through the
`tesko.abort` extension in the scope (a connection too far behind), and
send several text frames in one write through `tesko.send_texts`.
"""

from __future__ import annotations

import asyncio
import logging
from typing import Any

from uvicorn.protocols.utils import ClientDisconnected
from uvicorn.protocols.websockets.websockets_sansio_impl import WebSocketsSansIOProtocol
from websockets.exceptions import InvalidState
from websockets.frames import Frame, Opcode
from websockets.http11 import Request
from websockets.protocol import State

log = logging.getLogger("tesko_server")

BYTES_PER_SECOND = 16 * 1024
BYTES_BURST = 64 * 1024
MAX_FRAMES = 16
CONTROL_PER_SECOND = 1.0
CONTROL_BURST = 10.0
SEND_TIMEOUT = 10.0
CLOSE_TIMEOUT = 5.0
SLICE = 1024
POLICY = 1008


class LimitedWebSocketProtocol(WebSocketsSansIOProtocol):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        now = self.loop.time()
        self.byte_allowance = float(BYTES_BURST)
        self.control_allowance = CONTROL_BURST
        self.bytes_checked = self.control_checked = now
        self.fragments = 0  # frames of the message being received so far
        self.refused: str | None = None
        self.stall_timer: asyncio.TimerHandle | None = None

    # -- input ------------------------------------------------------------

    def data_received(self, data: bytes) -> None:
        if self.refused is not None:
            return
        now = self.loop.time()
        self.byte_allowance = min(
            BYTES_BURST, self.byte_allowance + (now - self.bytes_checked) * BYTES_PER_SECOND
        )
        self.bytes_checked = now
        self.byte_allowance -= len(data)
        if self.byte_allowance < 0:
            self.refuse("too much data")
            return
        if len(data) <= SLICE:
            super().data_received(data)
            return
        for start in range(0, len(data), SLICE):
            super().data_received(data[start : start + SLICE])
            if self.refused is not None or self.transport.is_closing():
                return

    def handle_events(self) -> None:
        for event in self.conn.events_received():
            if self.refused is not None:
                return
            if isinstance(event, Request):
                self.handle_connect(event)
                continue
            if not isinstance(event, Frame):  # pragma: no cover - nothing else is received
                continue
            opcode = event.opcode
            if opcode is Opcode.TEXT or opcode is Opcode.BINARY:
                self.fragments = 1
            elif opcode is Opcode.CONT:
                self.fragments += 1
                if self.fragments > MAX_FRAMES:
                    self.refuse("too many frames in one message")
                    return
            elif opcode is Opcode.PING or opcode is Opcode.PONG:
                now = self.loop.time()
                self.control_allowance = min(
                    CONTROL_BURST,
                    self.control_allowance + (now - self.control_checked) * CONTROL_PER_SECOND,
                )
                self.control_checked = now
                if self.control_allowance < 1:
                    self.refuse("too many control frames")
                    return
                self.control_allowance -= 1
            if opcode is Opcode.CONT:
                self.handle_cont(event)
            elif opcode is Opcode.TEXT:
                self.handle_text(event)
            elif opcode is Opcode.BINARY:
                self.handle_bytes(event)
            elif opcode is Opcode.PING:
                self.handle_ping()
            elif opcode is Opcode.PONG:
                self.handle_pong(event)
            elif opcode is Opcode.CLOSE:
                self.handle_close(event)

    def refuse(self, reason: str) -> None:
        """Close the connection with 1008 and `reason`, and read no more of it."""
        if self.refused is not None:
            return
        self.refused = reason
        log.warning("websocket from %s closed: %s", self._peer(), reason)
        if self.conn.state is State.OPEN:
            self.conn.fail(POLICY, reason)
            self.transport.write(b"".join(self.conn.data_to_send()))
        if not self.close_sent:
            self.queue.put_nowait(
                {"type": "websocket.disconnect", "code": POLICY, "reason": reason}
            )
        self.close_sent = True
        self._finish()

    # -- output -----------------------------------------------------------

    def pause_writing(self) -> None:
        super().pause_writing()
        if self.stall_timer is None:
            self.stall_timer = self.loop.call_later(SEND_TIMEOUT, self._stalled)

    def resume_writing(self) -> None:
        super().resume_writing()
        if self.stall_timer is not None:
            self.stall_timer.cancel()
            self.stall_timer = None

    def _stalled(self) -> None:
        self.stall_timer = None
        self.abort(f"took no output for {SEND_TIMEOUT:g} s")

    def abort(self, reason: str) -> None:
        """Cut the connection now: nothing more can reach the peer."""
        if self.refused is None:
            self.refused = reason
            log.warning("websocket from %s cut: %s", self._peer(), reason)
        self.transport.abort()  # connection_lost tells the application

    def _finish(self) -> None:
        # A peer that reads nothing would keep a closing transport, and what
        # it holds, for ever.
        if self.transport.get_write_buffer_size() > BYTES_BURST:
            self.transport.abort()
            return
        self.transport.close()
        self.loop.call_later(CLOSE_TIMEOUT, self.transport.abort)

    def connection_lost(self, exc: Exception | None) -> None:
        if self.stall_timer is not None:
            self.stall_timer.cancel()
            self.stall_timer = None
        super().connection_lost(exc)
        # The scope would hold this protocol through its own method: a
        # reference cycle, left for the collector's full passes.
        scope = getattr(self, "scope", None)
        if scope is not None:
            scope["extensions"].pop("tesko.abort", None)
            scope["extensions"].pop("tesko.send_texts", None)

    def handle_connect(self, event: Request) -> None:
        super().handle_connect(event)
        scope = getattr(self, "scope", None)
        if scope is not None:  # the application starts after this returns
            scope["extensions"]["tesko.abort"] = self.abort
            scope["extensions"]["tesko.send_texts"] = self.send_texts

    async def send_texts(self, texts: list[str]) -> None:
        """Text frames, all in one write to the transport: what the ASGI
        `websocket.send` does for one frame, without its way through the
        framework for each, nor a system call for each."""
        await self.writable.wait()
        if self.disconnected:
            raise ClientDisconnected()
        if self.close_sent or not self.handshake_complete or self.initial_response is not None:
            raise RuntimeError("the socket is not open for messages")
        try:
            for text in texts:
                self.conn.send_text(text.encode())
        except InvalidState:  # the peer's close came first: as `send` says it
            raise ClientDisconnected() from None
        self.transport.write(b"".join(self.conn.data_to_send()))

    def _peer(self) -> str:
        return self.client[0] if self.client else "unknown"
