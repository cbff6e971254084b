"""The event loop's pipes to the engine workers, under uvloop as the server
runs them: uvloop makes every descriptor it watches non-blocking, so a full
pipe or half a message must mean "later", never "the worker is gone"."""

from __future__ import annotations

import asyncio

import pytest

uvloop = pytest.importorskip("uvloop")


def test_pipe_survives_full_pipes_and_split_messages():
    from tesko_server.engine import EnginePool

    restarted: list[int] = []

    async def main():
        pool = EnginePool(1, restarted.append)
        pool.start()
        try:
            # While the worker sleeps, far more than a pipe holds goes down in
            # one batch; the answers, as large, come back in many pieces.
            big = "x" * 300_000
            slow = pool.request_to(0, "echo", "", "first", 0.5)
            echoes = [pool.request_to(0, "echo", "", f"{i}:{big}", 0.0) for i in range(4)]
            # and many small requests in the same pass of the loop
            small = [pool.request_to(0, "echo", "", i, 0.0) for i in range(3000)]
            assert await asyncio.wait_for(slow, 30) == "first"
            assert [await e for e in echoes] == [f"{i}:{big}" for i in range(4)]
            assert await asyncio.gather(*small) == list(range(3000))
            # Requests made after the big ones still get their answers.
            assert await pool.request_to(0, "echo", "", "last", 0.0) == "last"
            assert pool.workers[0].alive
        finally:
            pool.stop()

    uvloop.run(asyncio.wait_for(main(), 60))
    assert restarted == []  # no worker was taken for dead


def test_worker_that_ends_fails_its_requests_and_comes_back():
    from tesko_server.engine import EnginePool, WorkerDied

    restarted: list[int] = []

    async def main():
        pool = EnginePool(1, restarted.append)
        pool.start()
        try:
            first_pid = pool.pids()
            waiting = pool.request_to(0, "echo", "", "never", 5.0)
            pool.post("room", "crash")
            with pytest.raises(WorkerDied):
                await asyncio.wait_for(waiting, 30)
            for _ in range(200):
                if pool.workers[0].alive:
                    break
                await asyncio.sleep(0.05)
            assert await pool.request_to(0, "echo", "", "back", 0.0) == "back"
            assert pool.pids() != first_pid
        finally:
            pool.stop()

    uvloop.run(asyncio.wait_for(main(), 60))
    assert restarted == [0]


def test_a_restart_that_fails_is_tried_again(monkeypatch):
    """No descriptors left when a worker ends: its restart fails, and is
    tried again (after growing pauses) until it works; meanwhile the pool
    says it is not complete."""
    from tesko_server import engine

    monkeypatch.setattr(engine, "RETRY_FIRST", 0.1)
    spawn = engine._Worker._spawn
    failures: list[int] = []

    def spawn_or_fail(self):
        if len(failures) < 3:
            failures.append(1)
            raise OSError(24, "Too many open files")
        return spawn(self)

    restarted: list[int] = []

    async def main():
        pool = engine.EnginePool(1, restarted.append)
        pool.start()
        try:
            monkeypatch.setattr(engine._Worker, "_spawn", spawn_or_fail)
            pool.post("room", "crash")
            seen_incomplete = False
            for _ in range(300):
                seen_incomplete |= not pool.complete()
                if pool.complete() and restarted:
                    break
                await asyncio.sleep(0.02)
            assert seen_incomplete
            assert await pool.request_to(0, "echo", "", "back", 0.0) == "back"
        finally:
            pool.stop()

    uvloop.run(asyncio.wait_for(main(), 60))
    assert len(failures) == 3 and restarted == [0]
