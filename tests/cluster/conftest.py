"""A throwaway PostgreSQL for the tests of this folder, one per session.

It runs from a temp folder on 127.0.0.1 on a free port. `initdb` and
`pg_ctl` refuse to run as root, so as root they run as the `postgres` user,
in a folder that user owns. Without PostgreSQL the tests that need it skip
(`bash scripts/cluster-setup.sh` installs it).
"""

from __future__ import annotations

import contextlib
import glob
import itertools
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from dataclasses import dataclass

import pytest


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def postgres_bin() -> str | None:
    """The folder of PostgreSQL's server programs, the newest version first."""
    found = shutil.which("initdb")
    if found:
        return os.path.dirname(os.path.realpath(found))
    versions = sorted(
        glob.glob("/usr/lib/postgresql/*/bin/initdb"),
        key=lambda path: int(path.split("/")[4]) if path.split("/")[4].isdigit() else 0,
    )
    return os.path.dirname(versions[-1]) if versions else None


@dataclass
class Postgres:
    host: str
    port: int

    def dsn(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@{self.host}:{self.port}/{database}"


@pytest.fixture(scope="session")
def postgres():
    bindir = postgres_bin()
    if bindir is None:
        pytest.skip("PostgreSQL is not installed (bash scripts/cluster-setup.sh installs it)")
    prefix: list[str] = []
    if os.geteuid() == 0:
        try:
            user = pwd.getpwnam("postgres")
        except KeyError:
            pytest.skip("running as root and there is no postgres user to run PostgreSQL as")
        prefix = ["runuser", "-u", "postgres", "--"]
    folder = tempfile.mkdtemp(prefix="tesko-pg-")
    if prefix:
        os.chown(folder, user.pw_uid, user.pw_gid)
    data, logfile = os.path.join(folder, "data"), os.path.join(folder, "log")
    port = free_port()

    def run(*args: str) -> None:
        subprocess.run([*prefix, *args], check=True, capture_output=True, timeout=60)

    started = False
    try:
        run(f"{bindir}/initdb", "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
            "--locale=C.UTF-8", "--no-sync")  # fmt: skip
        # A throwaway database: nothing is flushed to disk, so the tests
        # measure nothing of it; commits still behave as they would.
        options = f"-p {port} -k {folder} -c listen_addresses=127.0.0.1 -c fsync=off"
        run(f"{bindir}/pg_ctl", "-D", data, "-l", logfile, "-w", "-o", options, "start")
        started = True
        yield Postgres("127.0.0.1", port)
    except subprocess.CalledProcessError as err:
        detail = (err.stderr or b"").decode(errors="replace").strip()
        with contextlib.suppress(OSError):
            detail += "\n" + open(logfile).read()
        pytest.fail(f"PostgreSQL did not start: {detail}")
    finally:
        if started:
            run(f"{bindir}/pg_ctl", "-D", data, "-m", "immediate", "-w", "stop")
        shutil.rmtree(folder, ignore_errors=True)


_databases = itertools.count(1)


@pytest.fixture
def database(postgres):
    """A new empty database of the session's PostgreSQL, for one test: its DSN."""
    import asyncio

    asyncpg = pytest.importorskip("asyncpg", reason="asyncpg missing (pip install '.[server]')")
    name = f"test{next(_databases)}"

    async def admin(statement: str) -> None:
        conn = await asyncpg.connect(postgres.dsn())
        try:
            await conn.execute(statement)
        finally:
            await conn.close()

    asyncio.run(admin(f'DROP DATABASE IF EXISTS "{name}"'))
    asyncio.run(admin(f'CREATE DATABASE "{name}"'))
    yield postgres.dsn(name)
    asyncio.run(admin(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)'))
