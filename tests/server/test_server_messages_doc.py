"""docs/protocol.md and the messages of `tesko_server.protocol` agree: its
table of what a client sends names every type and field the server decodes,
and no others; each message the server sends has an example in it that
holds only that message's fields, all of which the doc names; and the
event's text, put together by hand, is the event the module describes."""

from __future__ import annotations

import asyncio
import json
import re

import msgspec
import pytest
from hub_helpers import attach, play, running_hub, settle, two_seats
from protocol_doc import PROTOCOL
from server_helpers import run
from tesko_server.protocol import CLIENT_MESSAGES, SERVER_MESSAGES, Event
from tesko_server.protocol import PROTOCOL as PROTOCOL_VERSION


def defined() -> dict[str, set[str]]:
    return {m.__struct_config__.tag: set(m.__struct_fields__) for m in CLIENT_MESSAGES}


def documented() -> dict[str, set[str]]:
    table: dict[str, set[str]] = {}
    rows = False
    for line in PROTOCOL.read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if line.startswith("| client `type`"):
            rows = True
        elif rows and line.startswith("|") and not cells[0].startswith("---"):
            kind = re.fullmatch(r"`([a-z_]+)`", cells[0])
            assert kind, line
            table[kind[1]] = set(re.findall(r"`([a-z_]+)`", cells[1]))
        elif rows and not line.startswith("|"):
            break
    return table


def examples() -> list[dict]:
    """Every JSON object of the doc that has a client's message type."""
    found = []
    for text in re.findall(r'\{"type": "[a-z_]+"[^{}]*\}', PROTOCOL.read_text()):
        try:
            message = json.loads(text)
        except ValueError:
            continue  # an example with a placeholder in it
        if message["type"] in defined():
            found.append(message)
    return found


def test_the_doc_lists_every_client_message_and_field_and_no_others():
    assert documented() == defined()


def test_the_docs_examples_of_client_messages_hold_only_their_fields():
    found = examples()
    fields = defined()
    assert {m["type"] for m in found} >= {"move", "claim", "rematch", "ping"}
    for message in found:
        assert set(message) - {"type"} <= fields[message["type"]], message


def server_examples() -> dict[str, tuple[set[str], set[str]]]:
    """For each type of the doc's examples: the top-level fields of its
    examples, and every quoted name in the paragraphs that hold them."""
    doc = PROTOCOL.read_text()
    found: dict[str, tuple[set[str], set[str]]] = {}
    for start in [m.start() for m in re.finditer(r'\{\s*"type": "[a-z_]+"', doc)]:
        depth = 0
        for end in range(start, len(doc)):
            depth += {"{": 1, "}": -1}.get(doc[end], 0)
            if depth == 0:
                break
        chunk = doc[start : end + 1]
        # Placeholders (<state>, {...}, "...") stand for values.
        plain = re.sub(r"<[^>]*>|\{\.\.\.\}|\[\.\.\.\]", "null", chunk)
        plain = re.sub(r",\s*\.\.\.\s*([}\]])", r"\1", plain)
        message = json.loads(plain)
        paragraph_start = doc.rfind("\n\n", 0, start)
        paragraph = doc[paragraph_start : doc.find("\n\n", end)]
        keys, named = found.setdefault(message["type"], (set(), set()))
        keys.update(set(message) - {"type"})
        named.update(re.findall(r'"([a-z_]+)"', paragraph))
    return found


@pytest.mark.parametrize("message", SERVER_MESSAGES, ids=lambda m: m.__struct_config__.tag)
def test_the_doc_shows_each_server_message_with_its_fields(message):
    tag = message.__struct_config__.tag
    fields = set(message.__struct_fields__)
    examples = server_examples()
    assert tag in examples, f"no example of {tag}"
    keys, named = examples[tag]
    assert keys <= fields, keys - fields
    assert fields <= keys | named, fields - keys - named


def test_the_event_text_is_the_event_the_module_describes(tmp_path):
    async def scenario():
        async with running_hub(tmp_path) as hub:
            room, token_a, _ = await two_seats(hub, move_time=30)
            await play(hub, attach(hub, room, token_a), 1)
            await settle(hub, room)
            return attach(hub, room, None, 0).sent

    sent = run(scenario())
    events = [m for m in sent if m["type"] == "event"]
    assert len(events) == 2
    for event in events:
        typed = msgspec.json.decode(json.dumps(event), type=Event)
        assert msgspec.structs.asdict(typed) == {k: v for k, v in event.items() if k != "type"}


async def served(app, path: str) -> bytes:
    """The body of a GET answered by the app, in process."""
    scope = {
        "type": "http",
        "http_version": "1.1",
        "method": "GET",
        "scheme": "http",
        "path": path,
        "raw_path": path.encode(),
        "root_path": "",
        "query_string": b"",
        "headers": [(b"host", b"127.0.0.1")],
        "client": ("127.0.0.1", 1),
        "server": ("127.0.0.1", 80),
    }
    body = []

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        if message["type"] == "http.response.start":
            assert message["status"] == 200, message
        elif message["type"] == "http.response.body":
            body.append(message.get("body", b""))

    await app(scope, receive, send)
    return b"".join(body)


LIMITS_BLOCK = re.compile(r'<script type="application/json" id="limits">(.*?)</script>')


def test_the_pages_hold_the_servers_limits_as_the_doc_shows():
    from tesko_server.app import WebSettings, build_app, page
    from tesko_server.hub import Settings
    from tesko_server.protocol import MAX_LEVEL, MOVE_TIMES, NAME_LIMIT, Limits, limits_text

    def limits_in(move_times: tuple[float, ...]) -> list[str]:
        """The lobby's limits as served (no hub needed), and the room page's."""
        app = build_app(lambda: None, WebSettings(hub=Settings(move_times=move_times)))  # type: ignore[arg-type, return-value]
        lobby = asyncio.run(served(app, "/")).decode()
        room = page("room.html", limits_text(move_times)).decode()
        return [block for text in (lobby, room) for block in LIMITS_BLOCK.findall(text)]

    configured = limits_in((10.0, 45.0))
    assert len(configured) == 2
    for block in configured:
        assert msgspec.json.decode(block, type=Limits) == Limits(
            PROTOCOL_VERSION, NAME_LIMIT, MAX_LEVEL, (10.0, 45.0)
        )
    # The doc's example is what a server with the default settings writes.
    assert LIMITS_BLOCK.findall(PROTOCOL.read_text()) == limits_in(MOVE_TIMES)[:1]
