"""What `Game.resume` costs: dealing until a saved layout comes up, then
replaying the turns on the engine.

Plays `--games` short games at random (a fresh deal each), saves each after
a few moves and times `Game.resume` on the record. Prints the mean, median,
95th and 99th percentile (nearest rank) and the largest time. A deal
matches a given layout with probability 1/207,900, so the number of deals
is geometric: mean 207,900, 99th percentile about 957,000 (4.6 times the
mean); the time follows it.

    python3 benchmarks/bench_resume.py [--games N] [--plies K]
"""

from __future__ import annotations

import argparse
import math
import random
import statistics
import time

from tesko_tools import Game


def nearest_rank(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[max(1, math.ceil(q / 100 * len(ordered))) - 1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--plies", type=int, default=6)
    args = parser.parse_args()

    rng = random.Random(1)
    seconds: list[float] = []
    for _ in range(args.games):
        game = Game(ply_limit=args.plies)
        while not game.over:
            game.play(rng.choice(game.legal_moves()))
        text = game.save()
        start = time.perf_counter()
        resumed = Game.resume(text)
        seconds.append(time.perf_counter() - start)
        assert resumed.save() == text
    print(f"Game.resume on {args.games} records of {args.plies} moves each")
    print(
        f"seconds: mean {statistics.fmean(seconds):.3f}  median {statistics.median(seconds):.3f}  "
        f"p95 {nearest_rank(seconds, 95):.3f}  p99 {nearest_rank(seconds, 99):.3f}  "
        f"max {max(seconds):.3f}"
    )


if __name__ == "__main__":
    main()
