"""tesko-play and tesko-arena, driven through their command lines."""

from __future__ import annotations

import json
import math
import re
import shutil
import signal
import subprocess
import sys
import sysconfig

import pytest
from docs_text import RUN_EXAMPLES, examples
from tesko_tools import Game
from tesko_tools.arena import percentile, wilson_interval

MESSAGES = {
    "Formato inválido.",
    "Coordenada inválida.",
    "Origem inválida.",
    "Destino inválido.",
    "Não podes virar a própria Figura.",
    "A carta de origem não está virada para cima.",
    "A figura não te pertence.",
    "Apenas cartas Figura escolhem alvos.",
    "A carta alvo não existe.",
    "Não há carta nessa posição.",
    "Não podes jogar uma carta virada para cima do adversário.",
    "Precisas de um alvo para usar uma Figura (ex: A1A4).",
}
HEADER = "     1       2       3       4"  # the tool's own drawing
SLOTS = [r + c for r in "ABC" for c in "1234"]


def tool(name: str, *args: str) -> list[str]:
    return [sys.executable, "-m", f"tesko_tools.{name}", *args]


def run(
    name: str, *args: str, stdin: str = "", timeout: float = 120
) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        tool(name, *args),
        input=stdin,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
    )


# -- tesko-play -----------------------------------------------------------------


@pytest.mark.parametrize("side", ["A", "B"])
def test_scripted_game_ends_and_refusals_show_the_engine_messages(side, tmp_path):
    # Whatever the deal, sweeping the 12 slots in turn finds legal moves:
    # the others are refused with the engine's message and the prompt returns.
    script = "help\nmoves\nZ9\n" + "\n".join(SLOTS * 20) + "\n"
    saved = tmp_path / "game.txt"
    proc = run(
        "play",
        "--side",
        side,
        "--level",
        "2",
        "--ply-limit",
        "6",
        "--save",
        str(saved),
        stdin=script,
    )
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert proc.stderr == ""
    assert "Game over after 6 moves: " in out
    assert "Legal moves: " in out and "use your face-up Figure" in out
    refusals = [line for line in out.splitlines() if line in MESSAGES]
    assert refusals[0] == "Coordenada inválida."  # Z9
    engine_moves = re.findall(r"^([AB]) \(level 2\) plays (\S+) \(\d+\.\d+ [mµ]?s\)$", out, re.M)
    assert len(engine_moves) == 3 and all(s != side for s, _ in engine_moves)
    # The board is shown at the start and after each move.
    assert out.count(HEADER) == 1 + 6
    game = Game.load(saved.read_text(encoding="utf-8"))
    assert game.plies == 6 and game.result is not None
    assert str(game.result) in out


@pytest.mark.parametrize(
    "script, last",
    [
        ("", "End of input: game abandoned."),
        ("board\nhelp", "End of input: game abandoned."),
        ("A1A1\nquit\nA1\n", "Game abandoned."),
    ],
)
def test_quit_and_end_of_input_end_cleanly(script, last):
    proc = run("play", "--level", "1", stdin=script)
    assert proc.returncode == 0 and proc.stderr == ""
    assert proc.stdout.splitlines()[-1] == last


def test_ctrl_c_at_the_prompt_ends_cleanly():
    proc = subprocess.Popen(
        tool("play", "--level", "1"),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout is not None
    seen = ""
    while not seen.endswith("to move> "):
        char = proc.stdout.read(1)
        assert char, "no prompt"
        seen += char
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130
    assert "Interrupted: game abandoned." in out and "Traceback" not in err


def test_watch_plays_a_whole_game(tmp_path):
    saved = tmp_path / "watched.txt"
    proc = run("play", "--watch", "--level", "2", "--level-b", "1", "--save", str(saved))
    assert proc.returncode == 0, proc.stderr
    match = re.search(r"^Game over after (\d+) moves: (.+)$", proc.stdout, re.M)
    assert match is not None
    plies = int(match.group(1))
    assert (
        len(re.findall(r"^A \(level 2\) plays ", proc.stdout, re.M))
        + len(re.findall(r"^B \(level 1\) plays ", proc.stdout, re.M))
        == plies
    )
    game = Game.load(saved.read_text(encoding="utf-8"))
    assert str(game.result) == match.group(2)


# -- tesko-arena ---------------------------------------------------------------------


def test_arena_json_numbers_add_up():
    proc = run("arena", "2", "1", "-n", "6", "--json")
    assert proc.returncode == 0, proc.stderr
    data = json.loads(proc.stdout)
    a, b = data["a"], data["b"]
    assert data["games"] == 6 and (a["level"], b["level"]) == (2, 1)
    assert a["wins"] + data["draws"] + b["wins"] == 6
    assert a["first"] == b["first"] == 3
    assert sum(data["endings"].values()) == 6
    assert 0 <= data["first_mover_wins"] <= a["wins"] + b["wins"]
    assert data["score_a"] == pytest.approx((a["wins"] + data["draws"] / 2) / 6)
    lo, hi = data["score_a_95"]
    assert 0 <= lo <= data["score_a"] <= hi <= 1
    # Every move of the match was timed, and the moves add up to the plies.
    assert a["moves"] + b["moves"] == pytest.approx(data["mean_plies"] * 6)
    for side in (a, b):
        assert 0 <= side["think_ms"]["median"] <= side["think_ms"]["p95"]
    assert "6/6 games" in proc.stderr


def test_arena_table():
    proc = run("arena", "1", "1", "-n", "2", "--quiet")
    assert proc.returncode == 0 and proc.stderr == ""
    out = proc.stdout
    assert out.startswith("A, level 1 against B, level 1: 2 games (A first in 1, B first in 1)")
    assert re.search(
        r"^A, level 1 +\d+ +\d+ +\d+ +[01]\.\d{3}  [01]\.\d{3} - [01]\.\d{3}$", out, re.M
    )
    assert (
        len(re.findall(r"^[AB], level 1 +\d+ +\d+\.\d+ [mµ]?s +\d+\.\d+ [mµ]?s$", out, re.M)) == 2
    )


@pytest.mark.parametrize(
    "score, n, expected",
    [
        (0.5, 100, (0.4038, 0.5962)),
        (1.0, 10, (0.7225, 1.0)),
        (0.0, 10, (0.0, 0.2775)),
        (0.25, 0, (0.0, 1.0)),
    ],
)
def test_wilson_interval(score, n, expected):
    assert wilson_interval(score, n) == pytest.approx(expected, abs=1e-4)


@pytest.mark.parametrize(
    "values, q, expected",
    [
        ([5.0], 95, 5.0),
        ([float(v) for v in range(1, 101)], 95, 95.0),
        ([float(v) for v in range(1, 21)], 95, 19.0),
        ([3.0, 1.0, 2.0], 50, 2.0),
    ],
)
def test_percentile_nearest_rank(values, q, expected):
    assert percentile(values, q) == expected
    assert math.isnan(percentile([], q))


SCRIPTS = sysconfig.get_path("scripts")


@pytest.mark.skipif(
    shutil.which("tesko-play", path=SCRIPTS) is None, reason="the package is not installed"
)
@pytest.mark.parametrize("script", ["tesko-play", "tesko-arena"])
def test_console_scripts(script):
    proc = subprocess.run(
        [shutil.which(script, path=SCRIPTS) or script, "--help"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0 and proc.stdout.startswith(f"usage: {script}")


# -- the docs' examples ---------------------------------------------------------------


@pytest.mark.parametrize(
    "page, heading",
    [place for place, test in RUN_EXAMPLES.items() if test == "test_tools_cli"],
    ids=lambda part: part.split("/")[-1].lstrip("# "),
)
def test_docs_examples_run(page, heading, capsys):
    for code in examples(page, heading):
        exec(compile(code, f"{page} {heading}", "exec"), {})
