"""An engine worker with two operations of the tests' own, run in place of
the server's: `echo` (the payload back, after a pause) and `crash` (the
process dies at once)."""

from __future__ import annotations

import os
import time
from multiprocessing.connection import Connection
from typing import Any

from tesko_server import worker_process


class EchoEngine(worker_process.Engine):
    def handle(self, request: tuple) -> tuple[Any, bool, Any] | None:
        if request[1] == "echo":
            time.sleep(request[4])
            return request[0], True, request[3]
        if request[1] == "crash":
            os._exit(3)
        return super().handle(request)


def main(conn: Connection) -> None:
    worker_process.main(conn, EchoEngine)
