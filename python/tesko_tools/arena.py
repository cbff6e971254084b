"""tesko-arena: the engine against itself at two levels.

Plays N games between level X (side A) and level Y (side B), each from a
fresh deal, with A moving first in the even games and B in the odd ones,
and reports the score of X with a 95% interval and each level's think time
per move.
"""

from __future__ import annotations

import argparse
import json
import math
import multiprocessing
import os
import signal
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

from . import _cli
from .game import FORFEITS, End, Game
from .rules import PLAYERS


@dataclass
class Side:
    level: int
    first: int = 0
    wins: int = 0
    times: list[float] = field(default_factory=list)


@dataclass
class Match:
    a: Side
    b: Side
    ply_limit: int
    games: int = 0
    draws: int = 0
    first_mover_wins: int = 0
    plies: list[int] = field(default_factory=list)
    # Engines never run out of time nor leave: only the ends of play are counted.
    endings: dict[str, int] = field(
        default_factory=lambda: {e.value: 0 for e in End if e not in FORFEITS}
    )
    seconds: float = 0.0
    think_time: float | None = None
    interrupted: bool = False

    @property
    def score(self) -> float:
        """Points per game of A: a win is 1, a draw 1/2."""
        return (self.a.wins + self.draws / 2) / self.games if self.games else 0.0


def wilson_interval(score: float, n: int, z: float = 1.96) -> tuple[float, float]:
    """Wilson score interval for a mean score in [0, 1] over n games.

    Draws count as half a point. Treating the score as a proportion gives
    an interval at least as wide as the one the real variance (lowered by
    draws) would, and unlike the plain normal interval it stays sensible at
    0 and 1 and for small n.
    """
    if n == 0:
        return (0.0, 1.0)
    denom = 1 + z * z / n
    centre = (score + z * z / (2 * n)) / denom
    half = z * math.sqrt(score * (1 - score) / n + z * z / (4 * n * n)) / denom
    return (max(0.0, centre - half), min(1.0, centre + half))


def percentile(values: Sequence[float], q: float) -> float:
    """Nearest-rank percentile: the smallest value with at least q% of all
    values at or below it."""
    if not values:
        return math.nan
    ordered = sorted(values)
    rank = max(1, math.ceil(q / 100 * len(ordered)))
    return ordered[rank - 1]


@dataclass(frozen=True)
class GameSummary:
    """What a match keeps of one game (small, to send between processes)."""

    number: int
    first: int
    winner: int | None
    end: str
    plies: int
    times: tuple[tuple[float, ...], tuple[float, ...]]
    """Think time of every move of A and of B."""


def play_game(
    number: int, levels: tuple[int, int], ply_limit: int, think_time: float | None = None
) -> GameSummary:
    """Game `number` of a match: A moves first in the even games."""
    first = PLAYERS[number % 2]
    game = Game(first=first, ply_limit=ply_limit, room_id="tesko-arena")
    times: tuple[list[float], list[float]] = ([], [])
    while not game.over:
        player = game.to_move
        assert player is not None
        index = int(player)
        times[index].append(game.play_bot(levels[index], think_time=think_time).seconds)
    result = game.result
    assert result is not None
    winner = None if result.winner is None else int(result.winner)
    return GameSummary(
        number, int(first), winner, result.end.value, game.plies, (tuple(times[0]), tuple(times[1]))
    )


def _record(match: Match, summary: GameSummary) -> None:
    sides = (match.a, match.b)
    sides[summary.first].first += 1
    match.games += 1
    match.plies.append(summary.plies)
    match.endings[summary.end] += 1
    for side, times in zip(sides, summary.times):
        side.times.extend(times)
    if summary.winner is None:
        match.draws += 1
    else:
        sides[summary.winner].wins += 1
        match.first_mover_wins += summary.winner == summary.first


class MatchInterrupted(KeyboardInterrupt):
    """Ctrl-C during a match; `match` holds the games finished before it."""

    def __init__(self, match: Match) -> None:
        super().__init__()
        self.match = match


def _worker_start() -> None:
    # Ctrl-C reaches every process of the terminal's group: the main process
    # alone answers it, and ends the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _play_one(task: tuple[int, tuple[int, int], int, float | None]) -> GameSummary:
    return play_game(*task)


def default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def play_match(
    level_a: int,
    level_b: int,
    games: int,
    ply_limit: int = 200,
    progress: Callable[[Match], None] | None = None,
    *,
    jobs: int = 1,
    think_time: float | None = None,
) -> Match:
    """Play `games` games, in `jobs` worker processes (1: in this one).

    Ctrl-C ends the match at once with MatchInterrupted, a KeyboardInterrupt
    that carries the match so far (the games that finished, `interrupted`
    set).
    """
    match = Match(Side(level_a), Side(level_b), ply_limit, think_time=think_time)
    levels = (level_a, level_b)
    start = time.perf_counter()
    tasks = [(number, levels, ply_limit, think_time) for number in range(games)]
    try:
        if jobs <= 1 or games <= 1:
            for task in tasks:
                _record(match, _play_one(task))
                match.seconds = time.perf_counter() - start
                if progress is not None:
                    progress(match)
        else:
            with multiprocessing.Pool(min(jobs, games), initializer=_worker_start) as pool:
                try:
                    for summary in pool.imap_unordered(_play_one, tasks):
                        _record(match, summary)
                        match.seconds = time.perf_counter() - start
                        if progress is not None:
                            progress(match)
                except BaseException:
                    pool.terminate()
                    raise
    except KeyboardInterrupt:
        match.seconds = time.perf_counter() - start
        match.interrupted = True
        raise MatchInterrupted(match) from None
    match.seconds = time.perf_counter() - start
    return match


def _labels(match: Match) -> tuple[str, str]:
    if match.a.level == match.b.level:
        return (f"A, level {match.a.level}", f"B, level {match.b.level}")
    return (f"level {match.a.level}", f"level {match.b.level}")


def _ms(seconds: float) -> float:
    return round(seconds * 1000, 4)


def as_json(match: Match) -> dict[str, Any]:
    lo, hi = wilson_interval(match.score, match.games)

    def side(s: Side) -> dict[str, Any]:
        return {
            "level": s.level,
            "first": s.first,
            "wins": s.wins,
            "moves": len(s.times),
            "think_ms": {
                "median": _ms(statistics.median(s.times)) if s.times else None,
                "p95": _ms(percentile(s.times, 95)) if s.times else None,
            },
        }

    return {
        "games": match.games,
        "ply_limit": match.ply_limit,
        "a": side(match.a),
        "b": side(match.b),
        "draws": match.draws,
        "first_mover_wins": match.first_mover_wins,
        "score_a": match.score,
        "score_a_95": [lo, hi],
        "endings": dict(match.endings),
        "mean_plies": statistics.fmean(match.plies) if match.plies else 0.0,
        "seconds": round(match.seconds, 3),
        "think_time": match.think_time,
        "interrupted": match.interrupted,
    }


def format_duration(seconds: float) -> str:
    """A think time, in the unit that keeps it short."""
    ms = seconds * 1000
    if ms < 1:
        return f"{ms * 1000:.1f} µs"
    if ms < 10:
        return f"{ms:.2f} ms"
    if ms < 1000:
        return f"{ms:.1f} ms"
    return f"{seconds:.2f} s"


def as_table(match: Match) -> str:
    label_a, label_b = _labels(match)
    lo, hi = wilson_interval(match.score, match.games)
    width = max(len(label_a), len(label_b), len("think time per move"))
    heading = (
        f"{label_a} against {label_b}: {match.games} games "
        f"(A first in {match.a.first}, B first in {match.b.first}), ply limit {match.ply_limit}"
    )
    if match.think_time is not None:
        heading += f", at most {match.think_time:g} s a move"
    lines = [
        heading,
        "",
        f"{'':{width}}  {'wins':>5} {'draws':>5} {'losses':>6}  {'score':>5}  95% interval",
        f"{label_a:{width}}  {match.a.wins:>5} {match.draws:>5} {match.b.wins:>6}  "
        f"{match.score:>5.3f}  {lo:.3f} - {hi:.3f}",
        "",
        f"{'think time per move':{width}}  {'moves':>6} {'median':>10} {'p95':>10}",
    ]
    for label, side in ((label_a, match.a), (label_b, match.b)):
        median = format_duration(statistics.median(side.times)) if side.times else "-"
        p95 = format_duration(percentile(side.times, 95)) if side.times else "-"
        lines.append(f"{label:{width}}  {len(side.times):>6} {median:>10} {p95:>10}")
    endings = ", ".join(f"{name} {count}" for name, count in match.endings.items())
    mean = statistics.fmean(match.plies) if match.plies else 0.0
    lines += [
        "",
        f"endings: {endings}; the side moving first won {match.first_mover_wins}",
        f"{mean:.1f} moves per game; {match.seconds:.1f} s in all",
    ]
    if match.interrupted:
        lines.insert(0, f"interrupted: only the {match.games} games finished so far count")
    return "\n".join(lines)


class ProgressBar:
    """A one-line bar redrawn in place, for a terminal."""

    def __init__(self, total: int, stream: TextIO, width: int = 30) -> None:
        self.total = total
        self.stream = stream
        self.width = width

    def __call__(self, match: Match) -> None:
        done = match.games
        filled = self.width * done // self.total if self.total else self.width
        bar = "#" * filled + "-" * (self.width - filled)
        self.stream.write(
            f"\r[{bar}] {done}/{self.total} games  "
            f"{match.a.wins}-{match.draws}-{match.b.wins}  {match.seconds:.0f} s"
        )
        if done == self.total:
            self.stream.write("\n")
        self.stream.flush()

    def interrupted(self) -> None:
        self.stream.write("\n")
        self.stream.flush()


class ProgressLines:
    """Plain lines for a file or a pipe: one per tenth of the games."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.step = 0

    def __call__(self, match: Match) -> None:
        step = 10 * match.games // self.total
        if step > self.step or match.games == self.total:
            self.step = step
            self.stream.write(
                f"{match.games}/{self.total} games  "
                f"{match.a.wins}-{match.draws}-{match.b.wins}  {match.seconds:.0f} s\n"
            )
            self.stream.flush()

    def interrupted(self) -> None:
        pass


class Guarded:
    """A progress display that goes quiet for good when its stream fails
    (stderr closed, full or gone): the match itself goes on."""

    def __init__(self, display: ProgressBar | ProgressLines) -> None:
        self.display: ProgressBar | ProgressLines | None = display

    def __call__(self, match: Match) -> None:
        self._do(lambda d: d(match))

    def interrupted(self) -> None:
        self._do(lambda d: d.interrupted())

    def _do(self, action: Callable[[ProgressBar | ProgressLines], None]) -> None:
        if self.display is None:
            return
        try:
            action(self.display)
        except (OSError, ValueError):
            self.display = None


def progress_for(total: int, stream: TextIO | None, quiet: bool) -> Guarded | None:
    if quiet or stream is None:
        return None
    if _cli.is_tty(stream):
        return Guarded(ProgressBar(total, stream))
    return Guarded(ProgressLines(total, stream))


def build_parser() -> argparse.ArgumentParser:
    parser = _cli.Parser(
        prog="tesko-arena",
        description="Play the engine against itself at two search depths.",
    )
    parser.add_argument(
        "level_a",
        type=_cli.level,
        metavar="LEVEL_A",
        help="search depth of side A (the level being scored)",
    )
    parser.add_argument(
        "level_b", type=_cli.level, metavar="LEVEL_B", help="search depth of side B"
    )
    parser.add_argument(
        "-n",
        "--games",
        type=_cli.games,
        default=20,
        metavar="N",
        help="games to play (default 20); A moves first in half of them",
    )
    parser.add_argument(
        "--ply-limit",
        type=_cli.ply_limit,
        default=200,
        metavar="N",
        help="moves before a game is decided on material (default 200)",
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=_cli.jobs,
        default=None,
        metavar="N",
        help=f"games played at once, each in a process of its own (default: the "
        f"machine's cores, {default_jobs()} here)",
    )
    parser.add_argument(
        "--think-time",
        type=_cli.seconds,
        metavar="SECONDS",
        help="at most this long per engine move: the deepest search up to the level "
        "that finishes in time plays",
    )
    parser.add_argument(
        "--json", action="store_true", help="print the results as JSON instead of a table"
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    parser.add_argument("--version", action=_cli.VersionAction)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    return _cli.run("tesko-arena", lambda: _main(argv))


def _main(argv: Sequence[str] | None) -> int:
    args = build_parser().parse_args(argv)
    progress = progress_for(args.games, sys.stderr, args.quiet)
    jobs = default_jobs() if args.jobs is None else args.jobs
    status = 0
    try:
        match = play_match(
            args.level_a,
            args.level_b,
            args.games,
            args.ply_limit,
            progress,
            jobs=jobs,
            think_time=args.think_time,
        )
    except MatchInterrupted as stop:
        match = stop.match
        if progress is not None:
            progress.interrupted()
        status = _cli.INTERRUPTED
    if args.json:
        print(json.dumps(as_json(match), indent=2))
    else:
        print(as_table(match))
    return status


if __name__ == "__main__":
    raise SystemExit(main())
