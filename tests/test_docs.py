"""The README and the pages under docs/: the README stays short and leads to
every page, every relative link leads somewhere, and every Python example
is run by some test."""

from __future__ import annotations

import re
from urllib.parse import unquote

import pytest
from docs_text import ROOT, RUN_EXAMPLES, code_blocks, pages, read, section, sections

README_MAX_LINES = 200

# [text](target) and ![alt](target), outside code.
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")


def prose(text: str) -> str:
    """`text` without fenced code blocks and inline code."""
    text = re.sub(r"^```.*?^```$", "", text, flags=re.M | re.S)
    return re.sub(r"`[^`\n]*`", "", text)


def anchor(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading line: lower case, the
    code marks and punctuation dropped, spaces made hyphens."""
    words = heading.lstrip("#").strip().lower()
    return re.sub(r"[^\w\- ]", "", words).replace(" ", "-")


def anchors(text: str) -> set[str]:
    found: set[str] = set()
    for heading, _ in sections(text):
        name, n = anchor(heading), 1
        while name in found:  # repeated headings get -1, -2, ...
            name, n = f"{anchor(heading)}-{n}", n + 1
        found.add(name)
    return found


def relative_links(page: str) -> list[str]:
    return [
        target
        for target in LINK.findall(prose(read(page)))
        if not re.match(r"[a-z][a-z0-9+.-]*:", target)  # http:, mailto: ...
    ]


def test_the_readme_is_short_and_leads_to_every_page():
    text = read("README.md")
    lines = text.count("\n")
    assert lines <= README_MAX_LINES, f"README.md has {lines} lines"
    linked = {unquote(t.split("#")[0]) for t in relative_links("README.md")}
    missing = [p for p in pages() if p != "README.md" and p not in linked]
    assert not missing, f"README.md links no {missing}"


@pytest.mark.parametrize("page", pages())
def test_relative_links_resolve(page):
    base = (ROOT / page).parent
    for target in relative_links(page):
        path, _, fragment = unquote(target).partition("#")
        where = (base / path).resolve() if path else ROOT / page
        assert where.exists(), f"{page}: {target} leads nowhere"
        assert where.is_relative_to(ROOT), f"{page}: {target} leaves the repository"
        if fragment:
            assert where.suffix == ".md", f"{page}: {target} has an anchor in a non-page"
            assert fragment in anchors(where.read_text(encoding="utf-8")), (
                f"{page}: {target}: no such heading"
            )


def python_examples(page: str) -> list[list[str]]:
    """For each ```python block of `page`, the headings it stands under,
    innermost last."""
    found, stack, fenced = [], [], False
    for line in read(page).split("\n"):
        if line.startswith("```"):
            if not fenced and line == "```python":
                found.append([h for _, h in stack])
            fenced = not fenced
        elif not fenced and (m := re.match(r"(#{1,6}) ", line)):
            level = len(m.group(1))
            stack = [(lv, h) for lv, h in stack if lv < level] + [(level, line)]
    return found


@pytest.mark.parametrize("page", pages())
def test_every_python_example_is_run(page):
    """A ```python block outside the sections that tests run would go stale
    unseen."""
    for headings in python_examples(page):
        assert any((page, h) in RUN_EXAMPLES for h in headings), (
            f"{page} {headings[-1]!r}: an example that no test runs"
        )


def test_ci_runs_the_readmes_test_command():
    start = code_blocks(section("README.md", "## Start"), "sh")[0]
    commands = [line.split("#")[0].strip() for line in start.splitlines() if line.strip()]
    assert len(commands) == 2, commands  # set up and serve; test
    ci = [line.strip() for line in read(".ci/run").splitlines()]
    assert ci[-1] == commands[1], f".ci/run ends with {ci[-1]!r}, the README says {commands[1]!r}"
