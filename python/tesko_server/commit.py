"""Group commit: the changes made while one commit is in flight (or during
one pass of the event loop) are written together in the next transaction,
and only when it returns are the callbacks that tell people run, in order.

One commit is in flight at a time, so commits land in the order their
changes were made. A store that refuses a write stops the server: nothing
of that batch, nor anything after it, is acknowledged. A store shared by
several nodes may instead refuse a batch because another node has taken
some of its rooms (`Fenced`): those rooms' entries are dropped, the hub is
told, and the rest of the batch is committed again.
"""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Callable, Sequence

from . import metrics
from .protocol import HubError
from .rows import Change, Fenced, Store, room_of

log = logging.getLogger("tesko_server")

# What to do once an entry's changes are committed, and the lobby request
# (if any) waiting for it.
Entry = tuple[list[Change], Callable[[], None] | None, "asyncio.Future[None] | None"]


def _moved() -> HubError:
    return HubError("room_moved", "the room has moved to another server; try again")


class Committer:
    def __init__(
        self,
        store: Store,
        on_failure: Callable[[BaseException], None],
        on_fenced: Callable[[Sequence[str]], None] = lambda rooms: None,
    ) -> None:
        self.store = store
        self.on_failure = on_failure
        self.on_fenced = on_fenced
        self.entries: list[Entry] = []
        self.task: asyncio.Task[None] | None = None  # the commit in flight, if any
        self.failed = False
        self.closed = False  # the server stopped and closed the store
        self.waiting: set[asyncio.Future[None]] = set()

    def add(
        self,
        changes: list[Change],
        after: Callable[[], None] | None = None,
        waiter: asyncio.Future[None] | None = None,
    ) -> None:
        """Commit `changes` with the next batch, then call `after`. `waiter`,
        from `waiter()`, is failed if the entry is dropped uncommitted."""
        self.entries.append((changes, after, waiter))
        if self.task is None:
            self.task = asyncio.get_running_loop().create_task(self._run())

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

    @property
    def idle(self) -> bool:
        """Nothing waits to be committed and no commit is in flight."""
        return not self.entries and self.task is None

    async def settled(self) -> None:
        """Return once everything added so far is committed (or dropped)."""
        while self.task is not None:
            await asyncio.shield(self.task)

    async def _run(self) -> None:
        try:
            while self.entries:
                batch, self.entries = self.entries, []
                if self.failed or self.closed:
                    self._fail_waiting()
                    return
                await self._commit(batch)
                if self.entries:
                    # Let this pass of the loop add what it will to the batch.
                    await asyncio.sleep(0)
        finally:
            self.task = None

    async def _commit(self, batch: list[Entry]) -> None:
        changes = [change for entry in batch for change in entry[0]]
        if changes:
            start = time.perf_counter()
            try:
                await self.store.write(changes)
            except Fenced as fenced:
                await self._without(batch, fenced)
                return
            except Exception as err:  # noqa: BLE001 - nothing is acknowledged past this
                self.failed = True
                self.entries = []
                log.critical("the store refused a write: %s; stopping", err)
                self._fail_waiting()
                self.on_failure(err)
                return
            metrics.commits.observe(time.perf_counter() - start)
        for _, after, _ in batch:
            if after is None:
                continue
            try:
                after()
            except Exception:  # noqa: BLE001
                log.exception("error after a commit")

    async def _without(self, batch: list[Entry], fenced: Fenced) -> None:
        """Drop the entries that touch the rooms another node has taken, tell
        the hub, and commit the others again."""
        lost = set(fenced.rooms)
        kept: list[Entry] = []
        dropped = False
        for entry in batch:
            if any(room_of(change) in lost for change in entry[0]):
                dropped = True
                if entry[2] is not None and not entry[2].done():
                    entry[2].set_exception(_moved())
            else:
                kept.append(entry)
        if not dropped:  # a store that names rooms this batch does not touch
            self.failed = True
            log.critical("the store fenced rooms the write did not touch: %s", fenced)
            self._fail_waiting()
            self.on_failure(fenced)
            return
        log.warning("%s; dropped here", fenced)
        self.on_fenced(fenced.rooms)
        await self._commit(kept)

    def _fail_waiting(self) -> None:
        for future in list(self.waiting):
            if not future.done():
                if self.failed:
                    err = HubError("store_failed", "the store failed; the server stops")
                else:
                    err = HubError("shutting_down", "the server is stopping")
                future.set_exception(err)
