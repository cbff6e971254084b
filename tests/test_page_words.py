"""The page's words (static/i18n.js) against what it may be sent: every
error code the protocol documents, in both languages, and an English gloss
for every refusal the engine can give."""

from __future__ import annotations

import re
from pathlib import Path

import pytest
from protocol_doc import error_codes, notice_codes

ROOT = Path(__file__).resolve().parents[1]
WORDS = ROOT / "python" / "tesko_server" / "static" / "i18n.js"
ENGINE_RULES = ROOT / "src" / "engine" / "rules.cpp"
LANGUAGES = ("pt", "en")


def documented_codes() -> dict[str, set[str]]:
    return {"err_": error_codes(), "notice_": notice_codes()}


def page_words() -> dict[str, set[str]]:
    text = WORDS.read_text()
    block = re.search(r"const WORDS = \{\n(.*?)\n\};", text, re.S)
    assert block, "no WORDS table in i18n.js"
    sections = re.split(r"^  (\w+): \{$", block[1], flags=re.M)[1:]
    words = {
        sections[i]: set(re.findall(r"^    (\w+):", sections[i + 1], re.M))
        for i in range(0, len(sections), 2)
    }
    assert set(words) == set(LANGUAGES)
    return words


def engine_refusals() -> set[str]:
    switch = re.search(r"play_error_message\(PlayError e\).*?\n\}", ENGINE_RULES.read_text(), re.S)
    assert switch, "no play_error_message in the engine's rules"
    return set(re.findall(r'return "([^"]+)";', switch[0]))


def test_the_protocol_documents_codes_of_each_kind():
    codes = documented_codes()
    # The lobby's, the refusals' and the error messages' tables are all read.
    assert {"seat_taken", "illegal_move", "rate_limited"} <= codes["err_"]
    assert codes["notice_"]


@pytest.mark.parametrize("language", LANGUAGES)
def test_every_documented_code_has_words(language):
    words = page_words()[language]
    missing = [
        prefix + code
        for prefix, codes in documented_codes().items()
        for code in sorted(codes)
        if prefix + code not in words
    ]
    assert missing == [], f"i18n.js ({language}) has no words for {missing}"


def test_both_languages_have_the_same_words():
    words = page_words()
    assert sorted(words["pt"] ^ words["en"]) == []


def test_every_engine_refusal_has_an_english_gloss():
    glosses = re.search(r"const GLOSSES = \{\n(.*?)\n\};", WORDS.read_text(), re.S)
    assert glosses, "no GLOSSES table in i18n.js"
    glossed = set(re.findall(r"^  '(.+)': ", glosses[1], re.M))
    refusals = engine_refusals()
    assert len(refusals) >= 10
    assert sorted(refusals - glossed) == []
