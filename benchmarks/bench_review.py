"""How long the engine's review of a game takes, by search depth.

Plays a fixed set of games: deals shuffled from a fixed seed, each side
moving as the engine does at a level (search depth) drawn per game from 2
to 6, so games last as long as games between people and the engine do
(15 to 20 moves). Then reviews every game (`tesko_tools.review.review`) at
each depth asked for, and prints per depth the median, mean, 95th
percentile and longest time of a game's review, the mean time per turn
and how many moves per game the review marks as inaccuracies, mistakes and
blunders.
The search's keys are drawn afresh by every run, so the figures move by a
few per cent between runs.

    python3 benchmarks/bench_review.py [--games N] [--depths 6,7,8,9,10]
"""

from __future__ import annotations

import argparse
import random
import statistics
import time
from collections import Counter

from tesko import Player
from tesko_tools import Game
from tesko_tools._analysis import search
from tesko_tools.review import REVIEW_DEPTH, Verdict, cells_of, review

SEED = 20261208
CARDS = ["AN"] * 4 + ["AF"] * 2 + ["BN"] * 4 + ["BF"] * 2


def dealt(rng: random.Random) -> Game:
    cards = CARDS[:]
    rng.shuffle(cards)
    rows = [
        f"{row} " + "".join(f"[ {c} ]" for c in cards[4 * i : 4 * i + 4])
        for i, row in enumerate("ABC")
    ]
    return Game.from_layout("\n".join(["   1   2   3   4", *rows]))


def played(rng: random.Random) -> Game:
    game = dealt(rng)
    levels = (rng.randint(2, 6), rng.randint(2, 6))
    while not game.over:
        side = game.to_move
        assert side is not None
        _, move = search(cells_of(game._position), int(side), levels[int(side)])
        game.play(move or game.legal_moves()[0])
    return game


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=40)
    parser.add_argument("--depths", default="6,7,8,9,10")
    args = parser.parse_args()
    depths = [int(d) for d in args.depths.split(",")]

    rng = random.Random(SEED)
    games = [played(rng) for _ in range(args.games)]
    turns = [len(g.history) for g in games]
    print(
        f"{len(games)} games, {statistics.mean(turns):.1f} turns on average "
        f"(median {statistics.median(turns):.0f}, longest {max(turns)}); "
        f"A won {sum(g.result.winner == Player.A for g in games if g.result)}"
    )
    print(f"review time per game, by depth (the review's depth is {REVIEW_DEPTH}):")
    print(
        f"{'depth':>5} {'median':>9} {'mean':>9} {'p95':>9} {'longest':>9} {'per turn':>9}"
        "   moves marked per game: ?! ? ??"
    )
    for depth in depths:
        times = []
        marked = Counter[Verdict]()
        for game in games:
            start = time.perf_counter()
            done = review(game, depth)
            times.append(time.perf_counter() - start)
            marked.update(m.verdict for m in done.moves)
        times.sort()
        p95 = times[min(len(times) - 1, round(0.95 * (len(times) - 1)))]
        print(
            f"{depth:>5} {statistics.median(times) * 1e3:>7.0f}ms {statistics.mean(times) * 1e3:>7.0f}ms"
            f" {p95 * 1e3:>7.0f}ms {times[-1] * 1e3:>7.0f}ms"
            f" {sum(times) / sum(turns) * 1e3:>7.1f}ms"
            + "".join(
                f" {marked[v] / len(games):>4.1f}"
                for v in (Verdict.INACCURACY, Verdict.MISTAKE, Verdict.BLUNDER)
            )
        )


if __name__ == "__main__":
    main()
