"""Reading the README and the pages under docs/ for the tests that check
them: sections by heading, and the code blocks in them."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

# The sections whose ```python blocks a test runs, with the test that does.
RUN_EXAMPLES = {
    ("README.md", "## Three ways to start"): "test_tools_cli",
    ("docs/api.md", "## The module `tesko`"): "test_tools_cli",
    ("docs/api.md", "## A host's turn loop"): "test_tools_cli",
    ("docs/api.md", "## Engine moves with a think time"): "test_tools_cli",
    ("docs/records.md", "## The record"): "test_tools_cli",
    ("docs/embedding.md", "## Think time"): "test_robust_search",
    ("docs/server.md", "## A client in Python"): "test_server_rooms",
}

FENCE = re.compile(r"^```")
HEADING = re.compile(r"^(#{1,6}) ")


def pages() -> list[str]:
    """Every page of prose: the README, CONTRIBUTING.md and docs/*.md."""
    return ["README.md", "CONTRIBUTING.md"] + sorted(
        str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md")
    )


def read(page: str) -> str:
    path = ROOT / page
    if not path.is_file():
        pytest.fail(f"{page} is missing")
    return path.read_text(encoding="utf-8")


def sections(text: str) -> list[tuple[str, str]]:
    """(heading line, text up to the next heading of the same or a higher
    level) for every heading outside code blocks."""
    lines = text.split("\n")
    heads, fenced = [], False
    for i, line in enumerate(lines):
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced and (m := HEADING.match(line)):
            heads.append((i, len(m.group(1))))
    found = []
    for k, (i, level) in enumerate(heads):
        end = next((j for j, lv in heads[k + 1 :] if lv <= level), len(lines))
        found.append((lines[i], "\n".join(lines[i + 1 : end])))
    return found


def section(page: str, heading: str) -> str:
    """The text under `heading` (the whole heading line) in `page`; the test
    fails when the page has no such heading."""
    for head, body in sections(read(page)):
        if head == heading:
            return body
    pytest.fail(f"{page} has no section {heading!r}")


def code_blocks(text: str, lang: str = "python") -> list[str]:
    return re.findall(rf"^```{lang}\n(.*?)^```$", text, re.M | re.S)


def examples(page: str, heading: str) -> list[str]:
    """The ```python blocks of a section; fails when there are none."""
    blocks = code_blocks(section(page, heading))
    if not blocks:
        pytest.fail(f"{page} {heading!r} has no python example")
    return blocks
