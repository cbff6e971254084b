"""Takes the pictures of the page in docs/: the lobby and a game, in the
light and the dark scheme, at a desktop width and on a 360-pixel phone.

    python3 scripts/screenshots.py [FOLDER]

FOLDER defaults to docs. Needs the package with its `server` and `browser`
extras, and Debian's chromium (Playwright drives it by its path; no browser
is downloaded). A `tesko-server` is started on a free loopback port with a
store in a temporary folder, and stopped at the end.

The pictures: lobby.png, game.png (light, desktop), lobby-dark.png,
game-dark.png, review.png and review-dark.png (a finished game's review,
at a move the engine marks), and the same six with -phone for 360 px.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

try:
    from playwright.sync_api import expect, sync_playwright
except ImportError:
    sys.exit("screenshots.py: Playwright is missing (pip install '.[server,browser]')")

ROOT = Path(__file__).resolve().parents[1]
DESKTOP = {"width": 1100, "height": 820}
PHONE = {"width": 360, "height": 740}


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def start_server(folder: Path) -> tuple[subprocess.Popen, str]:
    port = free_port()
    command = [sys.executable, "-m", "tesko_server", "--host", "127.0.0.1", "--port", str(port)]
    command += ["--db", str(folder / "rooms.db"), "--workers", "1", "--log-level", "warning"]
    process = subprocess.Popen(command, cwd=folder)
    url = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 30
    while True:
        try:
            with urllib.request.urlopen(url + "/healthz", timeout=2):
                return process, url
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                process.kill()
                sys.exit("screenshots.py: tesko-server did not start")
            time.sleep(0.1)


def chromium() -> str:
    for name in (os.environ.get("TESKO_CHROMIUM"), "chromium", "chromium-browser"):
        path = name and shutil.which(name)
        if path:
            return path
    sys.exit("screenshots.py: no chromium (apt-get install -y chromium)")


def your_turn(page):
    return page.get_by_text("É a tua vez.", exact=True)


def play_some_moves(page, count: int) -> None:
    """Plays `count` moves by clicks against the engine, then picks a
    Figure when one can move, so that its targets show."""
    for _ in range(count):
        expect(your_turn(page)).to_be_visible(timeout=30_000)
        played = page.locator("#moves li").count()
        live = page.get_by_role("gridcell", disabled=False)
        normal = live.and_(page.get_by_role("gridcell", name=re.compile("Normal")))
        (normal if normal.count() else live).first.click()
        if page.get_by_role("gridcell", selected=True).count():
            page.get_by_role("gridcell", name=re.compile(", alvo")).first.click()
        expect(page.locator("#moves li")).not_to_have_count(played)
    expect(your_turn(page)).to_be_visible(timeout=30_000)
    figure = page.get_by_role("gridcell", disabled=False).and_(
        page.get_by_role("gridcell", name=re.compile("a tua Figura"))
    )
    if figure.count():
        figure.first.click()


def finished_review(browser, url: str, size: dict):
    """Bia's game against the engine (A, level 2) to its end, 12 moves
    long, and its review shown at the latest move the engine marks."""
    body = {
        "seats": {"A": {"kind": "engine", "level": 2, "think_time": 0.3}},
        "ply_limit": 12,
        "public": False,
    }
    request = urllib.request.Request(
        url + "/api/rooms", json.dumps(body).encode(), {"Content-Type": "application/json"}
    )
    with urllib.request.urlopen(request, timeout=10) as answer:
        room = json.load(answer)["room"]["id"]
    page = browser.new_context(viewport=size).new_page()
    page.goto(f"{url}/r/{room}")
    page.get_by_label("O teu nome").fill("Bia")
    page.get_by_role("button", name="Entrar como B").click()
    review = page.get_by_role("region", name="A análise do motor")
    for _ in range(12):
        expect(your_turn(page).or_(review)).to_be_visible(timeout=30_000)
        if review.is_visible():
            break
        played = page.locator("#moves li").count()
        page.get_by_role("gridcell", disabled=False).first.click()
        if page.get_by_role("gridcell", selected=True).count():
            page.get_by_role("gridcell", name=re.compile(", alvo")).first.click()
        expect(page.locator("#moves li")).not_to_have_count(played)
    expect(review.get_by_text(re.compile("^Posição final"))).to_be_visible(timeout=30_000)
    with urllib.request.urlopen(f"{url}/api/rooms/{room}", timeout=10) as answer:
        moves = json.load(answer)["review"]["moves"]
    marked = [i for i, m in enumerate(moves) if m["verdict"] != "good"] or [len(moves) - 1]
    review.get_by_role("button", name="Anterior").focus()
    for _ in range(len(moves) - marked[-1]):
        page.keyboard.press("ArrowLeft")
    review.get_by_role("button", name="Anterior").blur()
    return page


def shoot(page, folder: Path, name: str) -> None:
    for scheme, suffix in (("light", ""), ("dark", "-dark")):
        page.emulate_media(color_scheme=scheme)
        page.mouse.move(0, 0)
        target = folder / f"{name}{suffix}.png"
        target.write_bytes(page.screenshot(full_page=True, animations="disabled"))
        print(f"wrote {target.relative_to(ROOT) if target.is_relative_to(ROOT) else target}")


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs"
    folder.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as temp:
        process, url = start_server(Path(temp))
        try:
            with sync_playwright() as playwright:
                browser = playwright.chromium.launch(executable_path=chromium())
                # Bia waits for a friend in a public room; Ana plays the
                # engine, and her game is listed among those in progress.
                bia = browser.new_context(viewport=DESKTOP).new_page()
                bia.goto(url + "/")
                bia.get_by_label("O teu nome").fill("Bia")
                bia.get_by_label("Mostrar a sala no átrio").check()
                bia.get_by_role("button", name="Criar sala").click()
                expect(bia.get_by_role("region", name="Convida um amigo")).to_be_visible()

                for size, suffix in ((DESKTOP, ""), (PHONE, "-phone")):
                    ana = browser.new_context(viewport=size).new_page()
                    ana.goto(url + "/")
                    ana.get_by_label("O teu nome").fill("Ana 👩\u200d💻")
                    ana.get_by_role("button", name="Jogar", exact=True).click()
                    expect(ana.get_by_role("grid", name="Tabuleiro")).to_be_visible()
                    play_some_moves(ana, 3)

                    lobby = browser.new_context(viewport=size).new_page()
                    lobby.goto(url + "/")
                    lobby.get_by_label("O teu nome").fill("Eva")
                    lobby.get_by_label("O teu nome").blur()
                    expect(lobby.locator("#playing li")).not_to_have_count(0)
                    expect(lobby.locator("#waiting li")).not_to_have_count(0)
                    shoot(lobby, folder, "lobby" + suffix)
                    shoot(ana, folder, "game" + suffix)
                    lobby.context.close()
                    ana.context.close()

                    reviewed = finished_review(browser, url, size)
                    shoot(reviewed, folder, "review" + suffix)
                    reviewed.context.close()
                browser.close()
        finally:
            process.terminate()
            process.wait(10)


if __name__ == "__main__":
    main()
