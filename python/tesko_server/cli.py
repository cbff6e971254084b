"""`tesko-server`: the command line, its environment variables, and uvicorn."""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Sequence

DEFAULTS = {
    "host": "127.0.0.1",
    "port": "8000",
    "db": "tesko.db",
    "workers": "1",
    "allowed_origins": "",
    "max_rooms": "10000",
    "max_rooms_per_address": "20",
    "idle_timeout": "3600",
    "review_time": "86400",
    "rate": "20",
    "move_times": "15,30,60",
    "durable": "0",
    "log_level": "info",
}


def env(name: str) -> str:
    return os.environ.get("TESKO_" + name.upper(), DEFAULTS[name])


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {value}")
    return value


def port_number(text: str) -> int:
    value = positive_int(text) if text != "0" else 0
    if value > 65535:
        raise argparse.ArgumentTypeError(f"not a port: {value}")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds: {text}")
    return value


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be more than 0: {text}")
    return value


def move_times(text: str) -> tuple[float, ...]:
    try:
        values = tuple(sorted({float(part) for part in text.split(",") if part.strip()}))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not seconds separated by commas: {text!r}") from None
    if not values or not all(0 < v <= 3600 for v in values):
        raise argparse.ArgumentTypeError(f"times per move are 0 to 3600 seconds: {text!r}")
    return values


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tesko-server",
        description="Serve tesko rooms: a lobby over HTTP, one WebSocket per room, "
        "the engine in worker processes and every move kept in SQLite. "
        "Each option can also be set by the environment variable named after it "
        "(TESKO_HOST, TESKO_PORT, TESKO_DB, TESKO_WORKERS, ...).",
    )
    p.add_argument("--host", default=env("host"), help="address to listen on (%(default)s)")
    p.add_argument("--port", type=port_number, default=env("port"), help="port (%(default)s)")
    p.add_argument("--db", default=env("db"), help="the SQLite store's file (%(default)s)")
    p.add_argument(
        "--workers",
        type=positive_int,
        default=env("workers"),
        help="engine processes (%(default)s)",
    )
    p.add_argument(
        "--allow-origin",
        action="append",
        dest="allowed_origins",
        default=[o for o in env("allowed_origins").split(",") if o],
        metavar="ORIGIN",
        help="another origin allowed to open room sockets, e.g. https://example.org "
        "(repeatable; TESKO_ALLOWED_ORIGINS is comma-separated); the server's own always is",
    )
    p.add_argument(
        "--max-rooms",
        type=positive_int,
        default=env("max_rooms"),
        help="unfinished rooms the server holds at most (%(default)s)",
    )
    p.add_argument(
        "--max-rooms-per-address",
        type=positive_int,
        default=env("max_rooms_per_address"),
        help="unfinished rooms one client address may have made (%(default)s)",
    )
    p.add_argument(
        "--idle-timeout",
        type=seconds,
        default=env("idle_timeout"),
        help="an unfinished room with no event for this long expires (%(default)s s)",
    )
    p.add_argument(
        "--review-time",
        type=seconds,
        default=env("review_time"),
        help="a finished room stays readable for this long (%(default)s s)",
    )
    p.add_argument(
        "--rate",
        type=positive_number,
        default=env("rate"),
        help="messages per second per connection (bursts of twice as many) (%(default)s)",
    )
    p.add_argument(
        "--move-times",
        type=move_times,
        default=env("move_times"),
        metavar="SECONDS,...",
        help="the times per move a room may be created with, besides none (%(default)s)",
    )
    p.add_argument(
        "--durable",
        action="store_true",
        default=env("durable") not in ("", "0", "false", "no"),
        help="fsync every commit (survives a power cut, not only the end of the process)",
    )
    p.add_argument(
        "--log-level",
        default=env("log_level"),
        choices=["debug", "info", "warning", "error"],
    )
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        import uvicorn

        from .app import WebSettings, build_app
        from .rooms import Settings
        from .store import SqliteStore, StoreError
        from .wsprotocol import LimitedWebSocketProtocol
    except ImportError as err:
        print(
            f"tesko-server: {err.name} is missing; install the server with "
            "pip install 'tesko[server]'",
            file=sys.stderr,
        )
        return 1
    # A line per room event: what the lines show is all that is worked out
    # for them (no caller, thread or process lookups per record).
    logging._srcfile = None
    logging.logThreads = False
    logging.logProcesses = False
    logging.logMultiprocessing = False
    logging.basicConfig(
        level=args.log_level.upper(),
        format="%(asctime)s %(levelname)s %(name)s: %(message)s",
        stream=sys.stderr,
    )
    try:
        store = SqliteStore(args.db, durable=args.durable)
    except (OSError, StoreError, Exception) as err:  # noqa: BLE001 - sqlite3 errors and ours
        print(f"tesko-server: cannot open the store {args.db}: {err}", file=sys.stderr)
        return 1
    settings = Settings(
        workers=args.workers,
        max_rooms=args.max_rooms,
        max_rooms_per_address=args.max_rooms_per_address,
        idle_timeout=args.idle_timeout,
        review_time=args.review_time,
        sweep_interval=min(30.0, args.idle_timeout / 4, args.review_time / 4),
        rate=args.rate,
        burst=2 * args.rate,
        move_times=args.move_times,
    )
    web = WebSettings(allowed_origins=tuple(args.allowed_origins), hub=settings)
    server: GracefulServer | None = None

    def on_failure(err: BaseException) -> None:
        if server is not None:
            server.should_exit = True

    app = build_app(lambda: store, web, on_failure)
    config = uvicorn.Config(
        app,
        host=args.host,
        port=args.port,
        loop="uvloop",
        http="httptools",
        ws=LimitedWebSocketProtocol,  # uvicorn's websockets-sansio, with limits
        ws_max_size=4096,
        ws_per_message_deflate=False,
        lifespan="on",
        access_log=False,
        log_level=args.log_level,
        timeout_graceful_shutdown=15,
    )
    server = GracefulServer(config)
    server.run()
    return 0 if server.started else 1


try:
    import uvicorn as _uvicorn

    class GracefulServer(_uvicorn.Server):
        """uvicorn's server, which lets the rooms finish their moves and
        close their sockets with 'going away' before it shuts down."""

        async def shutdown(self, sockets=None):  # type: ignore[no-untyped-def]
            for listener in self.servers:
                listener.close()  # stop accepting
            hub = getattr(self.config.app.state, "hub", None)
            if hub is not None:
                await hub.drain()
            await super().shutdown(sockets)

except ImportError:  # pragma: no cover - reported by main()
    pass
