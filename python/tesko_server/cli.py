"""`tesko-server`: the command line, its environment variables, and uvicorn."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ipaddress
import logging
import signal
import socket
import sys
from collections.abc import Callable, Sequence
from typing import Any

from .options import (
    environment,
    host_name,
    log_level,
    move_times,
    networks,
    origin,
    per_minute,
    port_number,
    positive_int,
    rate,
    seconds,
    store_path,
    worker_count,
)
from .store_options import DEFAULT_DB, node_name, options_wrong, postgres_opener, store_url


def parser(defaults: dict[str, Any] | None = None) -> argparse.ArgumentParser:
    d = environment() if defaults is None else defaults
    p = argparse.ArgumentParser(
        prog="tesko-server",
        description="Serve tesko rooms: a lobby over HTTP, one WebSocket per room, "
        "the engine in worker processes and every move kept in SQLite (or PostgreSQL). "
        "Each option can also be set by the environment variable named after it "
        "(TESKO_HOST, TESKO_PORT, TESKO_DB, TESKO_WORKERS, ...). "
        "`tesko-server cluster up --nodes N` starts PostgreSQL, N nodes and HAProxy "
        "on this machine, to try several nodes.",
    )
    p.add_argument(
        "--host", type=host_name, default=d["host"], help="address to listen on (%(default)s)"
    )
    p.add_argument("--port", type=port_number, default=d["port"], help="port (%(default)s)")
    p.add_argument(
        "--db",
        type=store_path,
        default=d["db"],
        help=f"the SQLite store's file ({DEFAULT_DB}); one server at a time holds it",
    )
    p.add_argument(
        "--store",
        type=store_url,
        default=d["store"],
        metavar="URL",
        help="keep rooms in PostgreSQL instead, e.g. postgresql://tesko@db.example/tesko, "
        "shared by several servers (nodes); not with --db",
    )
    p.add_argument(
        "--node-id",
        type=node_name,
        default=d["node_id"],
        metavar="NAME",
        help="this node's name in the PostgreSQL store (the host's name and the port)",
    )
    p.add_argument(
        "--sync-commit",
        action=argparse.BooleanOptionalAction,
        default=d["sync_commit"],
        help="PostgreSQL: a move is acknowledged once it is on the database's disk; "
        "--no-sync-commit acknowledges sooner, and a crash of PostgreSQL or its machine "
        "can then lose the moves of its last fraction of a second",
    )
    p.add_argument(
        "--allow-memory-store",
        action="store_true",
        default=d["allow_memory_store"],
        help="allow --db :memory:, a store that is lost when the server stops (for trials)",
    )
    p.add_argument(
        "--workers",
        type=worker_count,
        default=d["workers"],
        help="engine processes (%(default)s: the cores this process may use; 0 says the same)",
    )
    p.add_argument(
        "--max-think-per-worker",
        type=seconds,
        default=d["max_think_per_worker"],
        help="engine seats' think time in flight on one worker; more searches wait (%(default)g s)",
    )
    p.add_argument(
        "--max-think-per-address",
        type=seconds,
        default=d["max_think_per_address"],
        help="engine seats' think time in flight for the rooms one client address made; "
        "more searches wait (%(default)g s)",
    )
    p.add_argument(
        "--allow-origin",
        action="append",
        type=origin,
        dest="allowed_origins",
        default=list(d["allowed_origins"]),
        metavar="ORIGIN",
        help="a public origin whose pages may open room sockets and call the lobby, e.g. "
        "https://example.org (repeatable; TESKO_ALLOWED_ORIGINS is comma-separated); "
        "the address the server listens on always may",
    )
    p.add_argument(
        "--forwarded-allow-ips",
        type=networks,
        default=d["forwarded_allow_ips"],
        metavar="ADDRESSES",
        help="comma-separated addresses or networks of proxies whose X-Forwarded-For and "
        "X-Forwarded-Proto are believed (none by default: the connection's own address counts)",
    )
    p.add_argument(
        "--router-room-ids",
        action="store_true",
        default=d["router_room_ids"],
        help="a new room takes the id the router drew (its X-Tesko-Room header, as "
        "deploy/haproxy.cfg sends it) when that id is free; only for nodes that nothing "
        "but the router reaches",
    )
    p.add_argument(
        "--max-rooms",
        type=positive_int,
        default=d["max_rooms"],
        help="unfinished rooms the server holds at most (%(default)s)",
    )
    p.add_argument(
        "--max-rooms-per-address",
        type=positive_int,
        default=d["max_rooms_per_address"],
        help="unfinished rooms one client address (an IPv6 /64) may have made (%(default)s)",
    )
    p.add_argument(
        "--idle-timeout",
        type=seconds,
        default=d["idle_timeout"],
        help="an unfinished room with no event for this long expires (%(default)s s, at least 1)",
    )
    p.add_argument(
        "--review-time",
        type=seconds,
        default=d["review_time"],
        help="a finished room stays readable for this long (%(default)s s, at least 1)",
    )
    p.add_argument(
        "--rate",
        type=rate,
        default=d["rate"],
        help="messages per second per connection, bursts of twice as many (%(default)s, at least 1)",
    )
    p.add_argument(
        "--header-timeout",
        type=seconds,
        default=d["header_timeout"],
        help="a request's line and headers must arrive within this time (%(default)s s)",
    )
    p.add_argument(
        "--move-times",
        type=move_times,
        default=d["move_times"],
        metavar="SECONDS,...",
        help="the times per move a room may be created with, besides none "
        f"({','.join(f'{v:g}' for v in d['move_times'])})",
    )
    p.add_argument(
        "--abandon-time",
        type=seconds,
        default=d["abandon_time"],
        help="a player whose connection has been gone this long while the game is on "
        "can be claimed against by the other (%(default)g s)",
    )
    p.add_argument(
        "--max-rooms-held",
        type=positive_int,
        default=d["max_rooms_held"],
        help="rooms the server holds at most, finished ones included, and never fewer "
        "than --max-rooms; when it holds as many, the earliest finished is deleted to "
        "make room (%(default)s)",
    )
    p.add_argument(
        "--unjoined-timeout",
        type=seconds,
        default=d["unjoined_timeout"],
        help="an unfinished room where nobody holds a seat expires after this long "
        "with no event (%(default)s s, at least 1)",
    )
    p.add_argument(
        "--create-rate",
        type=per_minute,
        default=d["create_rate"],
        help="rooms one client address may create per minute, bursts of a quarter as many "
        "(%(default)s, at least 1)",
    )
    p.add_argument(
        "--lobby-rate",
        type=rate,
        default=d["lobby_rate"],
        help="lobby calls per second per client address, bursts of twice as many "
        "(%(default)s, at least 1)",
    )
    p.add_argument(
        "--max-joins",
        type=positive_int,
        default=d["max_joins"],
        help="times a room's seats may be taken through the lobby (%(default)s)",
    )
    p.add_argument(
        "--max-spectators",
        type=positive_int,
        default=d["max_spectators"],
        help="spectators per room (%(default)s)",
    )
    p.add_argument(
        "--max-sockets-per-address",
        type=positive_int,
        default=d["max_sockets_per_address"],
        help="room sockets open at once from one client address (%(default)s)",
    )
    p.add_argument(
        "--durable",
        action=argparse.BooleanOptionalAction,
        default=d["durable"],
        help="fsync every commit (survives a power cut, not only the end of the process)",
    )
    p.add_argument("--log-level", type=log_level, default=d["log_level"], help="(%(default)s)")
    return p


def listen(host: str, port: int) -> list[socket.socket]:
    """The listening sockets (one per address the host name has), bound before
    anything else starts, so that a port in use is said at once."""
    sockets: list[socket.socket] = []
    seen = set()
    try:
        for family, kind, proto, _, address in socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        ):
            if (family, address) in seen:
                continue
            seen.add((family, address))
            if sockets and port == 0:  # one port for every address
                address = (address[0], sockets[0].getsockname()[1], *address[2:])
            sock = socket.socket(family, kind, proto)
            sockets.append(sock)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.bind(address)
    except BaseException:
        for sock in sockets:
            sock.close()
        raise
    return sockets


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if args[:1] == ["cluster"]:
        from .cluster import main as cluster

        return cluster(args[1:])
    try:
        return serve(argv)
    except KeyboardInterrupt:
        # Ctrl-C. Once the server runs, uvicorn takes SIGINT as it takes
        # SIGTERM (the rooms drain, the store closes) and raises it again at
        # the end; before that nothing needs undoing. Either way the process
        # ends by SIGINT, as a shell expects of a program stopped by Ctrl-C
        # (status 130), without a traceback.
        end_by(signal.SIGINT)
        return 128 + signal.SIGINT  # where a signal cannot end the process


def end_by(sig: signal.Signals) -> None:
    logging.shutdown()
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    signal.signal(sig, signal.SIG_DFL)
    signal.raise_signal(sig)


def serve(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    wrong = options_wrong(args)
    if wrong:
        print(f"tesko-server: {wrong}", file=sys.stderr)
        return 2
    if args.db == ":memory:" and not args.allow_memory_store:
        print(
            "tesko-server: --db :memory: keeps rooms only while the server runs; "
            "add --allow-memory-store if that is meant",
            file=sys.stderr,
        )
        return 2
    try:
        import uvicorn

        from .app import GuardedHttp, WebSettings, build_app
        from .hub import Settings
        from .rows import StoreError
        from .store import SqliteStore
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
    # The port first, then the store, then (when the app starts) the workers.
    try:
        sockets = listen(args.host, args.port)
    except OSError as err:
        print(
            f"tesko-server: cannot listen on {args.host} port {args.port}: {err}", file=sys.stderr
        )
        return 1
    port = sockets[0].getsockname()[1]
    store = None
    if args.store is None:
        try:
            store = SqliteStore(args.db, durable=args.durable)
        except (OSError, StoreError, Exception) as err:  # noqa: BLE001 - sqlite3 errors and ours
            print(f"tesko-server: cannot open the store {args.db}: {err}", file=sys.stderr)
            return 1
        open_store: Callable[[], Any] = lambda: store  # noqa: E731
    else:
        opener, wrong = postgres_opener(args, port)
        if opener is None:
            print(f"tesko-server: {wrong}", file=sys.stderr)
            return 1
        open_store = opener
    settings = Settings(
        workers=args.workers,
        think_per_worker=args.max_think_per_worker,
        think_per_address=args.max_think_per_address,
        max_rooms=args.max_rooms,
        max_rooms_per_address=args.max_rooms_per_address,
        idle_timeout=args.idle_timeout,
        review_time=args.review_time,
        sweep_interval=min(
            30.0, args.idle_timeout / 4, args.review_time / 4, args.unjoined_timeout / 4
        ),
        rate=args.rate,
        burst=2 * args.rate,
        move_times=args.move_times,
        abandon_time=args.abandon_time,
        max_rooms_held=max(args.max_rooms_held, args.max_rooms),
        unjoined_timeout=args.unjoined_timeout,
        create_rate=args.create_rate,
        lobby_rate=args.lobby_rate,
        max_joins=args.max_joins,
        max_spectators=args.max_spectators,
        max_sockets_per_address=args.max_sockets_per_address,
    )
    web = WebSettings(
        allowed_origins=own_origins(args.host, port) + tuple(args.allowed_origins),
        hub=settings,
        router_room_ids=args.router_room_ids,
    )
    server: GracefulServer | None = None
    failures: list[BaseException] = []

    def on_failure(err: BaseException) -> None:
        failures.append(err)
        if server is not None:
            server.should_exit = True

    app = build_app(open_store, web, on_failure)
    GuardedHttp.header_timeout = args.header_timeout
    config = uvicorn.Config(
        app,
        loop="uvloop",
        http=GuardedHttp,
        ws=LimitedWebSocketProtocol,  # uvicorn's websockets-sansio, with limits
        ws_max_size=4096,
        ws_per_message_deflate=False,
        lifespan="on",
        access_log=False,
        log_level=args.log_level,
        timeout_graceful_shutdown=15,
        # X-Forwarded-For only from the proxies named, none by default.
        proxy_headers=bool(args.forwarded_allow_ips),
        forwarded_allow_ips=",".join(args.forwarded_allow_ips) or "",
    )
    server = GracefulServer(config)
    logging.getLogger("tesko_server").info(
        "listening on %s", ", ".join(url(s.getsockname()) for s in sockets)
    )
    try:
        server.run(sockets=sockets)
    except SystemExit:  # uvicorn's own exit when the app cannot start (said in one line)
        return 1
    finally:
        if store is not None:  # if the app did not (it closes the store as it stops)
            asyncio.run(store.close())
    if failures:
        return 1
    return 0 if server.started else 1


def url(address: tuple) -> str:
    host = address[0]
    return f"http://[{host}]:{address[1]}" if ":" in host else f"http://{host}:{address[1]}"


def own_origins(host: str, port: int) -> tuple[str, ...]:
    """The origins of pages served by this server at the address it listens
    on; a wildcard address stands for the loopback ones (the machine's other
    addresses are allowed per connection, from the address it came in on)."""
    names = {host}
    try:
        wildcard = ipaddress.ip_address(host.strip("[]")).is_unspecified
        loopback = ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        wildcard = False
        loopback = host == "localhost"
    if wildcard or loopback:
        names |= {"127.0.0.1", "localhost", "::1"}
    names.discard("0.0.0.0")
    names.discard("::")
    found = []
    for name in sorted(names):
        netloc = f"[{name}]" if ":" in name else name
        found.append(f"http://{netloc}:{port}")
        found.append(f"https://{netloc}:{port}")
        if port == 80:
            found.append(f"http://{netloc}")
        if port == 443:
            found.append(f"https://{netloc}")
    return tuple(found)


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
