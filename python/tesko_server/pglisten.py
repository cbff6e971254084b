"""The PostgreSQL store's listening connection: LISTEN on a few channels,
and when the connection is lost (PostgreSQL restarted, the connection
killed, the network cut), connect again with growing pauses and listen
again.

A connection can also be lost without a word (a firewall or a NAT that
forgets an idle connection, a machine that went away): the listener asks
it a trivial question every `CHECK_INTERVAL` seconds, which also keeps it
from being idle, and drops it if no answer comes within `CHECK_TIMEOUT`.

Notifications sent while it was away are lost for good: PostgreSQL keeps
none for a listener that is not there. So once it is back it calls each
`on_back` callback, whose owner reads again whatever it keeps fresh from
the notifications (the lobby: all of it).
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable

import asyncpg

log = logging.getLogger("tesko_server")

# The channels the nodes notify: the lobby's (each payload a room id whose
# entry changed) and the owners' (a room id and the epoch it was claimed with).
LOBBY_CHANNEL = "tesko_lobby"
OWNERS_CHANNEL = "tesko_owners"

# Seconds before each attempt to connect again; the last repeats.
PAUSES: tuple[float, ...] = (0.1, 0.25, 0.5, 1.0, 2.0, 5.0)
# Seconds between checks that the connection still answers, and how long
# an answer may take.
CHECK_INTERVAL = 15.0
CHECK_TIMEOUT = 5.0
_CHECK = "SELECT 1"


class Listener:
    """One connection that listens on the channels added to it, and comes
    back after it is lost. Callbacks run on the event loop; one that raises
    is logged, and the listening goes on."""

    def __init__(self, dsn: str) -> None:
        self.dsn = dsn
        self.channels: dict[str, list[Callable[[str], None]]] = {}
        self.on_back: list[Callable[[], None]] = []
        self.connected = False
        self._conn: asyncpg.Connection | None = None
        self._closed = False
        self._coming_back: asyncio.Task[None] | None = None
        self._checking: asyncio.Task[None] | None = None
        self._cause = "it was closed"

    async def listen(self, channel: str, callback: Callable[[str], None]) -> None:
        """Call `callback` with the payload of each notification on `channel`
        (connecting first if this is the first channel)."""
        known = channel in self.channels
        self.channels.setdefault(channel, []).append(callback)
        if self._conn is None and self._coming_back is None:
            await self._connect()
        elif self._conn is not None and not known:
            await self._conn.add_listener(channel, self._heard)

    async def _connect(self) -> None:
        conn = await asyncpg.connect(
            self.dsn, server_settings={"application_name": "tesko-server listener"}
        )
        try:
            for channel in self.channels:
                await conn.add_listener(channel, self._heard)
        except BaseException:
            conn.terminate()
            raise
        if self._closed:  # closed while connecting
            await conn.close()
            return
        conn.add_termination_listener(self._lost)
        self._conn = conn
        self.connected = True
        if self._checking is None:
            self._checking = asyncio.get_running_loop().create_task(self._check())

    async def _check(self) -> None:
        while not self._closed:
            await asyncio.sleep(CHECK_INTERVAL)
            conn = self._conn
            if conn is None:
                continue  # coming back already
            try:
                await asyncio.wait_for(conn.fetchval(_CHECK), CHECK_TIMEOUT)
            except (OSError, asyncio.TimeoutError, asyncpg.PostgresError, asyncpg.InterfaceError):
                if conn is self._conn:
                    self._cause = f"it did not answer within {CHECK_TIMEOUT:g} s"
                    conn.terminate()  # lost: its termination starts the way back

    def _heard(self, _conn: object, _pid: int, channel: str, payload: str) -> None:
        for callback in self.channels.get(channel, ()):
            try:
                callback(payload)
            except Exception:  # noqa: BLE001 - a callback must not end the listening
                log.exception("handling a notification on %s failed", channel)

    def _lost(self, conn: asyncpg.Connection) -> None:
        if self._closed or conn is not self._conn:
            return
        self._conn = None
        self.connected = False
        cause, self._cause = self._cause, "it was closed"
        log.error(
            "the store's listening connection was lost (%s); connecting again "
            "(the lobby does not hear other nodes meanwhile)",
            cause,
        )
        self._coming_back = asyncio.get_running_loop().create_task(self._come_back())

    async def _come_back(self) -> None:
        attempts = 0
        while not self._closed:
            await asyncio.sleep(PAUSES[min(attempts, len(PAUSES) - 1)])
            attempts += 1
            try:
                await self._connect()
            except (OSError, asyncio.TimeoutError, asyncpg.PostgresError) as err:
                log.debug("the listening connection is still away: %s", err)
                continue
            break
        self._coming_back = None
        if self._conn is None:
            return
        log.warning(
            "the store's listening connection is back after %d attempts; catching up on what it missed",
            attempts,
        )
        for callback in self.on_back:
            try:
                callback()
            except Exception:  # noqa: BLE001
                log.exception("catching up after the listening connection came back failed")

    async def close(self) -> None:
        self._closed = True
        if self._checking is not None:
            self._checking.cancel()
            self._checking = None
        if self._coming_back is not None:
            self._coming_back.cancel()
            self._coming_back = None
        conn, self._conn = self._conn, None
        self.connected = False
        if conn is not None:
            await conn.close()
