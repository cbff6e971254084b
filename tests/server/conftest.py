"""Fixtures that start real servers for the tests of this folder."""

from __future__ import annotations

import importlib.util
from pathlib import Path

import pytest

# The server's dependencies come with the `server` extra; without them these
# tests are not collected, and the run's header says why.
MISSING = [
    name
    for name in ("starlette", "uvicorn", "websockets", "prometheus_client", "msgspec")
    if importlib.util.find_spec(name) is None
]
if MISSING:
    collect_ignore_glob = ["test_*.py"]


def pytest_report_header(config):
    if MISSING:
        return f"tests/server not run: {', '.join(MISSING)} missing (pip install '.[server]')"
    return None


@pytest.fixture
def store_url(request) -> str | None:
    """The PostgreSQL store the servers of a test use, or None for SQLite; a
    test runs on both with `@pytest.mark.parametrize("store_url",
    server_helpers.STORES, indirect=True)`."""
    if getattr(request, "param", "sqlite") == "postgresql":
        return request.getfixturevalue("database")
    return None


@pytest.fixture
def server_factory(tmp_path: Path, store_url: str | None):
    from server_helpers import Server

    started: list[Server] = []

    def make(*args: str, port: int | None = None) -> Server:
        server = Server(tmp_path, *args, port=port, store=store_url)
        started.append(server)
        return server.start()

    yield make
    for server in started:
        server.end()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """A server shared by the module's tests that need no settings of their
    own (and no store to themselves)."""
    from server_helpers import Server

    server = Server(tmp_path_factory.mktemp("server"), "--max-rooms-per-address", "1000")
    yield server.start()
    server.end()
