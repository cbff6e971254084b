"""Bot turn benchmark on fixed positions with fixed position keys.

Deals boards from a fixed word stream and plays a few plies on each, so
every position lies "a few moves after a deal", in two sets:

- engine: each ply is the engine's own move at depth 2, as in a game;
- random: each ply is a legal move drawn at random. Random play mostly
  turns cards over with Figures and seldom takes cards off, so these
  positions keep many cards and make much larger searches.

For each set it times the bot's turn at depths 1, 3, 5, 7 and 9 through
the engine's own entry point and prints, per depth: median and mean
microseconds per turn, the mean number of nodes per turn and nodes per
second (every node of the search counted). The node counts are a
signature of the search: with the keys fixed they change only when the
search does. Last, it times what a host sees for a depth-1 turn on a fresh
deal: `tesko.Board().play_bot(Player.A, 1)`, argument handling included.

Needs the private test module: install with
    python3 -m pip install -C cmake.define.TESKO_TESTING=ON .
and run
    python3 benchmarks/bench_bot.py [--positions N] [--plies K] [--repeat R]
"""

from __future__ import annotations

import argparse
import random
import statistics
import time

import _tesko_testing as t
import tesko

ZOBRIST_SEED = 20261208
DEAL_SEED = 7


def positions(kind: str, count: int, plies: int) -> list[tuple[tuple, int]]:
    """Fixed positions with the side to move (alternating from A)."""
    rng = random.Random(DEAL_SEED)
    out = []
    while len(out) < count:
        grid, _ = t.deal([rng.getrandbits(32) for _ in range(64)])
        player = 0
        for _ in range(plies):
            if kind == "engine":
                move = t.bot_turn(grid, player, 2)[0]
            else:
                moves = t.legal_moves(grid, player)
                move = rng.choice(moves) if moves else ""
            if not move:
                break
            grid = t.apply_action(grid, move)
            player ^= 1
        if t.bot_actions(grid, player):
            out.append((grid, player))
    return out


def table(work: list[tuple[tuple, int]], depths: list[int], repeat: int) -> None:
    print("| depth | median us/turn | mean us/turn | nodes/turn (mean) | nodes/s |")
    print("|---:|---:|---:|---:|---:|")
    for depth in depths:
        times, nodes_total, time_total = [], 0, 0.0
        for grid, player in work:
            t.bot_turn(grid, player, depth)  # warm-up
            for _ in range(repeat):
                start = time.perf_counter_ns()
                _, nodes, _ = t.bot_turn(grid, player, depth)
                elapsed = (time.perf_counter_ns() - start) / 1000
                times.append(elapsed)
                nodes_total += nodes
                time_total += elapsed
        turns = len(times)
        print(
            f"| {depth} | {statistics.median(times):,.1f} | {statistics.fmean(times):,.1f} "
            f"| {nodes_total / turns:,.0f} | {nodes_total / time_total:,.1f} M |"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--sets", nargs="+", choices=["engine", "random"], default=["engine", "random"]
    )
    parser.add_argument("--positions", type=int, default=40)
    parser.add_argument("--plies", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=5, help="timed turns per position")
    parser.add_argument("--depths", type=int, nargs="+", default=[1, 3, 5, 7, 9])
    args = parser.parse_args()

    if not t.seed_zobrist(ZOBRIST_SEED):
        raise SystemExit("position keys were built before the benchmark could fix them")
    for kind in args.sets:
        work = positions(kind, args.positions, args.plies)
        print(
            f"\n{kind} plies: {len(work)} positions, {args.plies} plies after a deal, "
            f"{args.repeat} timed turns each\n"
        )
        table(work, args.depths, args.repeat)

    turns = []
    for _ in range(200):
        board = tesko.Board()
        board.play_bot(tesko.Player.A, 1)  # warm-up
        for _ in range(args.repeat):
            start = time.perf_counter_ns()
            board.play_bot(tesko.Player.A, 1)
            turns.append((time.perf_counter_ns() - start) / 1000)
    print(
        f"\nBoard.play_bot(Player.A, 1) on 200 fresh deals: median {statistics.median(turns):,.1f} us, "
        f"mean {statistics.fmean(turns):,.1f} us"
    )


if __name__ == "__main__":
    main()
