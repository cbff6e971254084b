"""The event loop's pipes to the engine workers, under uvloop as the server
runs them: uvloop makes every descriptor it watches non-blocking, so a full
pipe or half a message must mean "later", never "the worker is gone"."""

from __future__ import annotations

import asyncio

import pytest
import worker_testing

uvloop = pytest.importorskip("uvloop")


def test_pipe_survives_full_pipes_and_split_messages():
    from tesko_server.worker_pool import EnginePool

    restarted: list[int] = []

    async def main():
        pool = EnginePool(1, restarted.append, worker_main=worker_testing.main)
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
    from tesko_server.worker_pool import EnginePool, WorkerDied

    restarted: list[int] = []

    async def main():
        pool = EnginePool(1, restarted.append, worker_main=worker_testing.main)
        pool.start()
        try:
            first_pid = pool.pids()
            # One batch down the pipe: the crash, then a request it takes down.
            pool.post("room", "crash")
            waiting = pool.request_to(0, "echo", "", "never", 0.0)
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


@pytest.mark.parametrize(
    ("searches", "first", "then"),
    [
        # (address, think time) in the order asked; which run at once; which
        # run once the first of them is done
        ([("a", 20), ("a", 20), ("b", 20)], [0, 2], [1]),  # the address's cap
        ([("a", 30), ("b", 30), ("c", 30)], [0, 1], [2]),  # the worker's cap
        ([("a", 30), ("b", 40), ("c", 10)], [0], [1, 2]),  # in order: c does not overtake b
        ([("a", 45), ("a", 1)], [0], [1]),  # one alone runs, whatever its think time
    ],
)
def test_think_time_in_flight_is_capped(searches, first, then):
    from tesko_server.worker_pool import EnginePool

    async def main():
        pool = EnginePool(1, lambda index: None, think_per_worker=60, think_per_address=30)
        started: list[asyncio.Future] = []

        def request_to(index, op, room, *args):
            assert op == "bot"
            future = pool.loop.create_future()
            future.room = room
            started.append(future)
            return future

        pool.request_to = request_to
        answers = [pool.search(f"r{i}", 5, t, a) for i, (a, t) in enumerate(searches)]
        ran_first = [int(f.room[1:]) for f in started]
        started[0].set_result({"move": "x"})
        await asyncio.sleep(0)
        assert await answers[0] == {"move": "x"}
        ran_then = [int(f.room[1:]) for f in started[len(ran_first) :]]
        return ran_first, ran_then

    assert asyncio.run(asyncio.wait_for(main(), 10)) == (first, then)


def test_a_dropped_room_gives_up_its_waiting_search():
    from tesko_server.worker_pool import EnginePool, WorkerDied

    async def main():
        pool = EnginePool(1, lambda index: None, think_per_worker=10, think_per_address=10)
        pool.request_to = lambda *args: pool.loop.create_future()
        pool.search("r0", 5, 10, "a")
        waiting = pool.search("r1", 5, 10, "b")
        pool.post("r1", "drop")
        with pytest.raises(WorkerDied):
            await waiting
        return pool.waiting_searches()

    assert asyncio.run(asyncio.wait_for(main(), 10)) == 0
