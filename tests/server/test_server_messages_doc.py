"""docs/protocol.md and the messages the server decodes agree: its table of
what a client sends names every message type and field of
`tesko_server.protocol`, and no others, and every example of a client's
message in it holds only those fields."""

from __future__ import annotations

import json
import re

from protocol_doc import PROTOCOL
from tesko_server.protocol import CLIENT_MESSAGES


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
