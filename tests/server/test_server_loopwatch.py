"""The server's watch on its own event loop: stalls and collector passes
counted in /metrics."""

from __future__ import annotations

import asyncio
import gc
import time

from tesko_server import metrics


def sample(name: str, **labels: str) -> float:
    return metrics.registry.get_sample_value(name, labels) or 0.0


def test_a_held_loop_is_one_stall_and_older_collections_are_timed_by_generation():
    """A step that holds the loop for 50 ms counts as a stall of about that
    length; the watch keeps looking after it (a second hold counts too);
    passes over generations 1 and 2 are timed under their generation, and
    nothing is counted once the watch has stopped."""

    async def main() -> None:
        watch = metrics.LoopWatch()
        watch.start()
        try:
            for _ in range(2):
                count = sample("tesko_loop_stall_seconds_count")
                total = sample("tesko_loop_stall_seconds_sum")
                await asyncio.sleep(0.03)
                time.sleep(0.05)  # holds the loop
                await asyncio.sleep(0.02)
                assert sample("tesko_loop_stall_seconds_count") >= count + 1
                assert sample("tesko_loop_stall_seconds_sum") >= total + 0.04
            for generation in (1, 2):
                before = sample("tesko_gc_pause_seconds_count", generation=str(generation))
                gc.collect(generation)
                after = sample("tesko_gc_pause_seconds_count", generation=str(generation))
                assert after == before + 1
        finally:
            watch.stop()
        count = sample("tesko_loop_stall_seconds_count")
        passes = sample("tesko_gc_pause_seconds_count", generation="2")
        time.sleep(0.03)
        await asyncio.sleep(0.02)
        gc.collect()
        assert sample("tesko_loop_stall_seconds_count") == count
        assert sample("tesko_gc_pause_seconds_count", generation="2") == passes

    asyncio.run(main())
