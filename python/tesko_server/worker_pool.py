"""The event loop's side of the engine workers.

Each worker process is reached through one pipe, which the event loop
itself reads (`loop.add_reader`): no helper threads compete with the loop
for the interpreter lock. Requests made during one pass of the loop go down
the pipe together; answers come back keyed by request id.

The loop's end of each pipe is non-blocking (uvloop makes every descriptor
it watches so), so the loop frames and buffers the pipe's messages itself,
in the format of `multiprocessing.connection` that the worker reads and
writes: a part of a message, or a pipe that is full while the worker is
busy, only means "later", never "the worker is gone". A room is pinned
to a worker for its life by `zlib.crc32` of its id, which any other process
(a router in front of several servers, say) can compute the same way.
"""

from __future__ import annotations

import asyncio
import itertools
import logging
import multiprocessing
import os
import pickle
import struct
import zlib
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any

from . import worker_process

log = logging.getLogger("tesko_server")


# A worker whose restart failed is tried again after these pauses (doubling).
RETRY_FIRST = 0.5
RETRY_LIMIT = 30.0


class WorkerDied(Exception):
    """The worker holding the request's room ended before answering."""


class EngineRefused(Exception):
    def __init__(self, code: str, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


def worker_of(room_id: str, workers: int) -> int:
    return zlib.crc32(room_id.encode()) % workers


def frame_header(size: int) -> bytes:
    """The length prefix of `multiprocessing.connection` for `size` bytes."""
    if size > 0x7FFFFFFF:
        return struct.pack("!iQ", -1, size)
    return struct.pack("!i", size)


def read_frame(data: bytearray, start: int) -> tuple[int, int] | None:
    """Where the message framed at `start` lies (its first byte, the byte
    after it), or None while it is not all there."""
    if len(data) - start < 4:
        return None
    (size,) = struct.unpack_from("!i", data, start)
    begin = start + 4
    if size == -1:
        if len(data) - start < 12:
            return None
        (size,) = struct.unpack_from("!Q", data, begin)
        begin += 8
    end = begin + size
    return (begin, end) if len(data) >= end else None


def settle(pending: dict[int, asyncio.Future[Any]], answers: list) -> None:
    """Settle the futures of a worker's answers (request id, ok, payload)
    that are still waited for."""
    for rid, ok, payload in answers:
        future = pending.pop(rid, None)
        if future is None or future.done():
            continue
        if ok:
            future.set_result(payload)
        else:
            future.set_exception(EngineRefused(*payload))


class _Worker:
    def __init__(self, pool: EnginePool, index: int) -> None:
        self.pool = pool
        self.index = index
        self.pending: dict[int, asyncio.Future[Any]] = {}
        self.outbox: list[tuple] = []
        self.flush_scheduled = False
        self.alive = False
        self.process: Any = None
        self.conn: Any = None
        self.fd = -1
        self.inbox = bytearray()  # bytes read, not yet a whole message
        self.unsent = bytearray()  # framed requests the pipe has not taken yet
        self.writing = False  # waiting for the pipe to take more
        self.restarts: list[float] = []
        self.failed_starts = 0  # restarts that failed in a row

    def start(self) -> None:
        """Start the process; on failure (no descriptors or processes left,
        say) nothing of it is left open and the error is raised."""
        self.process, self.conn = self._spawn()
        self.fd = self.conn.fileno()
        os.set_blocking(self.fd, False)
        self.inbox = bytearray()
        self.unsent = bytearray()
        self.writing = False
        self.alive = True
        loop = self.pool.loop
        loop.add_reader(self.fd, self._readable)
        loop.add_reader(self.process.sentinel, self._ended)

    def _spawn(self) -> tuple[Any, Any]:
        ctx = multiprocessing.get_context("spawn")
        parent, child = ctx.Pipe(duplex=True)
        try:
            process = ctx.Process(
                target=self.pool.worker_main,
                args=(child,),
                name=f"tesko-engine-{self.index}",
                daemon=True,
            )
            process.start()
        except BaseException:
            parent.close()
            raise
        finally:
            child.close()
        return process, parent

    def send(self, request: tuple, future: asyncio.Future[Any] | None) -> None:
        if future is not None:
            self.pending[request[0]] = future
        self.outbox.append(request)
        if not self.flush_scheduled:
            self.flush_scheduled = True
            self.pool.loop.call_soon(self._flush)

    def _flush(self) -> None:
        self.flush_scheduled = False
        if not self.outbox or not self.alive:
            return
        batch, self.outbox = self.outbox, []
        data = pickle.dumps(batch, pickle.HIGHEST_PROTOCOL)
        self.unsent += frame_header(len(data))
        self.unsent += data
        self._write()

    def _write(self) -> None:
        unsent = self.unsent
        try:
            while unsent:
                del unsent[: os.write(self.fd, unsent)]
        except BlockingIOError:
            # The worker is busy and the pipe is full: go on when it drains.
            if not self.writing:
                self.writing = True
                self.pool.loop.add_writer(self.fd, self._write)
            return
        except OSError:
            self._ended()
            return
        if self.writing:
            self.writing = False
            self.pool.loop.remove_writer(self.fd)

    def _readable(self) -> None:
        try:
            chunk = os.read(self.fd, 1 << 20)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            self._ended()
            return
        if not chunk:
            self._ended()
            return
        inbox = self.inbox
        inbox += chunk
        start = 0
        while True:
            found = read_frame(inbox, start)
            if found is None:
                break
            begin, start = found
            settle(self.pending, pickle.loads(inbox[begin:start]))
        if start:
            del inbox[:start]

    def _ended(self) -> None:
        if not self.alive:
            return
        self._detach()
        self.process.join(timeout=1)
        if self.process.is_alive():  # its pipe failed: it must not go on alone
            self.process.kill()
            self.process.join()
        code = self.process.exitcode
        pending, self.pending = self.pending, {}
        self.outbox = []
        for future in pending.values():
            if not future.done():
                future.set_exception(WorkerDied(f"engine worker {self.index} ended"))
        if self.pool.stopping:
            return
        # A worker that keeps dying is started again after growing pauses.
        loop = self.pool.loop
        now = loop.time()
        self.restarts = [t for t in self.restarts if now - t < 60] + [now]
        pause = 0.0 if len(self.restarts) <= 3 else min(30.0, 0.5 * 2 ** (len(self.restarts) - 4))
        log.error(
            "engine worker %d ended (exit code %s); starting it again%s",
            self.index,
            code,
            f" in {pause:g} s" if pause else "",
        )
        loop.call_later(pause, self._restart)

    def _detach(self) -> None:
        self.alive = False
        loop = self.pool.loop
        loop.remove_reader(self.fd)
        if self.writing:
            self.writing = False
            loop.remove_writer(self.fd)
        loop.remove_reader(self.process.sentinel)
        self.conn.close()
        self.inbox = bytearray()
        self.unsent = bytearray()

    def _restart(self) -> None:
        if self.pool.stopping or self.alive:
            return
        try:
            self.start()
        except Exception as err:  # noqa: BLE001 - OSError mostly; any failure is tried again
            self.failed_starts += 1
            pause = min(RETRY_LIMIT, RETRY_FIRST * 2 ** (self.failed_starts - 1))
            log.error(
                "engine worker %d could not be started (%s); trying again in %g s",
                self.index,
                err,
                pause,
            )
            self.pool.loop.call_later(pause, self._restart)
            return
        self.failed_starts = 0
        self.pool.on_restart(self.index)

    def stop(self) -> None:
        if not self.alive:
            return
        self._flush()  # what is still waiting (the drops of the last games)
        self._write()
        if not self.alive:
            return
        self._detach()  # the worker sees end of file and returns
        self.process.join(timeout=5)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        for future in self.pending.values():
            if not future.done():
                future.set_exception(WorkerDied("the server is stopping"))


@dataclass
class _Search:
    room_id: str
    level: int
    think_time: float | None
    address: str
    cost: float
    future: asyncio.Future[Any]


class EnginePool:
    """`workers` engine processes; requests go to the worker of their room.

    Engine seats' searches (`search`) are let through while the think time
    in flight stays within `think_per_worker` on the room's worker and
    `think_per_address` for the address that made the room; the others
    wait, in order, for think time to free up (a search alone is always let
    through, whatever its think time).
    """

    def __init__(
        self,
        workers: int,
        on_restart: Callable[[int], None],
        think_per_worker: float = 60.0,
        think_per_address: float = 30.0,
        worker_main: Callable[[Any], None] = worker_process.main,
    ) -> None:
        self.size = workers
        self.worker_main = worker_main  # what each worker process runs, given its pipe
        self.on_restart = on_restart
        self.stopping = False
        self.loop: asyncio.AbstractEventLoop = asyncio.get_running_loop()
        self._ids = itertools.count(1)
        self.workers = [_Worker(self, i) for i in range(workers)]
        self.think_per_worker = think_per_worker
        self.think_per_address = think_per_address
        self.waiting: list[deque[_Search]] = [deque() for _ in range(workers)]
        self.thinking_on = [0.0] * workers  # think time in flight, by worker
        self.thinking_for: dict[str, float] = {}  # and by address

    def start(self) -> None:
        for w in self.workers:
            w.start()

    def index_of(self, room_id: str) -> int:
        return worker_of(room_id, self.size)

    def request(self, room_id: str, op: str, *args: Any) -> asyncio.Future[Any]:
        """Send `op` for the room's worker; the future has the answer's payload,
        or raises EngineRefused (the engine said no) or WorkerDied."""
        return self.request_to(self.index_of(room_id), op, room_id, *args)

    def request_to(self, index: int, op: str, room_id: str, *args: Any) -> asyncio.Future[Any]:
        future: asyncio.Future[Any] = self.loop.create_future()
        worker = self.workers[index]
        if not worker.alive:
            future.set_exception(WorkerDied(f"engine worker {index} is not running"))
            return future
        worker.send((next(self._ids), op, room_id, *args), future)
        return future

    def post(self, room_id: str, op: str, *args: Any) -> None:
        """Send `op` without waiting for an answer."""
        index = self.index_of(room_id)
        if op == "drop":  # a search still waiting for its turn will not be wanted
            for job in [j for j in self.waiting[index] if j.room_id == room_id]:
                self.waiting[index].remove(job)
                if not job.future.done():
                    job.future.set_exception(WorkerDied("the room's board was dropped"))
        worker = self.workers[index]
        if worker.alive:
            worker.send((next(self._ids), op, room_id, *args), None)

    def search(
        self, room_id: str, level: int, think_time: float | None, address: str
    ) -> asyncio.Future[Any]:
        """The engine seat's move in the room (the `bot` operation), once the
        think time in flight lets it through."""
        future: asyncio.Future[Any] = self.loop.create_future()
        cost = self.think_per_address if think_time is None else think_time
        index = self.index_of(room_id)
        self.waiting[index].append(_Search(room_id, level, think_time, address, cost, future))
        self._admit(index)
        return future

    def _admit(self, index: int) -> None:
        queue = self.waiting[index]
        passed: list[_Search] = []  # held by their address's cap, not the worker's
        while queue:
            job = queue[0]
            on_worker = self.thinking_on[index]
            if on_worker > 0 and on_worker + job.cost > self.think_per_worker:
                break  # in order: a long search is not overtaken for ever
            queue.popleft()
            for_address = self.thinking_for.get(job.address, 0.0)
            if for_address > 0 and for_address + job.cost > self.think_per_address:
                passed.append(job)
                continue
            self.thinking_on[index] += job.cost
            self.thinking_for[job.address] = for_address + job.cost
            inner = self.request_to(index, "bot", job.room_id, job.level, job.think_time)
            inner.add_done_callback(partial(self._searched, index, job))
        queue.extendleft(reversed(passed))

    def _searched(self, index: int, job: _Search, inner: asyncio.Future[Any]) -> None:
        self.thinking_on[index] = max(0.0, self.thinking_on[index] - job.cost)
        left = self.thinking_for.get(job.address, 0.0) - job.cost
        if left > 1e-9:
            self.thinking_for[job.address] = left
        else:
            self.thinking_for.pop(job.address, None)
        if not job.future.done():
            err = inner.exception()
            if err is not None:
                job.future.set_exception(err)
            else:
                job.future.set_result(inner.result())
        if not self.stopping:
            for i in range(self.size):  # an address's think time freed may let others through
                self._admit(i)

    def waiting_searches(self) -> int:
        return sum(len(q) for q in self.waiting)

    def pids(self) -> list[int]:
        return [w.process.pid for w in self.workers if w.alive]

    def complete(self) -> bool:
        """Is every worker running?"""
        return all(w.alive for w in self.workers)

    def stop(self) -> None:
        self.stopping = True
        for queue in self.waiting:
            for job in queue:
                if not job.future.done():
                    job.future.set_exception(WorkerDied("the server is stopping"))
            queue.clear()
        for w in self.workers:
            w.stop()
