"""Move clocks and abandoned games on the page: the times per move the
server offers, the side to move's time counting down (red at the end), and
the claim offered to the right person."""

import json
import re
import urllib.request

import pytest
from playwright.sync_api import expect

from .browser_ui import open_lobby, room_link, your_turn
from .conftest import Server

GRACE = 2
MOVE_TIMES = ("15", "45")  # the server's, not its defaults


@pytest.fixture
def server(tmp_path):
    server = Server(tmp_path, "--abandon-time", str(GRACE), "--move-times", ",".join(MOVE_TIMES))
    server.start()
    yield server
    server.stop()


def friend_game(new_context, server, move_time="Sem limite", clock=False):
    """Ana makes a private room from the lobby and Bia joins it by its link;
    Ana's page may run on a clock the test moves by hand."""
    ana = new_context().new_page()
    if clock:
        ana.clock.install()
    open_lobby(ana, server, "Ana")
    form = ana.get_by_role("region", name="Jogar com um amigo")
    form.get_by_label("Tempo por jogada").select_option(label=move_time)
    form.get_by_role("button", name="Criar sala").click()
    link = room_link(ana)
    bia = new_context().new_page()
    bia.goto(link)
    bia.get_by_label("O teu nome").fill("Bia")
    bia.get_by_role("button", name="Entrar como B").click()
    expect(your_turn(ana)).to_be_visible()
    return ana, bia, link


def seconds(locator):
    return int(re.search(r"(\d+) s$", locator.inner_text()).group(1))


def test_the_lobby_offers_the_servers_limits_and_the_room_speaks_its_protocol(page, server):
    from tesko_server.protocol import MAX_LEVEL, PROTOCOL

    hellos = []

    def route(socket):
        server_side = socket.connect_to_server()

        def to_server(text):
            message = json.loads(text)
            if message.get("type") == "hello":
                hellos.append(message)
            server_side.send(text)

        socket.on_message(to_server)

    page.route_web_socket(re.compile(r"/ws/"), route)
    open_lobby(page, server, "Ana")
    form = page.get_by_role("region", name="Jogar com um amigo")
    times = form.get_by_label("Tempo por jogada").locator("option")
    expect(times).to_have_text(["Sem limite", *(f"{s} s" for s in MOVE_TIMES)])
    engine = page.get_by_role("region", name="Jogar contra o motor")
    level = engine.get_by_label(f"Nível (1 a {MAX_LEVEL})")
    expect(level).to_have_attribute("max", str(MAX_LEVEL))
    form.get_by_label("Tempo por jogada").select_option(label="45 s")
    form.get_by_role("button", name="Criar sala").click()
    room = room_link(page).rsplit("/", 1)[1]
    with urllib.request.urlopen(f"{server.url}/api/rooms/{room}") as answer:
        assert json.load(answer)["room"]["options"]["move_time"] == 45
    expect(page.get_by_text(re.compile(r"· 45 s por jogada$"))).to_be_visible()
    assert [hello["protocol"] for hello in hellos] == [PROTOCOL]


def test_the_side_to_moves_time_counts_down_and_turns_red_at_the_end(new_context, server):
    ana, bia, _ = friend_game(new_context, server, move_time="15 s", clock=True)
    expect(ana.get_by_text(re.compile(r"· 15 s por jogada$"))).to_be_visible()
    mine = ana.get_by_role("timer")
    theirs = bia.get_by_role("timer")
    expect(mine).to_have_text(re.compile(r"^O teu tempo: 1[45] s$"))
    expect(theirs).to_have_text(re.compile(r"^Tempo de Ana: \d+ s$"))
    # Bia's page counts on its own, in real time.
    before = seconds(theirs)
    expect(theirs).not_to_have_text(f"Tempo de Ana: {before} s", timeout=3_000)
    assert seconds(theirs) < before
    expect(mine).not_to_have_class(re.compile(r"\blow\b"))
    # Ana's page, moved on by hand to its last five seconds, shows red.
    ana.clock.fast_forward(10_500)
    expect(mine).to_have_text(re.compile(r"^O teu tempo: [1-5] s$"))
    expect(mine).to_have_class(re.compile(r"\blow\b"))
    color = mine.evaluate("node => getComputedStyle(node).color")
    assert color == "rgb(176, 0, 32)", color
    # A move in time hands Bia her full time.
    ana.get_by_role("gridcell", disabled=False).first.click()
    if ana.get_by_role("gridcell", selected=True).count():
        ana.get_by_role("gridcell", name=re.compile(", alvo")).first.click()
    expect(theirs).to_have_text(re.compile(r"^O teu tempo: 1[45] s$"))
    expect(mine).to_have_text(re.compile(r"^Tempo de Bia: \d+ s$"))
    expect(mine).not_to_have_class(re.compile(r"\blow\b"))


def test_the_claim_is_offered_to_the_player_left_alone_and_only_to_them(new_context, server):
    ana, bia, link = friend_game(new_context, server)
    cy = new_context().new_page()
    cy.goto(link)
    expect(cy.get_by_text("Estás a assistir.", exact=False).first).to_be_visible()
    claim_text = "O teu adversário saiu — reclamar a vitória"
    bia_context = bia.context
    bia.close()
    # Bia is gone, but not yet for the grace time: nothing to claim.
    expect(ana.get_by_text(re.compile(r"Bia · desligado"))).to_be_visible()
    expect(ana.get_by_text(claim_text)).to_be_hidden()
    # After it, Ana is offered the win; the spectator only sees why.
    expect(ana.get_by_text(claim_text, exact=True)).to_be_visible()
    expect(cy.get_by_text("Bia saiu; Ana pode reclamar a vitória.", exact=True)).to_be_visible()
    expect(cy.get_by_role("button", name="Reclamar a vitória")).to_have_count(0)
    expect(cy.get_by_text(claim_text)).to_have_count(0)
    # In English too.
    ana.get_by_role("button", name="EN").click()
    expect(ana.get_by_text("Your opponent left — claim the win", exact=True)).to_be_visible()
    ana.get_by_role("button", name="Claim the win").click()
    expect(ana.get_by_role("heading", name="You won!")).to_be_visible()
    expect(ana.get_by_text("Bia (B) left the game.", exact=True)).to_be_visible()
    expect(ana.get_by_role("button", name="Claim the win")).to_be_hidden()
    # Bia comes back to a game that has ended.
    back = bia_context.new_page()
    back.goto(link)
    expect(back.get_by_role("heading", name="Perdeste.")).to_be_visible()
    expect(back.get_by_text("Bia (B) abandonou o jogo.", exact=True)).to_be_visible()
    expect(back.get_by_role("button", name="Reclamar a vitória")).to_be_hidden()
