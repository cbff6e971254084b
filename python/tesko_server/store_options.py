"""The command line's choice of store: SQLite in a file (`--db`, the
default) or PostgreSQL shared by several nodes (`--store`), checked and
opened with errors said in one line."""

from __future__ import annotations

import argparse
import asyncio
import socket
from collections.abc import Awaitable, Callable
from typing import Any
from urllib.parse import urlsplit

DEFAULT_DB = "tesko.db"
# How long a node waits for PostgreSQL to answer a new connection.
CONNECT_TIMEOUT = 10.0


def store_url(text: str) -> str:
    parts = urlsplit(text)
    if parts.scheme not in ("postgresql", "postgres") or not (parts.netloc or parts.query):
        raise argparse.ArgumentTypeError(
            f"not a PostgreSQL URL such as postgresql://user@host/tesko: {shown_url(text)!r}"
        )
    return text


def shown_url(text: str) -> str:
    """`text` with its password (if any) left out, to be said."""
    try:
        password = urlsplit(text).password
    except ValueError:
        return text
    if password is None:
        return text
    return text.replace(f":{password}@", ":...@", 1)


def node_name(text: str) -> str:
    if not text.strip() or len(text) > 200:
        raise argparse.ArgumentTypeError("a node's name is 1 to 200 characters")
    return text


def options_wrong(args: argparse.Namespace) -> str | None:
    """What is wrong with the store options together, if anything; fills in
    the SQLite file when no store is named."""
    if args.store is None:
        if not args.sync_commit:
            return "--no-sync-commit is for the PostgreSQL store (--store)"
        if args.db is None:
            args.db = DEFAULT_DB
        return None
    if args.db is not None:
        return (
            "--db and --store both name a store: give one (--db for SQLite, --store for PostgreSQL)"
        )
    if args.durable:
        return (
            "--durable is for the SQLite store; PostgreSQL's commits reach its disk "
            "unless --no-sync-commit"
        )
    return None


def one_line(err: BaseException) -> str:
    return " ".join(str(err).split()) or type(err).__name__


def postgres_opener(
    args: argparse.Namespace, port: int
) -> tuple[Callable[[], Awaitable[Any]] | None, str | None]:
    """A function that opens the PostgreSQL store on the server's event loop,
    once the database has been reached here (its schema brought up to date);
    or None and what went wrong, in one line."""
    try:
        from .pgstore import PgStore
    except ImportError as err:
        return None, f"{err.name} is missing; install the server with pip install 'tesko[server]'"
    node = args.node_id or f"{socket.gethostname()}:{port}"

    def opener() -> Awaitable[PgStore]:
        return PgStore.open(
            args.store, node=node, durable=args.sync_commit, timeout=CONNECT_TIMEOUT
        )

    async def reach() -> None:
        store = await opener()
        await store.close()

    try:
        asyncio.run(reach())
    except Exception as err:  # noqa: BLE001 - the driver's errors, the network's and ours
        return None, f"cannot open the store {shown_url(args.store)}: {one_line(err)}"
    return opener, None
