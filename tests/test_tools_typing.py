"""The typed interface: the stubs match the built module, and a strict type
check accepts a correct client and catches a wrong one."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

CLIENT = """\
from tesko import Board, CardType, Player
from tesko_tools import End, Game, Result
from tesko_tools._analysis import search, think

def turn(board: Board, side: Player) -> str:
    moves: list[str] = board.get_legal_moves(side)
    choice: str = board.play_bot(side, 2) or moves[0]
    board.play(choice, side, _room_id="room")
    return str(board)

def summary(game: Game) -> str:
    result: Result | None = game.result
    if result is None or result.winner is None:
        return "open or drawn"
    return f"{int(result.winner)} {result.end is End.NO_CARDS} {int(CardType.Figure)}"

def analyse() -> str:
    cells = [(0, 0, False), None, None, None, None, None, None, None, None, None, None, None]
    score, move = search(cells, 0, 2)
    later: tuple[int, str, int] = think(cells, 1, 4, 0.5)
    return f"{score + later[0]} {move}"

print(turn(Board(), Player.A), summary(Game(first=Player.B, ply_limit=10)), analyse())
print(Player.A == Player.B, Player.B != 1)
"""

WRONG = {
    'board.play("A1", 0, "room")': 'Argument 2 to "play" of "Board"',
    'board.play_bot(Player.A, "3")': 'Argument 2 to "play_bot" of "Board"',
    'n: int = board.play("A1", Player.A, "r")': '"play" of "Board" does not return a value',
    "Board(1)": 'Too many arguments for "Board"',
    "Player.C": '"type[Player]" has no attribute "C"',
    "board.get_legal_moves(Player.A)[0] + 1": 'Unsupported operand types for + ("str" and "int")',
    'Game(first="A")': 'Argument "first" to "Game"',
    'search([None] * 12, Player.A, "2")': 'Argument 3 to "search"',
    "depth: str = think([None] * 12, 0, 2, 1.0)[2]": 'expression has type "int"',
}


@pytest.fixture(scope="module")
def cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(cache: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(cache),
            *args,
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.mark.parametrize("module", ["tesko", "tesko_tools._analysis"])
def test_stubs_match_the_built_module(module):
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_strict_check_accepts_a_client_and_the_tools(cache, tmp_path):
    client = tmp_path / "client.py"
    client.write_text(CLIENT)
    for target in ([str(client)], ["-p", "tesko_tools"]):
        proc = mypy(cache, *target)
        assert proc.returncode == 0, proc.stdout + proc.stderr


def test_strict_check_catches_misuse(cache, tmp_path):
    body = "".join(f"    {line}\n" for line in WRONG)
    client = tmp_path / "wrong.py"
    client.write_text(
        textwrap.dedent("""\
        from tesko import Board, Player
        from tesko_tools import Game
        from tesko_tools._analysis import search, think

        def misuse(board: Board) -> None:
        """)
        + body
    )
    proc = mypy(cache, str(client))
    errors = proc.stdout.splitlines()
    for number, expected in enumerate(WRONG.values(), start=6):
        assert any(
            line.startswith(f"{client}:{number}:") and expected in line for line in errors
        ), (expected, proc.stdout)
