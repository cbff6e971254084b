"""A person playing in the browser: against the engine by clicks, typed
moves, two people and a spectator, a reload, the keyboard, a phone."""

import json
import re

from playwright.sync_api import expect

from .browser_ui import (
    MAX_GAME_PLIES,
    board_cards,
    board_labels,
    cell,
    live_cells,
    move_items,
    open_lobby,
    outcome,
    play_engine,
    play_move,
    room_link,
    slot_of,
    wait_turn_or_end,
    your_turn,
)


def test_game_against_the_engine_to_its_end_by_clicks(page, server):
    room = play_engine(page, server)
    for _ in range(MAX_GAME_PLIES):
        if wait_turn_or_end(page):
            break
        play_move(page)
    expect(outcome(page)).to_be_visible()
    why = page.get_by_role("region", name=outcome(page).inner_text())
    expect(why).to_contain_text(re.compile(r"ficou sem cartas|conta o material"))
    # Each side's cards and material, and the whole game in the move list.
    expect(page.get_by_text(re.compile(r"^\d+ cartas? · material \d+$"))).to_have_count(2)
    assert move_items(page).count() >= 2
    # Scrolled to its end, the move list shows whole lines: the first one
    # in view is not cut by the list's top edge.
    cut = page.locator("#moves").evaluate(
        """(list) => {
          const top = list.getBoundingClientRect().top + list.clientTop;
          const first = [...list.children].find((item) => item.getBoundingClientRect().bottom > top);
          return first.getBoundingClientRect().top - top;
        }"""
    )
    assert abs(cut) < 1, f"the first line in view is cut by {-cut:.1f} px"
    # The latest move is also told in words, for screen readers (the name
    # between Unicode isolates).
    last = move_items(page).last.inner_text().split()
    who = "Ana" if last[0] == "A" else r"motor \(nível 1\)"
    told = rf"^\u2068{who}\u2069 \({last[0]}\) jogou {last[1]}\.$"
    expect(page.get_by_text(re.compile(told))).to_be_attached()

    # A rematch against the engine starts at once, in a new room, same seat.
    page.get_by_role("button", name="Desforra").click()
    expect(page).not_to_have_url(room)
    expect(page.get_by_text("Jogas com A.", exact=False)).to_be_visible()
    expect(move_items(page)).not_to_have_count(0)  # the engine moves first this time


def test_refused_typed_move_shows_the_engines_message(page, server):
    play_engine(page, server)
    expect(your_turn(page)).to_be_visible()
    theirs = page.get_by_role("gridcell", name=re.compile("do adversário, virada para cima")).first
    slot = slot_of(theirs)
    before = board_labels(page)

    theirs.hover()  # the reason is shown before trying
    expect(page.get_by_text(f"{slot}: Não podes jogar uma carta do adversário")).to_be_visible()

    page.get_by_label("Jogada", exact=True).fill(slot.lower())
    page.get_by_label("Jogada", exact=True).press("Enter")
    refusal = page.get_by_role("alert")
    expect(refusal).to_have_text("Não podes jogar uma carta virada para cima do adversário.")
    assert board_labels(page) == before
    expect(move_items(page)).to_have_count(0)

    # A legal move typed in lower case is played.
    mine = page.get_by_role(
        "gridcell", name=re.compile("a tua carta Normal, virada para cima")
    ).first
    slot = slot_of(mine)
    page.get_by_label("Jogada", exact=True).fill(slot.lower())
    page.get_by_role("button", name="Jogar", exact=True).click()
    expect(move_items(page).first).to_have_text(f"A {slot}")
    expect(refusal).to_be_hidden()


def test_two_people_play_while_a_third_watches_every_move(new_context, server):
    size = {"width": 1000, "height": 700}
    ana, bia, eva = (new_context(viewport=size).new_page() for _ in range(3))
    ana.context.grant_permissions(["clipboard-read", "clipboard-write"])
    open_lobby(ana, server, "Ana")
    ana.get_by_label("Mostrar a sala no átrio").check()
    ana.get_by_role("button", name="Criar sala").click()
    link = room_link(ana)
    ana.get_by_role("button", name="Copiar ligação").click()
    expect(ana.get_by_text("Ligação copiada.")).to_be_visible()
    assert ana.evaluate("navigator.clipboard.readText()") == link

    # Bia finds the room in the lobby's list of waiting rooms and joins.
    open_lobby(bia, server, "Bia")
    # (Names in the links' accessible names sit between Unicode isolates.)
    bia.get_by_role("link", name="Entrar na sala de \u2068Ana\u2069").click()
    bia.get_by_role("button", name="Entrar como B").click()
    expect(bia.get_by_text("Jogas com B.", exact=False)).to_be_visible()
    expect(ana.get_by_role("region", name="Convida um amigo")).to_be_hidden()

    # Eva finds the game among those in progress and watches.
    open_lobby(eva, server, "Eva")
    eva.get_by_role("link", name="Assistir a \u2068Ana\u2069 contra \u2068Bia\u2069").click()
    expect(eva.get_by_text("Estás a assistir.", exact=False)).to_be_visible()
    expect(live_cells(eva)).to_have_count(0)

    players, pictured = [ana, bia], False
    for ply in range(MAX_GAME_PLIES):
        mover = players[ply % 2]
        if wait_turn_or_end(mover):
            break
        figure = live_cells(mover).and_(
            mover.get_by_role("gridcell", name=re.compile("a tua Figura, virada para cima"))
        )
        if not pictured and ply >= 4 and figure.count():
            # A Figure picked, its targets marked, then let go.
            figure.first.click()
            expect(mover.get_by_role("gridcell", selected=True)).to_have_count(1)
            expect(mover.get_by_role("gridcell", name=re.compile(", alvo"))).not_to_have_count(0)
            mover.keyboard.press("Escape")
            expect(mover.get_by_role("gridcell", selected=True)).to_have_count(0)
            pictured = True
        move = play_move(mover)
        side = "AB"[ply % 2]
        expect(
            eva.get_by_role("region", name="Jogadas").get_by_role("listitem").nth(ply)
        ).to_have_text(f"{side} {move}")
    expect(outcome(eva)).to_be_visible()
    expect(outcome(eva)).to_have_text(re.compile(r"^(Ana \(A\)|Bia \(B\)) ganhou\.$|^Empate\.$"))
    assert move_items(eva).all_inner_texts() == move_items(ana).all_inner_texts()
    assert {outcome(ana).inner_text(), outcome(bia).inner_text()} in (
        {"Ganhaste!", "Perdeste."},
        {"Empate."},
    )


def test_a_reload_keeps_the_seat_and_the_position(page, server, new_context):
    room = play_engine(page, server, name="<b>Ana</b>")  # a name is text, never markup
    expect(page.get_by_role("complementary").get_by_text("<b>Ana</b>")).to_be_visible()
    for _ in range(2):
        wait_turn_or_end(page)
        play_move(page)
    expect(your_turn(page)).to_be_visible()
    labels, history = board_labels(page), move_items(page).all_inner_texts()

    page.reload()
    expect(page.get_by_text("Jogas com A.", exact=False)).to_be_visible()
    expect(move_items(page)).to_have_count(len(history))
    assert move_items(page).all_inner_texts() == history
    assert board_labels(page) == labels
    assert "token" not in page.url and len(page.url) < 80
    play_move(page)

    # The seat belongs to this browser: another one opening the room watches.
    other = new_context().new_page()
    other.goto(room)
    expect(other.get_by_text("Estás a assistir.", exact=False)).to_be_visible()
    expect(other.get_by_role("complementary").get_by_text("<b>Ana</b>")).to_be_visible()


def test_a_server_restart_shows_the_banner_and_the_game_goes_on(page, server):
    play_engine(page, server)
    wait_turn_or_end(page)
    play_move(page)
    expect(your_turn(page)).to_be_visible()
    history = move_items(page).all_inner_texts()

    banner = page.get_by_text(re.compile(r"^Ligação perdida\. A voltar a ligar em \d+ s…$"))
    with server.down():
        expect(banner).to_be_visible()
    expect(banner).to_be_hidden(timeout=30_000)
    expect(your_turn(page)).to_be_visible()
    assert move_items(page).all_inner_texts() == history
    play_move(page)


def test_a_dropped_spectator_catches_up_from_its_version(new_context, server):
    ana, bia, eva = (new_context().new_page() for _ in range(3))
    open_lobby(ana, server, "Ana")
    ana.get_by_role("button", name="Criar sala").click()
    link = room_link(ana)
    bia.goto(link)
    bia.get_by_label("O teu nome").fill("Bia")
    bia.get_by_role("button", name="Entrar como B").click()

    # Eva's socket goes through the test, which can cut it and keep it cut.
    cut, hellos, sockets = [False], [], []

    def route(socket):
        if cut[0]:
            socket.close()
            return
        server_side = socket.connect_to_server()

        def forward(message):
            if '"hello"' in message:
                hellos.append(json.loads(message))
            server_side.send(message)

        socket.on_message(forward)
        sockets.append(socket)

    eva.route_web_socket(re.compile(r"/ws/"), route)
    eva.goto(link)
    expect(eva.get_by_text("Estás a assistir.", exact=False)).to_be_visible()
    wait_turn_or_end(ana)
    play_move(ana)
    expect(move_items(eva)).to_have_count(1)

    cut[0] = True
    sockets[-1].close()
    expect(eva.get_by_text(re.compile("^Ligação perdida"))).to_be_visible()
    for player in (bia, ana):
        wait_turn_or_end(player)
        play_move(player)
    cut[0] = False
    expect(move_items(eva)).to_have_count(3, timeout=30_000)
    assert move_items(eva).all_inner_texts() == move_items(ana).all_inner_texts()
    assert hellos[0].get("version") is None and hellos[-1]["version"] >= 1
    assert board_cards(eva) == board_cards(ana)


def test_a_move_by_keyboard_alone(page, server):
    play_engine(page, server)
    expect(your_turn(page)).to_be_visible()
    page.locator("body").focus()
    for _ in range(20):
        page.keyboard.press("Tab")
        if page.evaluate("document.activeElement.getAttribute('role')") == "gridcell":
            break
    expect(cell(page, "A1")).to_be_focused()

    def go(slot):
        for _ in range("ABC".index(slot[0])):
            page.keyboard.press("ArrowDown")
        for _ in range("1234".index(slot[1])):
            page.keyboard.press("ArrowRight")
        expect(cell(page, slot)).to_be_focused()

    # Space on one's own Figure selects it, Escape lets it go.
    figure = slot_of(
        page.get_by_role("gridcell", name=re.compile("a tua Figura, virada para cima")).first
    )
    go(figure)
    page.keyboard.press(" ")
    expect(cell(page, figure)).to_have_attribute("aria-selected", "true")
    expect(page.get_by_role("gridcell", name=re.compile(", alvo"))).not_to_have_count(0)
    page.keyboard.press("Escape")
    expect(cell(page, figure)).to_have_attribute("aria-selected", "false")

    page.keyboard.press("Control+Home")
    normal = slot_of(
        page.get_by_role("gridcell", name=re.compile("a tua carta Normal, virada para cima")).first
    )
    go(normal)
    page.keyboard.press("Enter")
    expect(move_items(page).first).to_have_text(f"A {normal}")
    wait_turn_or_end(page)
    last = page.get_by_role("gridcell", name=re.compile("última jogada$")).first
    expect(last).to_have_css("animation-name", "flip")  # the engine's card turned over


def fits_a_phone(page):
    expect(page.locator("body")).to_be_visible()
    width = page.evaluate("[document.documentElement.scrollWidth, window.innerWidth]")
    assert width[0] <= width[1], f"the page scrolls sideways: {width[0]} px wide in {width[1]}"
    small = page.evaluate(
        """() => [...document.querySelectorAll('button, a, input:not([type=radio]):not([type=checkbox]), [role=gridcell], label.choice')]
        .filter((node) => node.offsetParent !== null)
        .map((node) => [node.textContent.trim() || node.getAttribute('aria-label') || node.id, node.getBoundingClientRect()])
        .filter(([, box]) => box.height < 44 || box.width < 44)
        .map(([name, box]) => `${name}: ${Math.round(box.width)}x${Math.round(box.height)}`)"""
    )
    assert small == []


def test_a_phone_sized_screen_and_the_language_choice(new_context, server):
    phone = new_context(
        viewport={"width": 360, "height": 740}, has_touch=True, reduced_motion="reduce"
    )
    page = phone.new_page()
    page.goto(server.page_url("/"))
    fits_a_phone(page)

    page.get_by_role("button", name="EN").click()
    expect(page.get_by_role("heading", name="Play the engine")).to_be_visible()
    page.reload()
    expect(page.get_by_role("heading", name="Play the engine")).to_be_visible()
    page.get_by_role("button", name="PT").click()

    play_engine(page, server, hide_owners=True)
    wait_turn_or_end(page)
    play_move(page)
    fits_a_phone(page)
    # Playing from memory: face-down cards show plain backs.
    backs = page.get_by_role("gridcell", name=re.compile(r"^[A-C][1-4], carta virada para baixo"))
    expect(backs).not_to_have_count(0)
    expect(
        page.get_by_role("gridcell", name=re.compile(r"(tua|adversário).*, virada para baixo"))
    ).to_have_count(0)
    # Each side's count of cards would give the owners away: only face-up ones.
    expect(page.get_by_text(re.compile(r"^\d+ viradas para cima$"))).to_have_count(2)
    # The phone asks for reduced motion: the cards turn over without moving.
    wait_turn_or_end(page)
    last = page.get_by_role("gridcell", name=re.compile("última jogada$")).first
    expect(last).to_have_class(re.compile(r"\bflip\b"))
    expect(last).to_have_css("animation-name", "none")
