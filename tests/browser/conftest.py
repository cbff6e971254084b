"""Browser tests: Playwright drives Debian's Chromium (by its executable
path; no browser is ever downloaded) against a real `tesko-server` on
127.0.0.1 with a fresh store.

Without the `chromium` package the whole directory is skipped with one
line; `scripts/browser-setup.sh` installs the package when run as root.
"""

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SERVER_START_SECONDS = 30


def find_chromium():
    """The Chromium executable: $TESKO_CHROMIUM, or the chromium package's."""
    for name in (os.environ.get("TESKO_CHROMIUM"), "chromium", "chromium-browser"):
        path = name and shutil.which(name)
        if path:
            return path
    return None


CHROMIUM = find_chromium()
MISSING_CHROMIUM = "browser tests need Debian's chromium package (apt-get install -y chromium)"

try:
    from playwright.sync_api import expect, sync_playwright
except ImportError:  # without the "browser" extra the test files cannot even be imported
    collect_ignore_glob = ["test_*.py"]

    def pytest_terminal_summary(terminalreporter):
        terminalreporter.write_line(
            "browser tests not run: Playwright is missing (pip install '.[browser]')"
        )
else:
    expect.set_options(timeout=10_000)


# The sanitizer stage preloads its runtime into every process it starts;
# it must not reach the browser, which is not ours.
PRELOADED = "libasan" in os.environ.get("LD_PRELOAD", "")


def pytest_runtest_setup(item):
    # Raised from this hook (not from a fixture or a mark), the skip is
    # reported at this line for every test: one line for the folder.
    if CHROMIUM is None:
        pytest.skip(MISSING_CHROMIUM)
    if PRELOADED:
        pytest.skip("browser tests do not run with a preloaded sanitizer runtime")


@pytest.fixture(scope="session")
def chromium_path():
    return CHROMIUM


# Package scope: Playwright's synchronous API keeps an event loop running in
# this thread while it is open, and the suites after this folder run their
# own loops with asyncio.run().
@pytest.fixture(scope="package")
def browser(chromium_path):
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=chromium_path)
        yield browser
        browser.close()


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def server_command():
    script = Path(sys.executable).with_name("tesko-server")
    if script.exists():
        return [str(script)]
    found = shutil.which("tesko-server")
    return [found] if found else [sys.executable, "-m", "tesko_server"]


class Server:
    """A `tesko-server` subprocess on a loopback port with its store in a
    folder."""

    def __init__(self, folder, *args):
        self.folder = folder
        self.args = list(args)  # more options for tesko-server
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log = folder / "server.log"
        self.restarts = 0
        self.process = None

    def page_url(self, path="/"):
        return self.url + path

    def start(self):
        env = dict(os.environ)
        env.pop("LD_PRELOAD", None)  # a sanitizer runtime must not reach the server or browser
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                server_command()
                + ["--host", "127.0.0.1", "--port", str(self.port)]
                + ["--db", str(self.folder / "rooms.db"), "--workers", "1"]
                + self.args,
                stdout=log,
                stderr=subprocess.STDOUT,
                env=env,
                cwd=self.folder,
            )
        deadline = time.monotonic() + SERVER_START_SECONDS
        while True:
            if self.process.poll() is not None:
                pytest.fail(
                    f"tesko-server exited with {self.process.returncode}:\n{self.log.read_text()}"
                )
            try:
                with urllib.request.urlopen(self.url + "/healthz", timeout=2) as answer:
                    if answer.status == 200:
                        return
            except (urllib.error.URLError, ConnectionError, TimeoutError):
                pass
            if time.monotonic() > deadline:
                self.stop()
                pytest.fail(f"tesko-server did not answer /healthz:\n{self.log.read_text()}")
            time.sleep(0.05)

    def stop(self):
        """SIGTERM, and SIGKILL if it has not ended after 10 s."""
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    @contextlib.contextmanager
    def down(self):
        """Stops the server for the time of the block, then starts it again
        on the same port and store, as after a deployment."""
        self.restarts += 1
        self.stop()
        try:
            yield
        finally:
            self.start()


@pytest.fixture
def server(tmp_path):
    server = Server(tmp_path)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def new_context(browser, server):
    """Opens browser contexts (separate storage: separate people); all
    closed at the end, before the server stops. Keyword arguments go to
    `browser.new_context`. `new_context.allow(start)` lets console errors
    that start with `start` pass (a test that makes the server answer with
    errors on purpose)."""
    contexts, errors, allowed = [], [], []

    def console(page, message):
        # While a restarted server is away, the browser logs the refused
        # reconnections; those are expected.
        if message.type != "error":
            return
        if server.restarts and message.text.startswith("WebSocket connection to"):
            return
        if message.text.startswith(tuple(allowed)):
            return
        errors.append(f"{page.url}: {message.text}")

    def watch(page):
        # A script error or a resource the page could not load (a refused
        # Content-Security-Policy, a 404) fails the test.
        page.on("pageerror", lambda error: errors.append(f"{page.url}: {error}"))
        page.on("console", lambda message: console(page, message))

    def make(**options):
        options.setdefault("viewport", {"width": 1100, "height": 900})
        context = browser.new_context(**options)
        context.set_default_timeout(10_000)
        context.on("page", watch)
        contexts.append(context)
        return context

    make.allow = allowed.append
    yield make
    for context in contexts:
        context.close()
    assert errors == [], "the pages reported errors:\n" + "\n".join(errors)


@pytest.fixture
def context(new_context):
    return new_context()


@pytest.fixture
def page(context):
    return context.new_page()
