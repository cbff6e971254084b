"""The error codes docs/protocol.md documents, read from its tables (those
whose first column is `code`, or `error` code for the codes of the room
channel's `error` messages), for the tests that hold the page's words
against them."""

from __future__ import annotations

import re
from pathlib import Path

PROTOCOL = Path(__file__).resolve().parents[1] / "docs" / "protocol.md"


def code_tables() -> list[tuple[tuple[str, ...], list[str]]]:
    """Each table of codes: its header and its codes (each once), in the
    order of the file."""
    tables: list[tuple[tuple[str, ...], list[str]]] = []
    current: list[str] | None = None
    for line in PROTOCOL.read_text().splitlines():
        line = line.strip()
        cells = [c.strip() for c in line.strip("|").split("|")] if line.startswith("|") else []
        if not cells:
            current = None
        elif cells[0] in ("code", "`error` code"):
            current = []
            tables.append((tuple(cells), current))
        elif current is not None:
            found = re.fullmatch(r"`([a-z_]+)`", cells[0])
            if found and found[1] not in current:
                current.append(found[1])
    return tables


def error_codes() -> set[str]:
    return {code for _, codes in code_tables() for code in codes}


def notice_codes() -> set[str]:
    return set(re.findall(r'"type": "notice", "code": "([a-z_]+)"', PROTOCOL.read_text()))
