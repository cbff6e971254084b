"""What a person does on the pages, in the page's own (Portuguese) words:
the browser tests read as steps of play. Elements are found by role and
label, and every wait is a web-first assertion."""

import re

from playwright.sync_api import expect

YOUR_TURN = "É a tua vez."
OUTCOME = re.compile(r"^(Ganhaste!|Perdeste\.|Empate\.|.+ \([AB]\) ganhou\.)$")
MAX_GAME_PLIES = 250  # more than a game's moves and passes at the default ply limit


def open_lobby(page, server, name):
    page.goto(server.page_url("/"))
    page.get_by_label("O teu nome").fill(name)


def play_engine(page, server, name="Ana", level="Fácil (nível 1)", hide_owners=False):
    """Starts a game against the engine from the lobby; the person plays A
    and moves first. Returns the room's address."""
    open_lobby(page, server, name)
    page.get_by_label(level).check()
    if hide_owners:
        page.get_by_role("region", name="Jogar contra o motor").get_by_label(
            "Esconder os donos"
        ).check()
    page.get_by_role("button", name="Jogar", exact=True).click()
    expect(page).to_have_url(re.compile(r"/r/[A-Za-z0-9_-]+$"))
    expect(page.get_by_role("grid", name="Tabuleiro")).to_be_visible()
    return page.url


def room_link(page):
    """The address a room's page offers to share (once the room is known)."""
    link = page.get_by_label("Ligação da sala")
    expect(link).to_have_value(re.compile(r"^http://127\.0\.0\.1:\d+/r/[A-Za-z0-9_-]+$"))
    return link.input_value()


def move_items(page):
    section = page.get_by_role("region", name="Jogadas")
    return section.get_by_role("listitem")


def outcome(page):
    return page.get_by_role("heading", name=OUTCOME)


def your_turn(page):
    return page.get_by_text(YOUR_TURN, exact=True)


def live_cells(page):
    return page.get_by_role("gridcell", disabled=False)


def cell(page, slot):
    return page.get_by_role("gridcell", name=re.compile(f"^{slot},"))


def slot_of(locator):
    return locator.get_attribute("aria-label")[:2]


def click_a_move(page):
    """Plays the first legal move by clicks: a Normal card or a face-down
    card in one click, a Figure then its first target. Returns the move."""
    first = live_cells(page).first
    source = slot_of(first)
    first.click()
    if page.get_by_role("gridcell", selected=True).count() == 0:
        return source
    target = page.get_by_role("gridcell", name=re.compile(", alvo")).first
    move = source + slot_of(target)
    target.click()
    return move


def wait_turn_or_end(page):
    """Waits until this page may move or shows the result; True if over."""
    expect(your_turn(page).or_(outcome(page))).to_be_visible()
    return outcome(page).is_visible()


def play_move(page):
    """Plays one move by clicks and waits until the move list shows it."""
    played = move_items(page).count()
    move = click_a_move(page)
    expect(move_items(page).nth(played)).to_have_text(re.compile(rf"^[AB] {move}$"))
    return move


def board_labels(page):
    return [cell.get_attribute("aria-label") for cell in page.get_by_role("gridcell").all()]


CARD_CLASSES = {"empty", "up", "down", "side-A", "side-B", "unmarked", "kind-N", "kind-F"}


def board_cards(page):
    """What each cell shows, whoever looks: owner, face, kind (from the
    cells' classes, which do not depend on who is looking)."""
    return [
        sorted(set(cell.get_attribute("class").split()) & CARD_CLASSES)
        for cell in page.get_by_role("gridcell").all()
    ]
