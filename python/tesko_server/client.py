"""An asyncio client of tesko-server: the lobby calls and one room's channel.

    lobby = Lobby("http://127.0.0.1:8000")
    made = await lobby.create(seats={"B": {"kind": "engine", "level": 3}},
                              join={"seat": "A", "name": "bot"})
    room = RoomClient(lobby.base, made["room"]["id"], token=made["token"])
    await room.connect()
    while await room.wait_for_turn():
        await room.play(room.legal_moves[0])
    print(room.result["text"])

`RoomClient` keeps the room's state from the server's messages, numbers its
moves itself, and when its connection drops it reconnects with the last
version it saw and sends an unanswered move again under the same number, so
a move is never applied twice.
"""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import json
import time
import urllib.parse
from typing import Any

import aiohttp
import websockets

from .protocol import PROTOCOL

# The server is addressed directly: no proxy lookup from the environment on
# every connection (the `proxy` argument exists from websockets 15 on).
_DIRECT = (
    {"proxy": None} if "proxy" in inspect.signature(websockets.connect.__init__).parameters else {}
)


class LobbyError(Exception):
    def __init__(self, status: int, code: str, message: str) -> None:
        super().__init__(f"{status} {code}: {message}")
        self.status = status
        self.code = code
        self.message = message


class MoveRefused(Exception):
    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


class Closed(Exception):
    """The server closed the room's channel for good (its code and reason)."""

    def __init__(self, code: int | None, reason: str) -> None:
        super().__init__(f"closed {code}: {reason}")
        self.code = code
        self.reason = reason


class ReviewFailed(Exception):
    """The server could not review the finished game; no review will come
    (a restart of the server tries again)."""


class _Dropped(Exception):
    """The connection dropped before the answer came."""


class Lobby:
    """The lobby's HTTP calls. Each call has a connection of its own, unless
    the lobby is used as `async with Lobby(base) as lobby:`, when its calls
    share kept-alive connections until the block ends."""

    def __init__(self, base: str) -> None:
        self.base = base.rstrip("/")
        parts = urllib.parse.urlsplit(self.base)
        if parts.scheme != "http" or not parts.hostname:
            raise ValueError("the lobby's address is http://HOST:PORT")
        self._session: aiohttp.ClientSession | None = None

    async def __aenter__(self) -> Lobby:
        # Idle connections are let go before the server would close them
        # (5 s), so that a call never goes out on one that is closing.
        connector = aiohttp.TCPConnector(keepalive_timeout=2)
        self._session = aiohttp.ClientSession(connector=connector)
        return self

    async def __aexit__(self, *exc: object) -> None:
        session, self._session = self._session, None
        if session is not None:
            await session.close()

    async def request(
        self, method: str, path: str, body: object = None, token: str | None = None
    ) -> Any:
        status, answer = await self.raw(method, path, body, token)
        if status >= 400:
            err = answer.get("error", {}) if isinstance(answer, dict) else {}
            raise LobbyError(status, err.get("code", "?"), err.get("message", str(answer)))
        return answer

    async def raw(
        self,
        method: str,
        path: str,
        body: object = None,
        token: str | None = None,
        headers: dict[str, str] | None = None,
        data: bytes | None = None,
    ) -> tuple[int, Any]:
        """One request; the status and the decoded JSON answer (or text).
        A connection that fails or ends without an answer raises
        ConnectionError."""
        if data is None:
            data = b"" if body is None else json.dumps(body).encode()
        sent = {"Content-Type": "application/json"}
        if token is not None:
            sent["Authorization"] = f"Bearer {token}"
        sent.update(headers or {})
        try:
            if self._session is not None:
                return await _answer(self._session, method, self.base + path, data, sent)
            async with aiohttp.ClientSession() as session:
                return await _answer(session, method, self.base + path, data, sent)
        except aiohttp.ClientError as err:
            raise ConnectionError(f"{method} {path}: {err or type(err).__name__}") from err

    async def create(self, **options: Any) -> dict:
        return await self.request("POST", "/api/rooms", options)

    async def join(self, room: str, name: str, seat: str | None = None) -> dict:
        body: dict[str, Any] = {"name": name}
        if seat is not None:
            body["seat"] = seat
        return await self.request("POST", f"/api/rooms/{room}/join", body)

    async def leave(self, room: str, token: str) -> dict:
        return await self.request("POST", f"/api/rooms/{room}/leave", token=token)

    async def rooms(self, status: str = "waiting") -> list[dict]:
        return (await self.request("GET", f"/api/rooms?status={status}"))["rooms"]

    async def read(self, room: str) -> dict:
        return await self.request("GET", f"/api/rooms/{room}")


async def _answer(
    session: aiohttp.ClientSession, method: str, url: str, data: bytes, headers: dict[str, str]
) -> tuple[int, Any]:
    async with session.request(method, url, data=data, headers=headers) as answer:
        payload = await answer.read()
        status = answer.status
    try:
        return status, json.loads(payload)
    except ValueError:
        return status, payload.decode("utf-8", "replace")


class RoomClient:
    """One seat's (or a spectator's) channel to a room."""

    def __init__(
        self,
        base: str,
        room: str,
        token: str | None = None,
        *,
        version: int | None = None,
        counter: int = 0,
        origin: str | None = None,
        reconnect: bool = True,
    ) -> None:
        self.url = base.replace("http://", "ws://", 1).rstrip("/") + f"/ws/{room}"
        self.room_id = room
        self.token = token
        self.version = version
        self.counter = counter
        self.origin = origin
        self.reconnect_on_drop = reconnect
        self.seat: str | None = None
        self.state: dict | None = None
        self.room: dict | None = None
        self.history: list[dict] = []
        self.presence: dict | None = None
        self.clock: dict | None = None  # the side to move's, as last received
        self.clock_at = 0.0  # time.monotonic() when it was received
        self.review: dict | None = None  # the engine's review of the finished game
        self.review_status: str | None = None  # "pending", "ready", "failed"; None before the end
        self.messages: list[dict] = []  # every message received, in order
        self.notices: list[dict] = []
        self.closed: Closed | None = None
        self.reconnects = 0
        self.round_trip = 0.0  # seconds from sending the last move to its answer
        self._ws: Any = None
        self._reader: asyncio.Task[None] | None = None
        self._waiters: dict[int, asyncio.Future[dict]] = {}
        self._changed = asyncio.Event()
        self._connected = asyncio.Event()

    # -- connection -----------------------------------------------------------

    async def connect(self, timeout: float = 10) -> dict:
        """Open the channel, say hello, and return the welcome once the
        snapshot or the missed events have been read."""
        headers = {"Origin": self.origin} if self.origin else None
        self._ws = await asyncio.wait_for(
            websockets.connect(
                self.url,
                additional_headers=headers,
                compression=None,
                max_size=2**20,
                open_timeout=timeout,
                **_DIRECT,
            ),
            timeout,
        )
        hello = {
            "type": "hello",
            "protocol": PROTOCOL,
            "token": self.token,
            "version": self.version,
        }
        await self._ws.send(json.dumps(hello))
        try:
            welcome = json.loads(await asyncio.wait_for(self._ws.recv(), timeout))
        except websockets.ConnectionClosed:
            code, reason = await self._close_info()
            raise Closed(code, reason) from None
        if welcome.get("type") != "welcome":
            code, reason = await self._close_info()
            raise Closed(code, f"{welcome.get('code')}: {welcome.get('message')} ({reason})")
        self.seat = welcome["seat"]
        if welcome.get("last_n"):
            self.counter = max(self.counter, welcome["last_n"])
        target = welcome["version"]
        self._connected.set()
        self._reader = asyncio.get_running_loop().create_task(self._read(self._ws))
        deadline = time.monotonic() + timeout
        while (self.version or 0) < target or self.state is None:
            await self._wait_change(deadline)
        return welcome

    async def _close_info(self) -> tuple[int | None, str]:
        with contextlib.suppress(Exception):
            await asyncio.wait_for(self._ws.wait_closed(), 2)
        return self._ws.close_code, self._ws.close_reason or ""

    async def close(self) -> None:
        self.reconnect_on_drop = False
        if self._ws is not None:
            await self._ws.close()
        if self._reader is not None:
            with contextlib.suppress(asyncio.CancelledError, Exception):
                await self._reader

    async def send_raw(self, data: str | bytes) -> None:
        await self._ws.send(data)

    async def _read(self, ws: Any) -> None:
        try:
            async for text in ws:
                self._handle(json.loads(text))
        except websockets.ConnectionClosed:
            pass
        self._connected.clear()
        code, reason = ws.close_code, ws.close_reason or ""
        if ws is not self._ws:
            return
        if self.reconnect_on_drop and code in (None, 1001, 1006, 1011, 1012, 1013):
            waiters, self._waiters = self._waiters, {}
            for future in waiters.values():
                if not future.done():
                    future.set_exception(_Dropped())
                    future.exception()  # whoever waits sees it; nobody else need
            self._changed.set()
            return  # `play` and `wait_for_turn` reconnect
        self.closed = Closed(code, reason)
        for future in self._waiters.values():
            if not future.done():
                future.set_exception(self.closed)
        self._changed.set()

    def _handle(self, message: dict) -> None:
        self.messages.append(message)
        kind = message.get("type")
        if kind == "snapshot":
            self.version = message["version"]
            self.state = message["state"]
            self.room = message["room"]
            self.history = list(message["history"])
            self._set_clock(message.get("clock"))
            self.review = message.get("review")
            self.review_status = message.get("review_status")
        elif kind == "review":
            self.review = message.get("review")
            self.review_status = message.get("status", "ready")
        elif kind == "event":
            if self.version is not None and message["version"] != self.version + 1:
                self.notices.append({"type": "gap", "after": self.version, "got": message})
            self.version = message["version"]
            self.state = message["state"]
            self.room = message["room"]
            self._set_clock(message.get("clock"))
            event = message["event"]
            if event["kind"] == "turn":
                self.history.append({"player": event["player"], "move": event["move"]})
        elif kind in ("ack", "refused"):
            n = message.get("n")
            future = self._waiters.pop(n, None) if isinstance(n, int) else None
            if future is not None and not future.done():
                future.set_result(message)
        elif kind == "presence":
            self.presence = message
        elif kind == "clock":
            self._set_clock(message.get("clock"))
        elif kind in ("notice", "error", "thinking"):
            self.notices.append(message)
        self._changed.set()

    def _set_clock(self, clock: dict | None) -> None:
        self.clock = clock
        self.clock_at = time.monotonic()

    def clock_left(self) -> float | None:
        """Seconds left on the side to move's clock now, as this client
        counts from the server's last word; None without a clock."""
        clock = self.clock
        if clock is None:
            return None
        if not clock.get("running", True):
            return clock["left"]
        return max(0.0, clock["left"] - (time.monotonic() - self.clock_at))

    async def _wait_change(self, deadline: float) -> None:
        self._changed.clear()
        left = deadline - time.monotonic()
        if left <= 0:
            raise asyncio.TimeoutError
        # A timer that sets the event, not a task per wait (asyncio.wait_for).
        timed_out: list[bool] = []

        def expire() -> None:
            timed_out.append(True)
            self._changed.set()

        timer = asyncio.get_running_loop().call_later(left, expire)
        try:
            await self._changed.wait()
        finally:
            timer.cancel()
        if self.closed is not None:
            raise self.closed
        if timed_out:
            raise asyncio.TimeoutError

    async def ensure_connected(self, timeout: float = 60) -> None:
        """Reconnect after a drop (growing pauses), resuming from `version`."""
        if self._connected.is_set():
            return
        if self.closed is not None:
            raise self.closed
        deadline = time.monotonic() + timeout
        pause = 0.05
        while True:
            try:
                await self.connect()
                self.reconnects += 1
                return
            except (OSError, asyncio.TimeoutError, websockets.WebSocketException, Closed) as err:
                if isinstance(err, Closed) and err.code not in (None, 1001, 1006, 1011, 1012, 1013):
                    raise
                if time.monotonic() + pause > deadline:
                    raise
                await asyncio.sleep(pause)
                pause = min(pause * 2, 1.0)

    # -- playing ----------------------------------------------------------------

    @property
    def my_turn(self) -> bool:
        return (
            self.state is not None
            and self.seat is not None
            and self.state["to_move"] == self.seat
            and (self.room or {}).get("status") == "playing"
        )

    @property
    def legal_moves(self) -> list[str]:
        return list(self.state["legal_moves"]) if self.my_turn and self.state else []

    @property
    def over(self) -> bool:
        return self.state is not None and self.state["result"] is not None

    @property
    def result(self) -> dict | None:
        return None if self.state is None else self.state["result"]

    async def play(self, move: str, timeout: float = 60) -> dict:
        """Send a move and return its acknowledgement; raises MoveRefused.

        The move gets the next number of this client's counter; after a
        dropped connection it is sent again with the same number."""
        self.counter += 1
        return await self._send_counted({"type": "move", "move": move}, self.counter, timeout)

    async def rematch(self, timeout: float = 60) -> dict:
        self.counter += 1
        return await self._send_counted({"type": "rematch"}, self.counter, timeout)

    async def claim(self, timeout: float = 60) -> dict:
        """Claim the win against an opponent who left; raises MoveRefused."""
        self.counter += 1
        return await self._send_counted({"type": "claim"}, self.counter, timeout)

    async def wait_for_rematch(self, timeout: float = 60) -> str:
        """The id of the room made for the rematch, once both sides asked for
        one (see `rematch`); the seat's token holds its seat there too."""
        deadline = time.monotonic() + timeout
        while True:
            await self.ensure_connected(max(0.1, deadline - time.monotonic()))
            made = (self.room or {}).get("rematch")
            if made:
                return made
            await self._wait_change(deadline)

    async def wait_for_review(self, timeout: float = 60) -> dict:
        """The engine's review of the room's finished game, once it is made;
        `ReviewFailed` if the server says none will come."""
        deadline = time.monotonic() + timeout
        while True:
            await self.ensure_connected(max(0.1, deadline - time.monotonic()))
            if self.review is not None:
                return self.review
            if self.review_status == "failed":
                raise ReviewFailed("the server could not review the game")
            await self._wait_change(deadline)

    async def _send_counted(self, message: dict, n: int, timeout: float) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            await self.ensure_connected(max(0.1, deadline - time.monotonic()))
            future: asyncio.Future[dict] = asyncio.get_running_loop().create_future()
            self._waiters[n] = future
            try:
                await self._ws.send(json.dumps({**message, "n": n}))
            except websockets.ConnectionClosed:
                self._waiters.pop(n, None)
                self._connected.clear()  # before the reader has noticed
                await asyncio.sleep(0.01)
                continue
            sent = time.perf_counter()
            try:
                answer = await asyncio.wait_for(future, max(0.0, deadline - time.monotonic()))
            except _Dropped:
                continue  # reconnect and send it again, under the same number
            except asyncio.TimeoutError:
                self._waiters.pop(n, None)
                raise asyncio.TimeoutError(f"no answer to {message} within {timeout} s") from None
            self.round_trip = time.perf_counter() - sent
            if answer["type"] == "refused":
                raise MoveRefused(answer["code"], answer["message"])
            if answer.get("version") is not None:
                await self._caught_up(answer["version"], deadline)
            return answer

    async def _caught_up(self, version: int, deadline: float) -> None:
        # The event of an acknowledged move follows its ack on the channel.
        while (self.version or 0) < version and self._connected.is_set():
            await self._wait_change(deadline)

    async def wait_for_turn(self, timeout: float = 60) -> bool:
        """Wait until this seat may move (True) or the game is over (False)."""
        deadline = time.monotonic() + timeout
        while True:
            await self.ensure_connected(max(0.1, deadline - time.monotonic()))
            if self.over:
                return False
            if self.my_turn:
                return True
            try:
                await self._wait_change(deadline)
            except asyncio.TimeoutError:
                raise asyncio.TimeoutError(f"not this seat's turn within {timeout} s") from None
