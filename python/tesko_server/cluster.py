"""`tesko-server cluster up --nodes N`: several nodes on one machine, to try them.

On 127.0.0.1 it starts a throwaway PostgreSQL cluster in a temp folder, N
`tesko-server` nodes on it and HAProxy in front of them (from the template
deploy/haproxy.cfg), prints the address to open, and on Ctrl-C or SIGTERM
stops them all and removes its folders. `Postgres` and `Cluster` are the
same pieces the cluster tests and the load benchmark start.

Every part runs in a session of its own, so that Ctrl-C in the terminal
reaches this process only, and the parts stop in order: the router first,
then the nodes (each drains its rooms into the store), then PostgreSQL.
"""

from __future__ import annotations

import argparse
import collections
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from collections.abc import Callable, Sequence
from pathlib import Path

from .pgserver import HOST, INSTALL, Missing, Postgres, StartFailed, free_port, postgres_bin

__all__ = ["Cluster", "Missing", "Postgres", "StartFailed", "free_port", "main", "postgres_bin"]

DATABASE = "tesko"


def haproxy_bin() -> str | None:
    path = os.environ.get("PATH", "") + ":/usr/sbin:/usr/local/sbin"
    return shutil.which("haproxy", path=path)


def haproxy_template() -> Path:
    """deploy/haproxy.cfg: installed beside this module, or in the checkout."""
    here = Path(__file__).resolve().parent
    for path in (here / "haproxy.cfg", here.parents[1] / "deploy" / "haproxy.cfg"):
        if path.is_file():
            return path
    raise Missing("deploy/haproxy.cfg is not installed with the server; reinstall tesko")


Say = Callable[[str, str], None]


class Part:
    """A program of the cluster in a session of its own; its output lines go
    to `say(name, line)`, and the last few are kept for an error message."""

    def __init__(self, name: str, command: list[str], say: Say | None) -> None:
        self.name = name
        self.command = command
        self.say = say
        self.process: subprocess.Popen[bytes] | None = None
        self.last: collections.deque[str] = collections.deque(maxlen=5)

    def start(self) -> None:
        self.last.clear()
        self.process = subprocess.Popen(
            self.command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )
        threading.Thread(target=self._read, args=(self.process,), daemon=True).start()

    def _read(self, process: subprocess.Popen[bytes]) -> None:
        assert process.stdout is not None
        for raw in process.stdout:
            line = raw.decode(errors="replace").rstrip()
            self.last.append(line)
            if self.say is not None:
                self.say(self.name, line)

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def ended(self) -> str:
        """How the process ended, with its last words unless they were said."""
        assert self.process is not None
        code = self.process.wait()
        how = f"killed by {signal.Signals(-code).name}" if code < 0 else f"status {code}"
        words = next((line for line in reversed(self.last) if line.strip()), "")
        return f"{self.name} ended ({how})" + (f": {words}" if words and not self.say else "")

    def kill(self) -> None:
        if self.running:
            assert self.process is not None
            self.process.kill()
        if self.process is not None:
            self.process.wait()

    def stop(self, timeout: float = 30) -> None:
        if self.running:
            assert self.process is not None
            self.process.terminate()
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
        if self.process is not None:
            self.process.wait()


class Node(Part):
    def __init__(self, name: str, dsn: str, args: Sequence[str], say: Say | None) -> None:
        self.port = free_port()
        self.base = f"http://{HOST}:{self.port}"
        super().__init__(
            name,
            [sys.executable, "-m", "tesko_server", "--store", dsn, "--node-id", name,
             "--host", HOST, "--port", str(self.port), "--forwarded-allow-ips", HOST,
             "--router-room-ids", *args],
            say,
        )  # fmt: skip

    def healthy(self) -> bool:
        return answers(self.base + "/healthz")


def answers(url: str) -> bool:
    try:
        with urllib.request.urlopen(url, timeout=1) as answer:
            return answer.status == 200
    except OSError:
        return False


class Cluster:
    """PostgreSQL, `nodes` tesko-server nodes and HAProxy in front, on
    127.0.0.1; `base` is the router's address. `node_args` go to every node.
    A context manager: the exit stops every part and removes the folders."""

    def __init__(
        self,
        nodes: int,
        *,
        port: int = 0,
        node_args: Sequence[str] = (),
        fsync: bool = True,
        say: Say | None = None,
    ) -> None:
        if nodes < 1:
            raise ValueError("a cluster needs a node")
        haproxy = haproxy_bin()
        if haproxy is None:
            raise Missing(f"HAProxy is not installed (as root: {INSTALL})")
        self.template = haproxy_template()
        self.postgres = Postgres(fsync=fsync)
        self.count = nodes
        self.port = port or free_port()
        self.base = f"http://{HOST}:{self.port}"
        self.node_args = list(node_args)
        self.say = say
        self.nodes: dict[str, Node] = {}
        self.folder: str | None = None
        self.router = Part("haproxy", [haproxy, "-db", "-f", ""], say)
        self.dsn = ""

    def start(self, timeout: float = 60) -> Cluster:
        try:
            self.postgres.start()
            self.dsn = self.postgres.create_database(DATABASE)
            for i in range(1, self.count + 1):
                # The page comes through the router: its lobby calls and
                # sockets carry the router's address as their Origin.
                args = [
                    "--allow-origin", self.base,
                    "--allow-origin", f"http://localhost:{self.port}",
                    *self.node_args,
                ]  # fmt: skip
                node = Node(f"n{i}", self.dsn, args, self.say)
                self.nodes[node.name] = node
                node.start()
            self.wait(list(self.nodes.values()), timeout)
            self.folder = tempfile.mkdtemp(prefix="tesko-haproxy-")
            config = Path(self.folder, "haproxy.cfg")
            servers = "".join(f"    server {n.name} {HOST}:{n.port}\n" for n in self.nodes.values())
            text = self.template.read_text().replace("@BIND@", f"{HOST}:{self.port}")
            config.write_text(text.replace("@SERVERS@\n", servers))
            self.router.command[-1] = str(config)
            self.router.start()
            self.wait([self.router], timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def wait(self, parts: Sequence[Part], timeout: float) -> None:
        """Until each part answers /healthz (the router's from a node)."""
        deadline = time.monotonic() + timeout
        waiting = list(parts)
        while waiting:
            for part in list(waiting):
                if not part.running:
                    raise StartFailed(part.ended())
                base = part.base if isinstance(part, Node) else self.base
                if answers(base + "/healthz"):
                    waiting.remove(part)
            if waiting and time.monotonic() > deadline:
                names = ", ".join(p.name for p in waiting)
                raise StartFailed(f"{names} did not answer within {timeout:g} s")
            time.sleep(0.05)

    def kill(self, name: str) -> None:
        """SIGKILL one node (its port stays its own for a restart)."""
        self.nodes[name].kill()

    def restart(self, name: str, timeout: float = 60) -> None:
        node = self.nodes[name]
        node.start()
        self.wait([node], timeout)

    def ended(self) -> list[str]:
        """The parts that have ended on their own, as lines."""
        parts: list[Part] = [self.router, *self.nodes.values()]
        out = [p.ended() for p in parts if p.process is not None and not p.running]
        if self.postgres.started and self.postgres.postmaster() is None:
            out.append("PostgreSQL ended")
        return out

    def stop_nodes(self) -> None:
        """Stop the router and the nodes, leaving PostgreSQL to be read."""
        self.router.stop(10)
        nodes = list(self.nodes.values())
        for node in nodes:  # all drain at once
            if node.running:
                assert node.process is not None
                node.process.terminate()
        for node in nodes:
            node.stop()

    def stop(self) -> None:
        self.stop_nodes()
        self.postgres.stop()
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def __enter__(self) -> Cluster:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def parser() -> argparse.ArgumentParser:
    from .options import log_level, port_number, positive_int

    p = argparse.ArgumentParser(
        prog="tesko-server cluster",
        description="Several tesko-server nodes on this machine, to try them.",
    )
    commands = p.add_subparsers(dest="command", required=True, metavar="up")
    up = commands.add_parser(
        "up",
        help="start PostgreSQL, the nodes and HAProxy on 127.0.0.1 until Ctrl-C",
        description="Start, on 127.0.0.1, a throwaway PostgreSQL cluster, N tesko-server "
        "nodes on it and HAProxy in front of them (deploy/haproxy.cfg), and print the "
        "address to open. Ctrl-C (or SIGTERM) stops them all and removes their folders. "
        f"Needs PostgreSQL and HAProxy ({INSTALL}).",
    )
    up.add_argument("--nodes", type=positive_int, default=3, help="nodes (%(default)s)")
    up.add_argument(
        "--port", type=port_number, default=8000, help="the router's port (%(default)s)"
    )
    up.add_argument(
        "--workers", type=positive_int, default=1, help="engine processes per node (%(default)s)"
    )
    up.add_argument(
        "--log-level",
        type=log_level,
        default="warning",
        help="the nodes' log level (%(default)s; info shows every room event)",
    )
    return p


class _Stop(Exception):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def main(argv: Sequence[str] | None = None) -> int:
    from .cli import end_by, listen

    args = parser().parse_args(argv)

    def say(name: str, line: str) -> None:
        print(f"{name:>7} | {line}", flush=True)

    def out(line: str) -> None:
        print(f"tesko-server cluster: {line}", flush=True)

    try:
        for sock in listen(HOST, args.port):
            sock.close()
    except OSError as err:
        out(f"cannot listen on {HOST} port {args.port}: {err.strerror or err}")
        return 1
    try:
        cluster = Cluster(
            args.nodes,
            port=args.port,
            node_args=["--workers", str(args.workers), "--log-level", args.log_level],
            say=say,
        )
    except Missing as err:
        out(str(err))
        return 1
    # The first Ctrl-C, SIGTERM or SIGHUP stops the cluster; more wait for that.
    stopping: list[int] = []

    def on_signal(signum: int, frame: object) -> None:
        if not stopping:
            stopping.append(signum)
            raise _Stop(signum)

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    status = 0
    try:
        out("starting PostgreSQL, " + f"{args.nodes} node{'s' if args.nodes > 1 else ''}"
            " and HAProxy")  # fmt: skip
        cluster.start()
        pg = cluster.postgres
        nodes = ", ".join(f"{n.name} {HOST}:{n.port}" for n in cluster.nodes.values())
        out(f"PostgreSQL {HOST}:{pg.port} (database {DATABASE}); nodes {nodes}; "
            f"HAProxy {HOST}:{cluster.port}")  # fmt: skip
        out(f"open {cluster.base}/ (Ctrl-C stops them all)")
        told: set[str] = set()
        while True:
            time.sleep(0.5)
            ended = cluster.ended()
            for line in ended:
                if line not in told:
                    told.add(line)
                    node = line.split()[0] in cluster.nodes
                    out(line + ("; its rooms go to the other nodes" if node else ""))
            if not cluster.router.running or "PostgreSQL ended" in ended:
                status = 1
                break
            if not any(n.running for n in cluster.nodes.values()):
                out("no node is left")
                status = 1
                break
    except _Stop:
        pass
    except (StartFailed, Missing) as err:
        out(str(err))
        status = 1
    finally:
        if not stopping:
            stopping.append(0)
        out("stopping")
        cluster.stop()
        out("stopped")
    if stopping[0]:
        end_by(signal.Signals(stopping[0]))
    return status
