"""A throwaway PostgreSQL for the tests, one per session, and an empty
database of it per test (the root conftest makes these fixtures every
folder's).

It is tesko_server.cluster's `Postgres` (the one `tesko-server cluster up`
starts), in a temp folder on 127.0.0.1 on a free port, without fsync.
Without PostgreSQL the tests that need it skip (`bash
scripts/cluster-setup.sh` installs it).
"""

from __future__ import annotations

import itertools

import pytest
from tesko_server.cluster import Missing, Postgres, StartFailed


@pytest.fixture(scope="session")
def postgres():
    try:
        server = Postgres(fsync=False)
    except Missing as err:
        pytest.skip(f"{err} (bash scripts/cluster-setup.sh installs it)")
    try:
        server.start()
    except StartFailed as err:
        pytest.fail(str(err))
    try:
        yield server
    finally:
        server.stop(mode="immediate")


_databases = itertools.count(1)


def empty_database(postgres: Postgres):
    """A new empty database of the session's PostgreSQL (its DSN), dropped
    at the end."""
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


@pytest.fixture
def database(postgres):
    """A new empty database for one test: its DSN."""
    yield from empty_database(postgres)


@pytest.fixture(scope="module")
def module_database(postgres):
    """A new empty database for the tests of one module: its DSN."""
    yield from empty_database(postgres)
