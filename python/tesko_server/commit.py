"""Group commit: the changes made during one pass of the event loop are
written in one transaction, and only then are the callbacks that tell
people run, in order."""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Callable

from . import metrics
from .protocol import HubError
from .store import (
    Change,
    Store,
)

log = logging.getLogger("tesko_server")


class Committer:
    """Group commit: the changes of one pass of the event loop in one
    transaction, then the callbacks that tell people, in order."""

    def __init__(self, store: Store, on_failure: Callable[[BaseException], None]) -> None:
        self.store = store
        self.on_failure = on_failure
        self.changes: list[Change] = []
        self.after: list[Callable[[], None]] = []
        self.scheduled = False
        self.failed = False
        self.closed = False  # the server stopped and closed the store
        self.waiting: set[asyncio.Future[None]] = set()

    def waiter(self) -> asyncio.Future[None]:
        """A future for a request that waits on a commit; it fails with
        `store_failed` if the store refuses the write (or has refused one),
        `shutting_down` if the server has closed the store meanwhile."""
        future: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.waiting.add(future)
        future.add_done_callback(self.waiting.discard)
        if self.failed or self.closed:
            self._fail_waiting()
        return future

    def _fail_waiting(self) -> None:
        for future in list(self.waiting):
            if not future.done():
                if self.failed:
                    err = HubError("store_failed", "the store failed; the server stops")
                else:
                    err = HubError("shutting_down", "the server is stopping")
                future.set_exception(err)

    def add(self, changes: list[Change], after: Callable[[], None] | None = None) -> None:
        self.changes.extend(changes)
        if after is not None:
            self.after.append(after)
        if not self.scheduled:
            self.scheduled = True
            asyncio.get_running_loop().call_soon(self.flush)

    @property
    def idle(self) -> bool:
        return not self.changes and not self.after

    def flush(self) -> None:
        self.scheduled = False
        if self.failed or self.closed:
            self._fail_waiting()
            return
        changes, self.changes = self.changes, []
        after, self.after = self.after, []
        if changes:
            start = time.perf_counter()
            try:
                self.store.write(changes)
            except Exception as err:  # noqa: BLE001 - nothing is acknowledged past this
                self.failed = True
                log.critical("the store refused a write: %s; stopping", err)
                self._fail_waiting()
                self.on_failure(err)
                return
            metrics.commits.observe(time.perf_counter() - start)
        for callback in after:
            try:
                callback()
            except Exception:  # noqa: BLE001
                log.exception("error after a commit")
