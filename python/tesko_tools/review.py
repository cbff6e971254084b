"""The engine's view of a game, move by move.

For every turn of a game `review` asks the engine, at one fixed depth
(`REVIEW_DEPTH`), for the score of the position for the side to move and
for its best move. The move played is scored by the position it left: the
next turn's score, with the sign turned when the other side moves next;
after the last turn, the final position searched for the side to move, or,
when the rules ended the game there, its own value (a side without cards
has lost, else the material). So the verdicts agree with the scores shown
turn by turn. How far the mover's score fell from the best move's score
classifies the move. Scores are the engine's: material (Normal 10, Figure
15, the mover's less the opponent's) where the search's horizon ends, and
`WIN_SCORE` (10000) or more for a forced win, as much below zero for a
forced loss. The engine's search is not always consistent from one
position to the next (its table ignores the side to move), so a review can
show, say, a forced win that the winner's next search does not find.

- good: the score fell by less than `INACCURACY` (5, the difference between
  a Figure and a Normal card, the smallest step material takes);
- inaccuracy: by 5 up to a Normal card's worth (10);
- mistake: by `MISTAKE` (15, a Figure's worth) or more, or from a position
  that was not lost into a forced loss;
- blunder: a won position (a win score) given up for one that is not won.

A move that keeps a win, or that stays in a lost position, is good: the
engine's scores say nothing about winning faster. A move equal to the
engine's choice is good by definition, and a pass has no choice.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any

from tesko import Player

from . import _analysis
from .game import Game, check_int
from .rules import PLAYERS, Position, parse_player, player_name

#: The depth of every search of a review; a typical game (15 to 20 moves)
#: takes under a second at this depth (benchmarks/bench_review.py).
REVIEW_DEPTH = 8
#: The deepest review `review` takes: a search's time grows about threefold
#: with each ply.
MAX_REVIEW_DEPTH = 20
#: Score of a won position, plus the plies left when the win was found.
WIN_SCORE = 10000
#: Scores above this are forced wins (and below minus this, forced losses).
FORCED_WIN = 8999
#: The least fall of the score that makes a move an inaccuracy, and a mistake.
INACCURACY = 5
MISTAKE = 15


class Verdict(enum.Enum):
    """How good a move was, by how far it let the mover's score fall."""

    GOOD = "good"
    INACCURACY = "inaccuracy"
    MISTAKE = "mistake"
    BLUNDER = "blunder"

    @property
    def mark(self) -> str:
        """The annotation written after the move: "", "?!", "?" or "??"."""
        return _MARKS[self]


_MARKS = {Verdict.GOOD: "", Verdict.INACCURACY: "?!", Verdict.MISTAKE: "?", Verdict.BLUNDER: "??"}


def is_win(score: int) -> bool:
    return score > FORCED_WIN


def is_loss(score: int) -> bool:
    return score < -FORCED_WIN


def classify(best: int, played: int) -> Verdict:
    """The verdict on a move whose mover could have had `best` and got
    `played` (both from the mover's view)."""
    if is_win(best):
        return Verdict.GOOD if is_win(played) else Verdict.BLUNDER
    if is_loss(best):
        return Verdict.GOOD
    if is_loss(played):
        return Verdict.MISTAKE
    fall = best - played
    if fall >= MISTAKE:
        return Verdict.MISTAKE
    if fall >= INACCURACY:
        return Verdict.INACCURACY
    return Verdict.GOOD


@dataclass(frozen=True)
class MoveReview:
    """One turn of the game as the engine sees it."""

    number: int
    """The turn's number in the record, from 1."""
    player: Player
    played: str | None
    """The move played; None for a pass."""
    best: str
    """The engine's move; "" when the engine has none (as for a pass)."""
    score: int
    """The mover's score before the move: what the best move gets."""
    played_score: int
    """The mover's score after the move played."""
    verdict: Verdict

    @property
    def fall(self) -> int:
        """How far the move let the mover's score fall (0 when it did not)."""
        return max(0, self.score - self.played_score)

    def score_for(self, player: Player) -> int:
        """The position's score (before the move) from `player`'s view."""
        return self.score if player == self.player else -self.score

    @property
    def text(self) -> str:
        """The move with its mark and, for a move that was not good, what the
        engine would have played: "B3A1?? — B4 was winning"."""
        if self.played is None:
            return "pass"
        move = self.played + self.verdict.mark
        if self.verdict is Verdict.GOOD:
            return move
        if not self.best:
            return f"{move} — every other move was better"
        if self.verdict is Verdict.BLUNDER:
            return f"{move} — {self.best} was winning"
        if is_loss(self.played_score):
            return f"{move} — {self.best} did not lose"
        return f"{move} — {self.best} was better by {self.fall}"

    def to_json(self) -> dict[str, Any]:
        return {
            "number": self.number,
            "player": player_name(self.player),
            "played": self.played,
            "best": self.best,
            "score": self.score,
            "played_score": self.played_score,
            "verdict": self.verdict.value,
            "text": self.text,
        }

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> MoveReview:
        return cls(
            number=int(data["number"]),
            player=parse_player(str(data["player"])),
            played=None if data["played"] is None else str(data["played"]),
            best=str(data["best"]),
            score=int(data["score"]),
            played_score=int(data["played_score"]),
            verdict=Verdict(data["verdict"]),
        )


@dataclass(frozen=True)
class Review:
    """The engine's view of every turn of a game, searched `depth` plies deep."""

    depth: int
    moves: tuple[MoveReview, ...]

    def lines(self) -> list[str]:
        """A line per turn: its number, the mover, the mover's score before
        the move and the move with its mark."""
        return [
            f"{m.number:>3}. {player_name(m.player)} {score_text(m.score):>6}  {m.text}"
            for m in self.moves
        ]

    def chart(self, height: int = 9, limit: int = 30) -> str:
        """A's score before each turn as a text chart, a column per turn:
        material scores from +`limit` to -`limit` in `height` - 2 rows,
        wins on the top row and losses on the bottom one."""
        if not self.moves:
            return ""
        bands = height - 2
        step = 2 * limit / (bands - 1)
        rows = ["win"] + [f"{round(limit - i * step):+d}" for i in range(bands)] + ["loss"]
        rows = [r.replace("+0", "0") for r in rows]

        def row_of(score: int) -> int:
            if is_win(score):
                return 0
            if is_loss(score):
                return height - 1
            clipped = max(-limit, min(limit, score))
            return 1 + round((limit - clipped) / step)

        marks = [row_of(m.score_for(Player.A)) for m in self.moves]
        width = max(len(r) for r in rows)
        out = []
        for i, label in enumerate(rows):
            body = "".join("*" if r == i else ("-" if label == "0" else " ") for r in marks)
            out.append(f"{label:>{width}} |{body.rstrip()}")
        ticks = "".join("|" if (n + 1) % 10 == 0 else " " for n in range(len(marks)))
        out.append(f"{'':>{width}} +{ticks.rstrip()}")
        return "\n".join(out)

    def report(self) -> str:
        """The lines, a chart of A's score and the count of each verdict."""
        counts = [{v: 0 for v in Verdict if v is not Verdict.GOOD} for _ in PLAYERS]
        for m in self.moves:
            if m.verdict is not Verdict.GOOD:
                counts[int(m.player)][m.verdict] += 1
        summary = [
            f"{player_name(p)}: " + ", ".join(_count(n, v) for v, n in counts[int(p)].items())
            for p in PLAYERS
        ]
        parts = [
            f"The engine's view, searched {self.depth} plies deep. Each turn's score is the",
            "mover's before the move: material (Normal 10, Figure 15) or a forced win or loss.",
            *self.lines(),
        ]
        if self.moves:
            parts += ["", "A's score, a column per turn (a tick every 10):", self.chart()]
        parts += ["", *summary]
        return "\n".join(parts)

    def to_json(self) -> dict[str, Any]:
        return {"depth": self.depth, "moves": [m.to_json() for m in self.moves]}

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> Review:
        return cls(int(data["depth"]), tuple(MoveReview.from_json(m) for m in data["moves"]))


def _count(n: int, verdict: Verdict) -> str:
    if n == 1:
        return f"1 {verdict.value}"
    return f"{n} " + ("inaccuracies" if verdict is Verdict.INACCURACY else verdict.value + "s")


def score_text(score: int) -> str:
    if is_win(score):
        return "win"
    if is_loss(score):
        return "loss"
    return f"{score:+d}" if score else "0"


def cells_of(position: Position) -> list[tuple[int, int, bool] | None]:
    """The twelve slots as the engine's analysis takes them."""
    return [
        None if c is None else (int(c.owner), int(c.kind), not c.face_up) for c in position.cells
    ]


def review(game: Game, depth: int = REVIEW_DEPTH) -> Review:
    """The engine's view of every turn `game` has had so far, searched
    `depth` plies deep (1 to MAX_REVIEW_DEPTH)."""
    if not isinstance(game, Game):
        raise TypeError(f"game must be a Game, not {type(game).__name__}")
    depth = check_int("depth", depth, 1, MAX_REVIEW_DEPTH)
    replay = Game.from_layout(game.layout, first=game.first, ply_limit=game.ply_limit)
    history = game.history
    # The engine's move and score before each turn, from the mover's view.
    seen: list[tuple[str, int]] = []
    for turn in history:
        score, best = _analysis.search(cells_of(replay._position), int(turn.player), depth)
        seen.append((best, score))
        if turn.move is not None:
            replay.play(turn.move)
    if not history:
        return Review(depth, ())
    # The position the last turn left: searched for the side to move next,
    # or, where the rules ended the game, its own value (as the last mover
    # sees it: a side without cards has lost, else the material).
    last = history[-1].player
    cells = cells_of(replay._position)
    if replay.over or replay.to_move is None:
        after = (last, _analysis.search(cells, int(last), 0)[0])
    else:
        after = (replay.to_move, _analysis.search(cells, int(replay.to_move), depth)[0])
    scores_after = [(t.player, s) for t, (_, s) in zip(history[1:], seen[1:])] + [after]
    moves = []
    for number, (turn, (best, score), (next_player, next_score)) in enumerate(
        zip(history, seen, scores_after), 1
    ):
        played_score = next_score if next_player == turn.player else -next_score
        if turn.move is None or turn.move == best:
            verdict = Verdict.GOOD
        else:
            verdict = classify(score, played_score)
        moves.append(MoveReview(number, turn.player, turn.move, best, score, played_score, verdict))
    return Review(depth, tuple(moves))


def review_record(text: str, depth: int = REVIEW_DEPTH) -> Review:
    """The review of a saved game (`Game.save`), finished or not."""
    return review(Game.load(text, engine=False), depth)
