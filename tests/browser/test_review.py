"""The engine's review of a finished game on the page, stepped through with
the keyboard by a player and by a spectator who came after the end, and
the game's record downloaded from the page and read by `tesko_tools`."""

import json
import re
import urllib.request

from playwright.sync_api import expect
from tesko_tools import Game

from .browser_ui import board_cards, move_items, outcome, play_move, wait_turn_or_end

PLY_LIMIT = 10


def api(server, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(
        server.url + path, data, {"Content-Type": "application/json"} if data else {}
    )
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.loads(answer.read())


def expected_cards(codes):
    """What the board shows of a review's position (as `board_cards` reads it)."""
    cards = []
    for i in range(0, 24, 2):
        code = codes[i : i + 2]
        if code == "--":
            cards.append(["empty"])
        elif code.isupper():
            cards.append(sorted(["up", f"side-{code[0]}", f"kind-{code[1]}"]))
        else:
            cards.append(sorted(["down", f"side-{code[0].upper()}"]))
    return cards


def slots(move):
    return sorted({move[:2], move[2:]} - {""}) if move else []


def marked(page, mark):
    return sorted(
        page.locator(f"#board td.{mark}").evaluate_all("cells => cells.map(c => c.dataset.slot)")
    )


def score_words(score, language):
    if score > 8999:
        return {"en": "forced win", "pt": "vitória forçada"}[language]
    if score < -8999:
        return {"en": "forced loss", "pt": "derrota forçada"}[language]
    return f"{score:+d}" if score else "0"


def seen_by(side, entry):
    """The score before the entry's move, from `side`'s point of view."""
    return entry["score"] if entry["player"] == side else -entry["score"]


def download(page, link_name):
    with page.expect_download() as info:
        page.get_by_role("link", name=link_name).click()
    saved = info.value
    return saved.suggested_filename, open(saved.path(), encoding="utf-8").read()


def test_a_review_stepped_through_by_keyboard_and_the_record_downloaded(new_context, server):
    made = api(
        server,
        "/api/rooms",
        {
            "seats": {"A": {"kind": "engine", "level": 1, "think_time": 0.2}},
            "ply_limit": PLY_LIMIT,
            "public": False,
        },
    )
    room = made["room"]["id"]
    bia = new_context().new_page()
    bia.goto(server.page_url(f"/r/{room}"))
    bia.get_by_label("O teu nome").fill("Bia")
    bia.get_by_role("button", name="Entrar como B").click()
    wait_turn_or_end(bia)
    play_move(bia)

    # While the game is on, its player may download it, a spectator may not.
    eva = new_context().new_page()
    eva.goto(server.page_url(f"/r/{room}"))
    expect(eva.get_by_text("Estás a assistir.", exact=False)).to_be_visible()
    expect(eva.get_by_role("link", name="Descarregar a partida (.txt)")).to_be_hidden()
    eva.close()
    name, text = download(bia, "Descarregar a partida (.txt)")
    assert name == f"tesko-{room}.txt"
    played = [item.replace("passa", "pass") for item in move_items(bia).all_inner_texts()]
    assert [str(turn) for turn in Game.load(text).history] == played

    while not wait_turn_or_end(bia):
        play_move(bia)
    expect(outcome(bia)).to_be_visible()
    steps = bia.get_by_role("region", name="A análise do motor")
    expect(steps.get_by_text(f"Posição final, depois de {PLY_LIMIT} jogadas")).to_be_visible()
    review = api(server, f"/api/rooms/{room}")["review"]
    moves = review["moves"]
    assert len(moves) == PLY_LIMIT
    # A's positions are scored from B's side here: they must not all be 0,
    # or a page that showed the mover's score would go unseen.
    assert any(seen_by("B", m) != 0 for m in moves if m["player"] == "A")

    # In English the page's line is the server's, word for word.
    bia.get_by_role("button", name="EN").click()
    steps = bia.get_by_role("region", name="The engine's review")
    step, line, score = (steps.locator(f"#review-{part}") for part in ("step", "line", "score"))
    steps.get_by_role("button", name="Previous").focus()
    for index in reversed(range(len(moves))):
        entry = moves[index]
        bia.keyboard.press("ArrowLeft")
        expect(step).to_have_text(re.compile(rf"^Move {index + 1} of {PLY_LIMIT}: "))
        expect(line).to_have_text(entry["text"])
        expect(score).to_have_text(f"Score for B: {score_words(seen_by('B', entry), 'en')}")
        assert board_cards(bia) == expected_cards(entry["cells"])
        assert marked(bia, "played") == slots(entry["played"])
        assert marked(bia, "best") == slots(entry["best"])
        expect(bia.locator("#moves li[aria-current=step]")).to_have_text(
            f"{entry['player']} {entry['played'] or 'passes'}"
        )
    bia.keyboard.press("ArrowLeft")  # the first step is the first
    expect(step).to_have_text(re.compile(rf"^Move 1 of {PLY_LIMIT}: "))
    steps.get_by_role("button", name="Next").click()
    expect(step).to_have_text(re.compile(rf"^Move 2 of {PLY_LIMIT}: "))
    for _ in range(PLY_LIMIT):
        bia.keyboard.press("ArrowRight")
    expect(step).to_have_text(f"Final position, after {PLY_LIMIT} moves")
    assert board_cards(bia) == expected_cards(review["final"])

    # Arrows on the board still move between its cells.
    bia.get_by_role("gridcell").first.focus()
    bia.keyboard.press("ArrowLeft")
    expect(step).to_have_text(f"Final position, after {PLY_LIMIT} moves")

    # After a reload the review comes with the snapshot.
    bia.reload()
    expect(step).to_have_text(f"Final position, after {PLY_LIMIT} moves")
    steps.get_by_role("button", name="Previous").click()
    expect(line).to_have_text(moves[-1]["text"])

    # A spectator who comes after the end sees it from A's side, and may
    # download the record.
    eva = new_context().new_page()
    eva.goto(server.page_url(f"/r/{room}"))
    steps = eva.get_by_role("region", name="A análise do motor")
    expect(steps.get_by_text(f"Posição final, depois de {PLY_LIMIT} jogadas")).to_be_visible()
    steps.get_by_role("button", name="Anterior").focus()
    eva.keyboard.press("ArrowLeft")
    entry = moves[-1]
    expect(steps.locator("#review-score")).to_have_text(
        f"Avaliação para A: {score_words(seen_by('A', entry), 'pt')}"
    )
    expect(
        steps.get_by_role("img", name=re.compile("^A avaliação do motor para A "))
    ).to_be_visible()
    name, text = download(eva, "Descarregar a partida (.txt)")
    assert name == f"tesko-{room}.txt"
    game = Game.load(text)
    assert [t.move for t in game.history] == [m["played"] for m in moves]
    assert str(game.result) == api(server, f"/api/rooms/{room}")["state"]["result"]["text"]
