"""A throwaway PostgreSQL server on 127.0.0.1, in a temp folder of its own.

`tesko-server cluster up`, the cluster tests and the load benchmark start
their PostgreSQL with `Postgres`.
"""

from __future__ import annotations

import contextlib
import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
from pathlib import Path

HOST = "127.0.0.1"
INSTALL = "apt-get install -y postgresql haproxy"


class Missing(Exception):
    """A program the cluster needs is not there; the message says how to get it."""


class StartFailed(Exception):
    """A part of the cluster did not start; the message says which and why."""


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind((HOST, 0))
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


def _cpu(pid: int, children: bool = False) -> float:
    """CPU seconds of a process from /proc (with those of the children it
    has waited for)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks / os.sysconf("SC_CLK_TCK")


class Postgres:
    """A throwaway PostgreSQL cluster: `initdb` in a temp folder, the server
    on 127.0.0.1 on a free port; `stop` ends it and removes the folder.

    `initdb` and `pg_ctl` refuse to run as root: as root they run as the
    `postgres` user (through runuser), in a folder that user owns.
    """

    def __init__(self, *, fsync: bool = True) -> None:
        bindir = postgres_bin()
        if bindir is None:
            raise Missing(f"PostgreSQL is not installed (as root: {INSTALL})")
        self.bindir = bindir
        self.prefix: list[str] = []
        self.owner: pwd.struct_passwd | None = None
        if os.geteuid() == 0:
            try:
                self.owner = pwd.getpwnam("postgres")
            except KeyError:
                raise Missing(
                    "running as root and there is no postgres user to run PostgreSQL as "
                    f"({INSTALL} makes it)"
                ) from None
            self.prefix = ["runuser", "-u", "postgres", "--"]
        self.fsync = fsync
        self.host = HOST
        self.port = 0
        self.folder: str | None = None
        self.started = False

    @property
    def data(self) -> str:
        assert self.folder is not None
        return os.path.join(self.folder, "data")

    def dsn(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@{self.host}:{self.port}/{database}"

    def _run(self, *args: str) -> None:
        try:
            subprocess.run(
                [*self.prefix, *args],
                check=True,
                capture_output=True,
                timeout=60,
                preexec_fn=os.setsid,
            )
        except subprocess.CalledProcessError as err:
            detail = (err.stderr or b"").decode(errors="replace").strip().splitlines()
            with contextlib.suppress(OSError, TypeError):
                detail += Path(self.folder, "log").read_text().strip().splitlines()[-3:]
            raise StartFailed(
                f"PostgreSQL: {os.path.basename(args[0])} failed: " + " / ".join(detail[-4:])
            ) from None

    def start(self) -> Postgres:
        self.folder = tempfile.mkdtemp(prefix="tesko-pg-")
        try:
            if self.owner is not None:
                os.chown(self.folder, self.owner.pw_uid, self.owner.pw_gid)
            self._run(f"{self.bindir}/initdb", "-D", self.data, "-A", "trust", "-U", "postgres",
                      "-E", "UTF8", "--locale=C.UTF-8", "--no-sync")  # fmt: skip
            self.port = free_port()
            # A throwaway cluster: without fsync nothing is flushed to disk,
            # for the tests; commits still behave as they would.
            options = f"-p {self.port} -k {self.folder} -c listen_addresses={HOST}"
            if not self.fsync:
                options += " -c fsync=off"
            log = os.path.join(self.folder, "log")
            self.started = True
            self._run(f"{self.bindir}/pg_ctl", "-D", self.data, "-l", log, "-w", "-o", options,
                      "start")  # fmt: skip
        except BaseException:
            self.stop()
            raise
        return self

    def create_database(self, name: str) -> str:
        """A new empty database: its DSN."""
        self._run(f"{self.bindir}/createdb", "-h", self.host, "-p", str(self.port),
                  "-U", "postgres", name)  # fmt: skip
        return self.dsn(name)

    def postmaster(self) -> int | None:
        try:
            return int(Path(self.data, "postmaster.pid").read_text().split()[0])
        except (OSError, ValueError, IndexError, AssertionError):
            return None

    def cpu_seconds(self) -> float:
        """CPU seconds PostgreSQL's processes have used so far: the server's,
        its live children's and those of the children that ended."""
        pid = self.postmaster()
        if pid is None:
            return float("nan")
        total = _cpu(pid, children=True)
        for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split():
            with contextlib.suppress(OSError, ValueError, IndexError):
                total += _cpu(int(child))
        return total

    def stop(self, mode: str = "fast") -> None:
        if self.folder is None:
            return
        if self.started:
            pid = self.postmaster()
            try:
                self._run(f"{self.bindir}/pg_ctl", "-D", self.data, "-m", mode, "-w", "stop")
            except (StartFailed, subprocess.TimeoutExpired):
                if pid is not None:
                    with contextlib.suppress(OSError):
                        os.kill(pid, signal.SIGKILL)
            self.started = False
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder = None

    def __enter__(self) -> Postgres:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
