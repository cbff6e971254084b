"""What travels between the server and its clients: the protocol's limits,
the lobby's checks of what a client asks for, and the texts of states and
events as they are sent."""

from __future__ import annotations

import json
import logging
import unicodedata
from typing import Any, Union

import msgspec

log = logging.getLogger("tesko_server")

PROTOCOL = 1


SEATS = ("A", "B")


# The grid's slots in the order of a compact state's cells, for both sides of
# the engine pipe (the worker writes them in this order, the event loop names
# them from it). The referee's own copy is tesko_tools.rules.SLOTS: the event
# loop never imports the engine, which that package needs.
SLOTS = tuple(r + c for r in "ABC" for c in "1234")


NAME_LIMIT = 24


# What a name may not hold. Format characters (Cf) are allowed: the zero-width
# joiner of emoji sequences and the zero-width non-joiner of Persian and other
# scripts are parts of real names. The bidirectional embeddings, overrides
# and isolates are not: they would reorder the text around the name wherever
# it is shown.
NAME_REFUSED = frozenset({"Cc", "Cs", "Zl", "Zp"})


BIDI_CONTROLS = frozenset("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


MAX_LEVEL = 12


MAX_PLY_LIMIT = 1000


MAX_MOVE_TEXT = 16


MAX_COUNTER = 2**53


MOVE_TIMES = (15.0, 30.0, 60.0)  # the times per move a room may have, in seconds


class Limits(msgspec.Struct):
    """What a page needs to know of the server before it asks anything:
    written into each page the server serves (`limits_text`)."""

    protocol: int
    name_limit: int
    max_level: int
    move_times: tuple[float, ...]


def limits_text(move_times: tuple[float, ...]) -> str:
    """The server's `Limits` as JSON that may stand inside an HTML page."""
    limits = Limits(PROTOCOL, NAME_LIMIT, MAX_LEVEL, move_times)
    return msgspec.json.encode(limits).decode().replace("<", "\\u003c")


class HubError(Exception):
    """A request the hub refuses; `code` is the protocol's error code."""

    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


_json_encode = msgspec.json.Encoder().encode


def dumps(value: Any) -> str:
    """A value as compact JSON text, non-ASCII characters as they are."""
    return _json_encode(value).decode()


def check_name(name: object) -> str:
    if not isinstance(name, str):
        raise HubError("bad_request", "name must be a string")
    name = name.strip()
    if not 1 <= len(name) <= NAME_LIMIT:
        raise HubError("bad_request", f"a name has 1 to {NAME_LIMIT} characters")
    for c in name:
        if unicodedata.category(c) in NAME_REFUSED or c in BIDI_CONTROLS:
            raise HubError(
                "bad_request",
                f"a name cannot hold U+{ord(c):04X}: no control characters, line "
                "separators, lone surrogates, or bidirectional overrides and isolates",
            )
    if all(c.isspace() or unicodedata.category(c) == "Cf" for c in name):
        raise HubError("bad_request", "a name needs a visible character")
    return name


def expand_state(state: dict, hide: bool) -> dict:
    """The compact state the engine gives (cells as 24 letters) as the
    protocol's state object."""
    codes = state["cells"]
    cells = []
    for i, slot in enumerate(SLOTS):
        code = codes[2 * i : 2 * i + 2]
        if code == "--":
            cells.append(
                {"slot": slot, "empty": True, "face_up": False, "owner": None, "kind": None}
            )
        else:
            up = code.isupper()
            show = up or not hide
            cells.append(
                {
                    "slot": slot,
                    "empty": False,
                    "face_up": up,
                    "owner": code[0].upper() if show else None,
                    "kind": code[1].upper() if show else None,
                }
            )
    out = dict(state)
    out["cells"] = cells
    if hide and state.get("result") is None:
        out.update(COUNTS_HIDDEN)
    return out


# Each side's cards and material, less its face-up cards, would tell how many
# face-down cards and Figures it owns (and, once one side has none face down,
# every owner): a room that hides owners sends them only once the game is over.
COUNTS_HIDDEN = {"cards": None, "material": None}


_CELL_TEXTS: dict[tuple[int, str, bool], str] = {}


def state_text(state: dict, hide: bool) -> str:
    """`expand_state(state, hide)` as JSON text, the cells put together from
    texts made once per slot and card (an event's largest part)."""
    codes = state["cells"]
    parts = []
    for i in range(len(SLOTS)):
        key = (i, codes[2 * i : 2 * i + 2], hide)
        text = _CELL_TEXTS.get(key)
        if text is None:
            cell = expand_state({"cells": "--" * i + key[1] + "--" * (11 - i)}, hide)["cells"][i]
            text = _CELL_TEXTS[key] = dumps(cell)
        parts.append(text)
    others = {k: v for k, v in state.items() if k != "cells"}
    if hide and state.get("result") is None:
        others.update(COUNTS_HIDDEN)
    rest = dumps(others)
    cells = '{"cells":[' + ",".join(parts) + "]"
    return cells + ("," + rest[1:] if rest != "{}" else "}")


def with_clock(text: str, clock: str) -> str:
    """An event's text with the room's clock as it is sent."""
    return text[:-1] + ',"clock":' + clock + "}"


def parse_create(body: object, move_times: tuple[float, ...] = MOVE_TIMES) -> dict:
    """The options of a new room from the lobby's JSON, checked."""
    if body is None:
        body = {}
    if not isinstance(body, dict):
        raise HubError("bad_request", "the body must be a JSON object")
    unknown = set(body) - {
        "first",
        "ply_limit",
        "seats",
        "public",
        "hide_face_down_owners",
        "join",
        "move_time",
    }
    if unknown:
        raise HubError("bad_request", f"unknown field {sorted(unknown)[0]!r}")
    first = body.get("first", "A")
    if first not in SEATS:
        raise HubError("bad_request", "first is 'A' or 'B'")
    ply_limit = whole_number(body.get("ply_limit", 200), "ply_limit", 1, MAX_PLY_LIMIT)
    public = body.get("public", True)
    hide = body.get("hide_face_down_owners", False)
    if not isinstance(public, bool) or not isinstance(hide, bool):
        raise HubError("bad_request", "public and hide_face_down_owners are true or false")
    move_time = body.get("move_time")
    if move_time is not None and (
        isinstance(move_time, bool)
        or not isinstance(move_time, (int, float))
        or float(move_time) not in move_times
    ):
        choices = ", ".join(f"{t:g}" for t in move_times)
        raise HubError("bad_request", f"move_time is null or one of {choices} (seconds)")
    seats_in = body.get("seats", {})
    if not isinstance(seats_in, dict) or set(seats_in) - set(SEATS):
        raise HubError("bad_request", "seats maps 'A' and 'B' to their settings")
    seats: dict[str, dict] = {}
    for name in SEATS:
        settings = seats_in.get(name, {})
        if not isinstance(settings, dict):
            raise HubError("bad_request", f"seat {name} is an object")
        kind = settings.get("kind", "human")
        if kind == "human":
            seats[name] = {"kind": "human"}
        elif kind == "engine":
            level = whole_number(settings.get("level", 5), "level", 1, MAX_LEVEL)
            think = settings.get("think_time", 2.0)
            if (
                isinstance(think, bool)
                or not isinstance(think, (int, float))
                or not 0.05 <= think <= 30
            ):
                raise HubError("bad_request", "think_time is 0.05 to 30 seconds")
            seats[name] = {
                "kind": "engine",
                "name": f"engine (level {level})",
                "level": level,
                "think_time": float(think),
            }
        else:
            raise HubError("bad_request", "a seat's kind is 'human' or 'engine'")
    if all(s["kind"] == "engine" for s in seats.values()):
        raise HubError("bad_request", "at least one seat is human")
    join = body.get("join")
    if join is not None:
        if not isinstance(join, dict):
            raise HubError("bad_request", "join is an object with seat and name")
        seat = join.get("seat", next(s for s in SEATS if seats[s]["kind"] == "human"))
        if seat not in SEATS:
            raise HubError("bad_request", "seat is 'A' or 'B'")
        join = (seat, check_name(join.get("name")))
    return {
        "first": first,
        "ply_limit": ply_limit,
        "public": public,
        "hide_face_down_owners": hide,
        "move_time": None
        if move_time is None
        else (int(move_time) if move_time == int(move_time) else float(move_time)),
        "seats": seats,
        "join": join,
    }


def whole_number(value: object, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise HubError("bad_request", f"{name} is a whole number from {low} to {high}")
    return value


# -- what a client sends on a room's socket -----------------------------------
#
# Each message is decoded here, once, and its fields checked, before the hub
# sees it. The fields hold whatever JSON value was sent until `decode_client`
# has checked them: a bad counter or move text is refused with the value
# sent, a malformed message closes the socket (`BadMessage`).


class Hello(msgspec.Struct, tag="hello", tag_field="type"):
    """The first message: the protocol, the seat's token (none for a
    spectator), and the version the client has seen, to catch up from."""

    protocol: Any = PROTOCOL
    token: Any = None
    version: Any = None


class Move(msgspec.Struct, tag="move", tag_field="type"):
    n: Any = None  # the seat's counter; an int once checked
    move: Any = None  # the move's text; a str once checked


class Rematch(msgspec.Struct, tag="rematch", tag_field="type"):
    n: Any = None


class Claim(msgspec.Struct, tag="claim", tag_field="type"):
    n: Any = None


class Ping(msgspec.Struct, tag="ping", tag_field="type"):
    pass


ClientMessage = Union[Hello, Move, Rematch, Claim, Ping]  # noqa: UP007 - a runtime type
CLIENT_MESSAGES: tuple[type[msgspec.Struct], ...] = (Hello, Move, Rematch, Claim, Ping)
_client_decoder = msgspec.json.Decoder(ClientMessage)


class BadMessage(Exception):
    """A message the socket is closed for: not a JSON object, or of no
    known type. `not_json` when the text is not JSON at all."""

    def __init__(self, message: str, not_json: bool = False) -> None:
        super().__init__(message)
        self.message = message
        self.not_json = not_json


class Refusal(Exception):
    """A message refused with the counter it was sent with (`refused`)."""

    def __init__(self, n: object, code: str, message: str) -> None:
        super().__init__(message)
        self.n = n
        self.code = code
        self.message = message


def unknown_type(kind: object) -> str:
    """Why a room message's `type` is not taken, in words a client's author
    reads without knowing the server's language."""
    if kind is None:
        return "a message needs a type"
    if kind == "hello":
        return "hello is the first message only"
    if not isinstance(kind, str):
        return "a message's type is a string"
    shown = kind if len(kind) <= 40 else kind[:40] + "..."
    return f"unknown message type '{shown}'"


def decode_client(text: str | None) -> ClientMessage:
    """A client's message from its text frame (None for a binary one),
    decoded and checked; raises `BadMessage` or `Refusal`."""
    if text is None:
        raise BadMessage("a message is a JSON object in a text frame")
    try:
        message = _client_decoder.decode(text)
    except msgspec.ValidationError:
        # Valid JSON but not a message: say what is wrong with it.
        try:
            data = json.loads(text)
        except (ValueError, RecursionError):
            data = None
        if not isinstance(data, dict):
            raise BadMessage("a message is a JSON object in a text frame") from None
        raise BadMessage(unknown_type(data.get("type"))) from None
    except (msgspec.DecodeError, RecursionError):
        raise BadMessage("a message is a JSON object in a text frame", not_json=True) from None
    if isinstance(message, (Move, Rematch, Claim)):
        n = message.n
        if not isinstance(n, int) or isinstance(n, bool) or not 0 < n < MAX_COUNTER:
            raise Refusal(n, "bad_message", "n is a positive integer")
    if isinstance(message, Move) and (
        not isinstance(message.move, str) or len(message.move) > MAX_MOVE_TEXT
    ):
        raise Refusal(message.n, "bad_message", "move is the text of a move")
    return message


# -- what the server sends on a room's socket ---------------------------------
#
# Each message the server sends has its type here and is encoded from it by
# `text`, except the event, whose text is put together from parts made once
# (`Event` says what it holds; a test holds the two together). Fields that
# are sent only when they say something have the default that leaves them
# out.


class _Out(msgspec.Struct, tag_field="type", omit_defaults=True):
    pass


class Welcome(_Out, tag="welcome"):
    protocol: int
    room: str
    seat: str | None
    version: int
    last_n: int | None


class Ack(_Out, tag="ack"):
    n: int
    version: int | None
    duplicate: bool = False  # sent only as true


class Refused(_Out, tag="refused"):
    n: Any
    code: str
    message: str


class Error(_Out, tag="error"):
    code: str
    message: str


class Notice(_Out, tag="notice"):
    code: str
    message: str


class Presence(_Out, tag="presence"):
    seats: dict[str, bool]
    spectators: int
    claimable: dict[str, bool]


class Thinking(_Out, tag="thinking"):
    seat: str
    level: int | None
    think_time: float | None
    elapsed: float | None = None  # sent to a client catching up mid-search


class ClockNotice(_Out, tag="clock"):
    clock: msgspec.Raw  # the room's clock as `Room.clock_text` makes it


class Review(_Out, tag="review"):
    status: str
    review: Any


class Pong(_Out, tag="pong"):
    pass


class Snapshot(_Out, tag="snapshot"):
    version: int
    room: Any
    state: Any
    history: Any
    you: Any
    thinking: Any
    clock: Any
    review: Any
    review_status: Any


class Event(_Out, tag="event"):
    """What an event's text holds (made by `Turns._event_text`)."""

    version: int
    event: Any
    state: Any
    room: Any
    clock: Any


SERVER_MESSAGES: tuple[type[msgspec.Struct], ...] = (
    Welcome,
    Ack,
    Refused,
    Error,
    Notice,
    Presence,
    Thinking,
    ClockNotice,
    Review,
    Pong,
    Snapshot,
    Event,
)
_encode = msgspec.json.Encoder().encode


def to_text(message: _Out) -> str:
    """A server message as the text sent."""
    return _encode(message).decode()


PONG = to_text(Pong())
