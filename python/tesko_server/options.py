"""The server's options: their defaults, the checks their values pass, and
the environment variables that set them (`TESKO_` and the option's name)."""

from __future__ import annotations

import argparse
import ipaddress
import os
import sys
from collections.abc import Callable
from typing import Any
from urllib.parse import urlsplit

from .store_options import node_name, store_url

DEFAULTS = {
    "host": "127.0.0.1",
    "port": "8000",
    "db": None,  # tesko.db, unless --store names a PostgreSQL database
    "store": None,
    "node_id": None,  # the host's name and the port
    "sync_commit": "1",
    "allow_memory_store": "0",
    "workers": "0",  # the cores this process may use
    "max_think_per_worker": "60",
    "max_think_per_address": "30",
    "allowed_origins": "",
    "forwarded_allow_ips": "",
    "router_room_ids": "0",
    "max_rooms": "10000",
    "max_rooms_per_address": "20",
    "idle_timeout": "3600",
    "review_time": "86400",
    "rate": "20",
    "move_times": "15,30,60",
    "header_timeout": "10",
    "abandon_time": "60",
    "max_rooms_held": "20000",
    "unjoined_timeout": "600",
    "create_rate": "30",
    "lobby_rate": "10",
    "max_joins": "100",
    "max_spectators": "200",
    "max_sockets_per_address": "32",
    "durable": "0",
    "log_level": "info",
}

# Below these the server serves nobody: a rate under 1 refuses every message
# (the burst is twice the rate, and a message needs a whole token), and rooms
# that expire within a second are swept without pause.
MIN_RATE = 1.0
MIN_TIMEOUT = 1.0


def env_name(name: str) -> str:
    return "TESKO_" + name.upper()


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {value}")
    return value


def worker_count(text: str) -> int:
    """A number of engine workers; 0 stands for the cores this process may use."""
    if text.strip() == "0":
        return cores()
    return positive_int(text)


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def port_number(text: str) -> int:
    value = positive_int(text) if text != "0" else 0
    if value > 65535:
        raise argparse.ArgumentTypeError(f"not a port: {value}")
    return value


def at_least(low: float, unit: str) -> Callable[[str], float]:
    def convert(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not low <= value < float("inf"):
            raise argparse.ArgumentTypeError(f"must be at least {low:g}{unit}: {text}")
        return value

    return convert


seconds = at_least(MIN_TIMEOUT, " s")
rate = at_least(MIN_RATE, " a second")
per_minute = at_least(1.0, " a minute")


def move_times(text: str) -> tuple[float, ...]:
    try:
        values = tuple(sorted({float(part) for part in text.split(",") if part.strip()}))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not seconds separated by commas: {text!r}") from None
    if not values or not all(0 < v <= 3600 for v in values):
        raise argparse.ArgumentTypeError(f"times per move are 0 to 3600 seconds: {text!r}")
    return values


def boolean(text: str) -> bool:
    value = text.strip().lower()
    if value in ("1", "true", "yes", "on"):
        return True
    if value in ("", "0", "false", "no", "off"):
        return False
    raise argparse.ArgumentTypeError(f"not one of 1, 0, true, false, yes, no, on, off: {text!r}")


def log_level(text: str) -> str:
    if text not in ("debug", "info", "warning", "error"):
        raise argparse.ArgumentTypeError(f"not one of debug, info, warning, error: {text!r}")
    return text


def host_name(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("an address to listen on is needed")
    return text


def store_path(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError(
            "the store's file is needed (an empty path is a store lost at the end)"
        )
    return text


def origin(text: str) -> str:
    parts = urlsplit(text)
    if (
        parts.scheme not in ("http", "https")
        or not parts.netloc
        or text != f"{parts.scheme}://{parts.netloc}"
    ):
        raise argparse.ArgumentTypeError(f"not an origin such as https://example.org: {text!r}")
    return text


def origins(text: str) -> list[str]:
    return [origin(o.strip()) for o in text.split(",") if o.strip()]


def networks(text: str) -> list[str]:
    found = []
    for item in (i.strip() for i in text.split(",")):
        if not item:
            continue
        if item != "*":
            try:
                ipaddress.ip_network(item, strict=False)
            except ValueError:
                raise argparse.ArgumentTypeError(
                    f"not an address or network such as 10.0.0.1 or 10.0.0.0/8: {item!r}"
                ) from None
        found.append(item)
    return found


# How each environment variable is read: the same checks as its option's.
CONVERT: dict[str, Callable[[str], Any]] = {
    "host": host_name,
    "port": port_number,
    "db": store_path,
    "store": store_url,
    "node_id": node_name,
    "sync_commit": boolean,
    "allow_memory_store": boolean,
    "workers": worker_count,
    "max_think_per_worker": seconds,
    "max_think_per_address": seconds,
    "allowed_origins": origins,
    "forwarded_allow_ips": networks,
    "router_room_ids": boolean,
    "max_rooms": positive_int,
    "max_rooms_per_address": positive_int,
    "idle_timeout": seconds,
    "review_time": seconds,
    "rate": rate,
    "header_timeout": seconds,
    "move_times": move_times,
    "abandon_time": seconds,
    "max_rooms_held": positive_int,
    "unjoined_timeout": seconds,
    "create_rate": per_minute,
    "lobby_rate": rate,
    "max_joins": positive_int,
    "max_spectators": positive_int,
    "max_sockets_per_address": positive_int,
    "durable": boolean,
    "log_level": log_level,
}


def environment() -> dict[str, Any]:
    """Every option's default: its environment variable if set, checked as
    the option would be, else the built-in default."""
    values: dict[str, Any] = {}
    for name, convert in CONVERT.items():
        default = DEFAULTS[name]
        values[name] = None if default is None else convert(default)
        text = os.environ.get(env_name(name))
        if text is not None:
            try:
                values[name] = convert(text)
            except argparse.ArgumentTypeError as err:
                print(f"tesko-server: {env_name(name)}={text!r}: {err}", file=sys.stderr)
                raise SystemExit(2) from None
    return values
