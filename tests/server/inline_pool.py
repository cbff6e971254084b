"""An engine pool whose engines run in the test's own process, for the hub's
in-process tests: the same `worker_process.Engine` answers the requests, on
the loop's next turn as if from a pipe, with its searches and reviews on its
own threads; no process is started for each test. The pipe, the worker
processes and their restarts are tested with the real pool."""

from __future__ import annotations

import os
from types import SimpleNamespace
from typing import Any

from tesko_server import worker_process
from tesko_server.worker_pool import EnginePool, WorkerDied, settle


class InlineWorker:
    def __init__(self, pool: EnginePool, index: int) -> None:
        self.pool = pool
        self.index = index
        self.alive = False
        self.process = SimpleNamespace(pid=os.getpid())
        self.pending: dict[int, Any] = {}
        self.engine: worker_process.Engine | None = None

    def start(self) -> None:
        self.engine = worker_process.Engine(self._from_thread)
        if self.engine.searches is not None:
            self.pool.loop.add_reader(self.engine.searches.wake, self._searched)
        self.alive = True

    def send(self, request: tuple, future: Any) -> None:
        if future is not None:
            self.pending[request[0]] = future
        self.pool.loop.call_soon(self._handle, request)

    def _handle(self, request: tuple) -> None:
        if self.alive:
            answer = self.engine.handle(request)
            if answer is not None:
                self._answer([answer])

    def _searched(self) -> None:
        self._answer(self.engine.finished())

    def _from_thread(self, out: list) -> None:  # a review's answer, from its thread
        if not self.pool.loop.is_closed():
            self.pool.loop.call_soon_threadsafe(self._answer, out)

    def _answer(self, out: list) -> None:
        settle(self.pending, out)

    def stop(self) -> None:
        if not self.alive:
            return
        self.alive = False
        searches = self.engine.searches
        if searches is not None:
            self.pool.loop.remove_reader(searches.wake)
            # A search still running would write to its wake-up pipe: it ends
            # (within its think time) before the pipe is closed.
            searches.pool.shutdown(wait=True, cancel_futures=True)
            os.close(searches.wake)
            os.close(searches._poke)
        pending, self.pending = self.pending, {}
        for future in pending.values():
            if not future.done():
                future.set_exception(WorkerDied("the server is stopping"))


class InlinePool(EnginePool):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.workers = [InlineWorker(self, i) for i in range(self.size)]  # type: ignore[misc]
