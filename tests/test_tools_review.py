"""The review of a game: scores from the right side, verdicts on the moves
that throw a forced win away, and `tesko-play --review` on a saved game."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest
from tesko import Player
from tesko_tools import Game
from tesko_tools._analysis import search
from tesko_tools.review import Review, Verdict, cells_of, classify, review, review_record

# The mover holds a Figure in A1 and a Normal in A4, the other side one
# Normal in C4. A1C4 turns C4 face down and wins by force: the other side
# can only take its own last card or the Figure, after which C4 is taken.
# A4 or A1A4 give the other side the win.
WON = """\
   1   2   3   4
A [ {m}F ][  --  ][  --  ][ {m}N ]
B [  --  ][  --  ][  --  ][  --  ]
C [  --  ][  --  ][  --  ][ {o}N ]
"""


def won_game(mover: Player, first_move: str) -> Game:
    """The won position with `mover` to move, `first_move` played and the
    rest of the game played by the engine."""
    m, o = ("A", "B") if mover == Player.A else ("B", "A")
    game = Game.from_layout(WON.format(m=m, o=o), first=mover)
    game.play(first_move)
    while not game.over:
        side = game.to_move
        assert side is not None
        game.play(search(cells_of(game._position), int(side), 4)[1])
    return game


@pytest.mark.parametrize("mover", [Player.A, Player.B])
@pytest.mark.parametrize("blunder", ["A4", "A1A4"])
def test_a_move_that_throws_a_forced_win_away_is_a_blunder(mover, blunder):
    game = won_game(mover, blunder)
    first, second = review(game).moves[:2]
    assert (first.player, first.played, first.best) == (mover, blunder, "A1C4")
    assert first.verdict is Verdict.BLUNDER
    assert first.text == f"{blunder}?? — A1C4 was winning"
    # The mover's own score: won before the move, lost after it; the other
    # side sees the same position after the move as won.
    assert first.score > 9000 and first.played_score < -9000
    assert second.player != mover and second.score > 9000
    assert second.verdict is Verdict.GOOD


@pytest.mark.parametrize("mover", [Player.A, Player.B])
def test_the_winning_move_is_good_and_the_scores_belong_to_their_sides(mover):
    game = won_game(mover, "A1C4")
    assert game.result is not None and game.result.winner == mover
    moves = review(game).moves
    assert all(m.verdict is Verdict.GOOD for m in moves), [m.text for m in moves]
    for m in moves:
        # Won for the winner at every turn, lost for the other side.
        assert (m.score > 9000) == (m.player == mover), m
        assert (m.score_for(Player.A) > 9000) == (mover == Player.A)
    # The last move took the other side's last card: won, as the mover sees it.
    assert moves[-1].player == mover and moves[-1].played_score > 9000
    shown = review(game).lines()[0]
    assert shown == f"  1. {'AB'[int(mover)]}    win  A1C4"


@pytest.mark.parametrize("mover", [Player.A, Player.B])
def test_the_chart_shows_a_s_score(mover):
    chart = review(won_game(mover, "A1C4")).chart().splitlines()
    win_row, loss_row = chart[0], chart[-2]
    assert win_row.startswith(" win |") and loss_row.startswith("loss |")
    # Every turn's column sits on A's row: the win row when A is the mover.
    assert (win_row.count("*"), loss_row.count("*")) == (
        (len(won_game(mover, "A1C4").history), 0)
        if mover == Player.A
        else (0, len(won_game(mover, "A1C4").history))
    )


@pytest.mark.parametrize(
    "best, played, verdict",
    [
        (10, 10, Verdict.GOOD),
        (10, 6, Verdict.GOOD),
        (10, 5, Verdict.INACCURACY),
        (10, -4, Verdict.INACCURACY),
        (10, -5, Verdict.MISTAKE),
        (0, -10004, Verdict.MISTAKE),
        (10003, 10001, Verdict.GOOD),
        (10003, 8999, Verdict.BLUNDER),
        (10003, -10005, Verdict.BLUNDER),
        (-10002, -10006, Verdict.GOOD),
        (-10002, 15, Verdict.GOOD),
    ],
)
def test_thresholds(best, played, verdict):
    assert classify(best, played) is verdict


def test_the_review_survives_json():
    original = review(won_game(Player.B, "A4"))
    text = json.dumps(original.to_json())
    assert Review.from_json(json.loads(text)) == original


def tesko_play(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tesko_tools.play", *args],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_review_of_a_saved_game(tmp_path):
    game = won_game(Player.B, "A4")
    saved = tmp_path / "game.txt"
    saved.write_text(game.save(), encoding="utf-8")
    proc = tesko_play("--review", str(saved))
    assert proc.returncode == 0 and proc.stderr == ""
    lines = proc.stdout.splitlines()
    assert lines[0] == f"{saved}: {len(game.history)} turns, {game.result}"
    assert "  1. B    win  A4?? — A1C4 was winning" in lines
    assert "B: 0 inaccuracies, 0 mistakes, 1 blunder" in lines
    assert any(line.startswith("loss |*") for line in lines), proc.stdout
    assert review_record(game.save()) == review(game)


def test_review_of_an_unfinished_game(tmp_path):
    game = Game.from_layout(WON.format(m="A", o="B"))
    game.play("A4")
    saved = tmp_path / "game.txt"
    saved.write_text(game.save(), encoding="utf-8")
    proc = tesko_play("--review", str(saved))
    assert proc.returncode == 0, proc.stderr
    assert f"{saved}: 1 turn, unfinished" in proc.stdout
    assert "  1. A    win  A4?? — A1C4 was winning" in proc.stdout
    # The position the last move left is searched, not only counted (A
    # is 15 ahead on material there, and lost).
    assert review_record(game.save()).moves[0].played_score < -9000


@pytest.mark.parametrize(
    "args, status, words",
    [
        (["--review", "missing.txt"], 1, "cannot load missing.txt"),
        (["--review", "game.txt", "--watch"], 2, "--review prints a saved game's review"),
        (["--review", "game.txt", "--load", "game.txt"], 2, "it takes no --load"),
        (["--review", "bad.txt"], 1, "cannot load bad.txt: a saved game starts with"),
    ],
)
def test_review_refusals_are_one_line(tmp_path, monkeypatch, args, status, words):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "game.txt").write_text(Game.from_layout(WON.format(m="A", o="B")).save())
    (tmp_path / "bad.txt").write_text("not a game\n")
    proc = tesko_play(*args)
    assert proc.returncode == status
    assert "Traceback" not in proc.stderr and len(proc.stderr.splitlines()) == 1
    assert words in proc.stderr
