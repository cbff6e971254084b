"""The page's rough edges: an outage, the lobby's list of games, errors in
the page's language, names from every script, narrow screens, the dark
scheme."""

import json
import re
import urllib.request

import pytest
from playwright.sync_api import expect
from protocol_doc import code_tables

from .browser_ui import (
    cell,
    live_cells,
    move_items,
    open_lobby,
    play_engine,
    play_move,
    room_link,
    wait_turn_or_end,
    your_turn,
)
from .contrast import CONTRAST_JS


def test_an_outage_shows_no_stale_state_until_the_catch_up(page, server):
    play_engine(page, server)
    wait_turn_or_end(page)
    play_move(page)
    expect(your_turn(page)).to_be_visible()
    sides = page.get_by_role("complementary")
    move_box = page.get_by_label("Jogada", exact=True)
    expect(sides.get_by_text("· ligado")).to_have_count(2)

    banner = page.get_by_text(re.compile(r"^Ligação perdida\. A voltar a ligar em \d+ s…$"))
    with server.down():
        expect(banner).to_be_visible()
        expect(page.locator("#turn")).to_be_hidden()
        expect(sides.get_by_text("· a confirmar")).to_have_count(2)
        expect(sides.get_by_text(re.compile("ligado"))).to_have_count(0)
        expect(live_cells(page)).to_have_count(0)
        expect(move_box).to_be_disabled()
        # Each cell says why it does nothing.
        why = "Sem ligação: à espera de restabelecer o jogo."
        expect(cell(page, "A1")).to_have_attribute("title", why)
    expect(banner).to_be_hidden(timeout=30_000)
    expect(your_turn(page)).to_be_visible()
    expect(sides.get_by_text("· ligado")).to_have_count(2)
    expect(move_box).to_be_enabled()
    play_move(page)


def test_the_lobby_lists_only_games_someone_plays_or_watches(new_context, server):
    ana = new_context().new_page()
    room = play_engine(ana, server, name="Ana")
    eva = new_context().new_page()
    open_lobby(eva, server, "Eva")
    games = eva.get_by_role("region", name="Jogos a decorrer")
    watch = games.get_by_role("link", name=re.compile("^Assistir a \u2068Ana\u2069 contra"))
    expect(watch).to_be_visible()

    ana.close()  # nobody left in the room: it only waits to expire
    eva.get_by_role("button", name="Atualizar").click()
    expect(games.get_by_role("listitem")).to_have_count(0)
    expect(games.get_by_text("Nenhum jogo a decorrer.")).to_be_visible()

    zoe = new_context().new_page()
    zoe.goto(room)
    expect(zoe.get_by_text("Estás a assistir.", exact=False)).to_be_visible()
    eva.get_by_role("button", name="Atualizar").click()
    expect(watch).to_be_visible()  # someone watches it


def test_a_reload_during_the_engines_search_counts_on_from_its_start(page, server):
    # How long a search lasts depends on the deal (a deep one may end within
    # half a second), so the search under way is the snapshot's say: the
    # reloaded page's snapshot, from the real server, is told that the
    # engine has been thinking for 3.4 s.
    body = {
        "first": "A",
        "seats": {"B": {"kind": "engine", "level": 12, "think_time": 6.0}},
        "join": {"seat": "A", "name": "Ana"},
    }
    request = urllib.request.Request(
        server.url + "/api/rooms",
        data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json"},
    )
    with urllib.request.urlopen(request) as answer:
        room = json.load(answer)["room"]["id"]
    page.goto(server.page_url(f"/r/{room}"))  # a spectator's page
    expect(page.get_by_text("Estás a assistir.", exact=False)).to_be_visible()

    def route(socket):
        server_side = socket.connect_to_server()

        def to_page(text):
            message = json.loads(text)
            if message.get("type") == "snapshot":
                message["state"].update(to_move="B", legal_moves=[])
                message["room"]["to_move"] = "B"
                message["thinking"] = {"seat": "B", "level": 12, "think_time": 6.0, "elapsed": 3.4}
            socket.send(json.dumps(message))

        server_side.on_message(to_page)

    page.route_web_socket(re.compile(r"/ws/"), route)
    page.reload()
    first = page.wait_for_function(
        "() => /pensar/.test(document.getElementById('turn').textContent)"
        " && document.getElementById('turn').textContent"
    ).json_value()
    # Counted from the search's start (a page counting from its own load
    # would show 0 s).
    assert int(re.search(r"(\d+) s$", first)[1]) in (3, 4), first


# Each error code of the protocol, by where the page meets it: the lobby's
# answers (creating a room, joining one), a move's refusal, and the room
# channel's error before it closes.
TABLES = code_tables()
LOBBY_CODES = [code for header, codes in TABLES if "HTTP status" in header for code in codes]
REFUSAL_CODES = sorted(
    {code for header, codes in TABLES if header == ("code", "message") for code in codes}
    - {"illegal_move"}  # the engine's own words: below
)
SOCKET_CODES = [code for header, codes in TABLES if header[0] == "`error` code" for code in codes]
SERVER_TEXT = "the server's own words for {}"


def words_of(page, locator, code, before=""):
    """The words shown in English (once they are no longer `before`); they
    are the page's own, not the server's, and the Portuguese page has its
    own too."""
    expect(locator).not_to_have_text(before)
    expect(locator).not_to_have_text("")
    english = locator.inner_text()
    assert SERVER_TEXT.format(code) not in english and not english.startswith("Error:"), english
    page.get_by_role("button", name="PT", exact=True).click()
    expect(locator).not_to_have_text(english)
    assert SERVER_TEXT.format(code) not in locator.inner_text()
    page.get_by_role("button", name="EN", exact=True).click()
    expect(locator).to_have_text(english)
    return english


def lobby_errors(page):
    """Makes the lobby answer every POST with the error code put in the
    dictionary returned."""
    answer = {}

    def route(request_route):
        if request_route.request.method != "POST":
            return request_route.continue_()
        error = {"code": answer["code"], "message": SERVER_TEXT.format(answer["code"])}
        return request_route.fulfill(status=409, json={"error": error})

    page.route(re.compile(r"/api/rooms(/[^/?]+/join)?$"), route)
    return answer


@pytest.mark.parametrize("form", ["create", "join"])
def test_every_lobby_error_in_english_words(page, server, form, new_context):
    new_context.allow("Failed to load resource: the server responded with a status of 409")
    page.goto(server.page_url("/"))
    if form == "create":
        submit, shown = (
            page.get_by_role("button", name="Jogar", exact=True),
            page.locator("#lobby-error"),
        )
    else:
        page.get_by_role("button", name="Criar sala").click()  # a real room to join
        room = room_link(page)
        page.evaluate("localStorage.clear()")  # someone else now
        page.goto(room)
        submit, shown = (
            page.get_by_role("button", name="Entrar como B"),
            page.locator("#join-error"),
        )
    answer = lobby_errors(page)
    page.get_by_role("button", name="EN", exact=True).click()
    submit = page.get_by_role(
        "button", name="Play" if form == "create" else "Join as B", exact=True
    )
    seen, before = {}, ""
    for code in LOBBY_CODES:
        answer["code"] = code
        submit.click()
        before = seen[code] = words_of(page, shown, code, before)
    # Each code has words of its own.
    assert len(set(seen.values())) == len(seen), seen


def test_every_refusal_in_english_words_and_the_engines_with_a_gloss(page, server):
    refuse = {}

    def route(socket):
        server_side = socket.connect_to_server()

        def forward(text):
            message = json.loads(text)
            if message.get("type") == "move" and refuse.get("code"):
                code = refuse["code"]
                wording = refuse.get("message") or SERVER_TEXT.format(code)
                reply = {"type": "refused", "n": message["n"], "code": code, "message": wording}
                socket.send(json.dumps(reply))
            else:
                server_side.send(text)

        socket.on_message(forward)

    page.route_web_socket(re.compile(r"/ws/"), route)
    play_engine(page, server)
    page.get_by_role("button", name="EN", exact=True).click()
    expect(page.get_by_text("Your turn.", exact=True)).to_be_visible()
    refusal = page.get_by_role("alert")
    box = page.get_by_label("Move", exact=True)
    before = ""
    for code in REFUSAL_CODES:
        refuse["code"] = code
        box.fill("A1")
        box.press("Enter")
        before = words_of(page, refusal, code, before)

    # The engine's refusal comes in Portuguese, as the engine wrote it; the
    # English page puts its English words beside it.
    refuse.update(code="illegal_move", message="Origem inválida.")
    box.fill("A1")
    box.press("Enter")
    expect(refusal).to_have_text("Origem inválida. (Invalid origin.)")
    expect(refusal.locator("[lang=pt]")).to_have_text("Origem inválida.")
    page.get_by_role("button", name="PT", exact=True).click()
    expect(refusal).to_have_text("Origem inválida.")
    page.get_by_role("button", name="EN", exact=True).click()
    refuse.clear()  # a real refusal, through the server
    box.fill("Z9")
    box.press("Enter")
    expect(refusal).to_have_text("Coordenada inválida. (Invalid coordinate.)")


@pytest.mark.parametrize("code", SOCKET_CODES)
def test_every_room_channel_error_in_english_words(page, server, code):
    def route(socket):
        def answer(text):
            hello = json.loads(text)
            # A wrong token is answered to a hello that carries one.
            if hello.get("type") == "hello" and (code != "bad_token" or hello.get("token")):
                error = {"type": "error", "code": code, "message": SERVER_TEXT.format(code)}
                socket.send(json.dumps(error))
                socket.close(code=1001 if code == "shutting_down" else 1008)

        socket.on_message(answer)

    page.route_web_socket(re.compile(r"/ws/"), route)
    page.goto(server.page_url("/"))
    page.get_by_role("button", name="EN", exact=True).click()
    seat = {"seat": "A", "token": "t" * 43, "n": 0}
    page.evaluate(
        "(seat) => localStorage.setItem('tesko.seat.q3V9x_kE2bQa', seat)", json.dumps(seat)
    )
    page.goto(server.page_url("/r/q3V9x_kE2bQa"))
    shown = page.locator("#fatal, #notice").locator("visible=true")
    words_of(page, shown, code)


def test_a_closed_connections_notice_goes_once_the_page_is_back(page, server):
    refusals = [2]  # the first two connections after the reload are refused

    def route(socket):
        if refusals[0] > 0:
            refusals[0] -= 1

            def refuse(text):
                error = {"type": "error", "code": "rate_limited", "message": "too many messages"}
                socket.send(json.dumps(error))
                socket.close(code=1008)

            socket.on_message(refuse)
            return
        socket.connect_to_server()

    play_engine(page, server)
    expect(your_turn(page)).to_be_visible()
    page.route_web_socket(re.compile(r"/ws/"), route)
    page.reload()
    notice = page.get_by_text("Mensagens a mais em pouco tempo", exact=False)
    expect(notice).to_be_visible()
    expect(your_turn(page)).to_be_visible(timeout=20_000)
    expect(notice).to_be_hidden()


ZWJ_NAME = "Ana \U0001f469\u200d\U0001f4bb"  # an emoji sequence joined by U+200D
RTL_NAME = "می\u200cنا!"  # Persian, with a zero-width non-joiner, and a final mark

ISOLATED_JS = """(name) => {
  // Every text node holding the name: its element is a <bdi> (or has
  // dir=auto) that holds the name and nothing else, or the name sits
  // between the Unicode isolates in the text.
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  const found = [];
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    if (!node.data.includes(name) || node.parentElement.closest('[hidden]')) continue;
    const box = node.parentElement;
    const isolated = box.localName === 'bdi' || box.getAttribute('dir') === 'auto';
    const between = node.data.split(name).length - 1 === node.data.split('\u2068' + name + '\u2069').length - 1;
    found.push((isolated && box.textContent === name) || between ? 'isolated' : box.outerHTML);
  }
  return found;
}"""


def test_names_from_any_script_are_kept_whole_and_shown_isolated(new_context, server):
    ana = new_context().new_page()
    open_lobby(ana, server, ZWJ_NAME)
    ana.get_by_label("Mostrar a sala no átrio").check()
    ana.get_by_role("button", name="Criar sala").click()
    room_link(ana)
    mina = new_context().new_page()
    open_lobby(mina, server, RTL_NAME)
    mina.get_by_role("link", name=f"Entrar na sala de \u2068{ZWJ_NAME}\u2069").click()
    mina.get_by_role("button", name="Entrar como B").click()
    expect(mina.get_by_text("Jogas com B.", exact=False)).to_be_visible()
    wait_turn_or_end(ana)
    play_move(ana)  # now B's turn: "Vez de <name> (B)." on A's page

    eva = new_context().new_page()
    open_lobby(eva, server, "Eva")
    expect(eva.get_by_role("region", name="Jogos a decorrer").get_by_role("link")).to_be_visible()
    for page, where in ((ana, "turn"), (mina, "announce"), (eva, "lobby")):
        for name in (ZWJ_NAME, RTL_NAME):
            shown = page.evaluate(ISOLATED_JS, name)
            assert shown and set(shown) == {"isolated"}, (where, name, shown)
    expect(ana.locator("#turn")).to_have_text(f"Vez de {RTL_NAME} (B).")
    # The screen reader's line holds the name between Unicode isolates.
    expect(mina.locator("#announce")).to_have_text(
        f"\u2068{ZWJ_NAME}\u2069 (A) jogou {move_items(mina).first.inner_text().split()[1]}."
    )
    # Isolated, the right-to-left name keeps its mark at its own left end,
    # not at the right, next to the words that follow it.
    mark_left_of_letters = ana.evaluate(
        """() => {
          const name = document.querySelector('#turn bdi').firstChild;
          const box = (from, to) => { const r = new Range(); r.setStart(name, from); r.setEnd(name, to); return r.getBoundingClientRect(); };
          const n = name.length;
          return box(n - 1, n).right <= box(0, 1).left;
        }"""
    )
    assert mark_left_of_letters


@pytest.mark.parametrize(
    ("typed", "kept", "note"),
    [
        ("😀" * 24, "😀" * 24, ""),  # 24 characters (48 UTF-16 units): not cut
        ("x" * 30, "x" * 24, "Um nome tem até 24 caracteres: o teu foi cortado."),
        (
            "y" * 22 + "\U0001f469\u200d\U0001f4bb",
            "y" * 22,
            "Um nome tem até 24 caracteres: o teu foi cortado.",
        ),
    ],
)
def test_the_name_field_says_when_it_cuts_a_name(page, server, typed, kept, note):
    page.goto(server.page_url("/"))
    field = page.get_by_label("O teu nome")
    field.fill(typed)
    expect(field).to_have_value(kept)
    expect(page.locator("#name-note")).to_have_text(note)


def test_a_name_with_a_direction_override_is_refused_before_sending(page, server):
    page.goto(server.page_url("/"))
    page.get_by_label("O teu nome").fill("Ana\u202etxt.exe")
    page.get_by_role("button", name="Criar sala").click()
    expect(page.locator("#name-note")).to_have_text(
        "O nome não pode ter caracteres de controlo nem marcas que mudam a direção do texto."
    )
    expect(page).to_have_url(server.page_url("/"))


def test_the_game_page_layout(new_context, server):
    page = new_context(viewport={"width": 320, "height": 640}).new_page()
    open_lobby(page, server, "Ana")
    page.get_by_role("button", name="Criar sala").click()
    room_link(page)
    heading = page.get_by_role("heading", level=1)
    for language, word in (("EN", "Room"), ("PT", "Sala")):
        page.get_by_role("button", name=language, exact=True).click()
        # Read out whole; drawn on one line, all of it in view, at 320 px.
        expect(heading).to_have_text(re.compile(rf"^{word} [A-Za-z0-9_-]{{12}}$"))
        one_line = heading.evaluate(
            """(node) => {
              const range = new Range();
              range.selectNodeContents(node);
              const tops = new Set([...range.getClientRects()].filter((box) => box.width > 1)
                .map((box) => Math.round(box.top)));
              const id = node.querySelector('.room-code').getBoundingClientRect();
              const langs = document.querySelector('.langs').getBoundingClientRect();
              return [tops.size, node.scrollWidth <= node.clientWidth + 1, id.right <= langs.left];
            }"""
        )
        assert one_line == [1, True, True], language  # (widths are rounded: 1 px)
    # Waiting for the second player: no move box yet.
    expect(page.get_by_text("À espera do segundo jogador.", exact=True)).to_be_visible()
    expect(page.get_by_label("Jogada", exact=True)).to_be_hidden()


@pytest.mark.parametrize("scheme", ["light", "dark"])
def test_colours_meet_contrast_in_each_scheme(new_context, server, scheme):
    page = new_context(color_scheme=scheme).new_page()
    page.goto(server.page_url("/"))
    failures = page.evaluate(CONTRAST_JS, "text")
    play_engine(page, server)
    wait_turn_or_end(page)
    play_move(page)
    expect(your_turn(page)).to_be_visible()
    failures += page.evaluate(CONTRAST_JS, "text")
    failures += page.evaluate(CONTRAST_JS, "cells")
    assert failures == []
    # The scheme asked for is the one drawn: a dark page on a dark screen.
    paper = page.evaluate("getComputedStyle(document.body).backgroundColor")
    red, green, blue = (int(v) for v in re.findall(r"\d+", paper)[:3])
    assert (max(red, green, blue) < 64) == (scheme == "dark"), paper
