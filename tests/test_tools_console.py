"""tesko-play and tesko-arena as people run them: through the installed
console scripts, with bad arguments, closed, full and broken streams,
saves that must survive, resumed games, Ctrl-C and worker processes."""

from __future__ import annotations

import errno
import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import time

import pytest
from docs_text import section
from tesko import Player
from tesko_tools import Game, _cli
from tesko_tools.play import draw, hint

SCRIPTS = sysconfig.get_path("scripts")
SLOTS = [r + c for r in "ABC" for c in "1234"]


def command(name: str) -> list[str]:
    """The console script when the package is installed, else its module."""
    found = shutil.which(name, path=SCRIPTS)
    if found:
        return [found]
    return [sys.executable, "-m", "tesko_tools." + name.removeprefix("tesko-")]


def run(name: str, *args: str, stdin: bytes = b"", shell_redirect: str = "", timeout: float = 120):
    """Run a tool; `shell_redirect` (such as "<&-") is applied by a shell."""
    argv = command(name) + list(args)
    if shell_redirect:
        argv = ["bash", "-c", f'exec "$@" {shell_redirect}', "bash", *argv]
    return subprocess.run(argv, input=stdin, capture_output=True, timeout=timeout)


def one_clean_line(stderr: bytes) -> str:
    text = stderr.decode("utf-8")
    assert "Traceback" not in text
    lines = text.splitlines()
    assert len(lines) == 1, text
    return lines[0]


# -- the command line ---------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, words",
    [
        ("tesko-play", ["--level", "4294967296"], "a level is a search depth from 1 to 4294967295"),
        ("tesko-play", ["--level", "abc"], "argument --level: a level is a search depth"),
        (
            "tesko-play",
            ["--ply-limit", "0"],
            "argument --ply-limit: a ply limit is a number of moves",
        ),
        ("tesko-play", ["--ply-limit", "2.5"], "a ply limit"),
        ("tesko-play", ["--side", "x"], "a side is A or B, not 'x'"),
        ("tesko-play", ["--level-b", "3"], "add --watch"),
        ("tesko-play", ["--watch", "--side", "B"], "with --watch you play neither"),
        ("tesko-play", ["--load", "f", "--ply-limit", "5"], "come from the saved game"),
        ("tesko-play", ["--think-time", "0"], "a think time is a number of seconds above 0"),
        ("tesko-play", ["--think-time", "nan"], "a think time"),
        ("tesko-play", ["--bogus"], "unrecognized arguments: --bogus"),
        ("tesko-arena", ["4294967296", "1"], "argument LEVEL_A: a level is a search depth"),
        ("tesko-arena", ["x", "1"], "argument LEVEL_A"),
        ("tesko-arena", ["2", "1", "-j", "0"], "argument -j/--jobs: a number of worker processes"),
        ("tesko-arena", ["2", "1", "-n", "-3"], "argument -n/--games"),
        ("tesko-arena", ["2"], "required: LEVEL_B"),
    ],
)
def test_bad_arguments_give_one_line_and_status_2(name, args, words):
    proc = run(name, *args)
    assert proc.returncode == 2 and proc.stdout == b""
    line = one_clean_line(proc.stderr)
    assert line.startswith(f"{name}: ") and words in line
    assert f"see '{name} --help'" in line
    # Nothing of the program's insides shows through.
    assert "_level" not in line and "<lambda>" not in line and "invalid" not in line


@pytest.mark.parametrize("name", ["tesko-play", "tesko-arena"])
def test_version(name):
    proc = run(name, "--version")
    assert proc.returncode == 0
    assert proc.stdout.decode().startswith(f"{name} ")


def test_python_m_tesko_tools_points_at_the_commands():
    proc = subprocess.run([sys.executable, "-m", "tesko_tools"], capture_output=True, timeout=60)
    assert proc.returncode == 0 and b"tesko-play" in proc.stdout and b"tesko-arena" in proc.stdout
    proc = subprocess.run(
        [sys.executable, "-m", "tesko_tools", "arena", "1", "1", "-n", "2", "-q"],
        capture_output=True,
        timeout=60,
    )
    assert proc.returncode == 0 and proc.stdout.startswith(b"A, level 1 against B, level 1")
    proc = subprocess.run(
        [sys.executable, "-m", "tesko_tools", "serve"], capture_output=True, timeout=60
    )
    assert proc.returncode == 2 and "the commands are play and arena" in one_clean_line(proc.stderr)


# -- streams ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, redirect, stdin, words",
    [
        ("tesko-play", [], "<&-", b"", "standard input is closed"),
        ("tesko-play", [], "", b"A1\xff\xfe\n", "standard input is not UTF-8 text"),
        ("tesko-play", ["--watch"], ">&-", b"", "standard output is closed"),
        ("tesko-play", ["--watch"], ">/dev/full", b"", "No space left on device"),
        ("tesko-arena", ["2", "1", "-n", "4", "-q"], ">&-", b"", "standard output is closed"),
        ("tesko-arena", ["2", "1", "-n", "4", "-q"], ">/dev/full", b"", "No space left on device"),
    ],
)
def test_bad_streams_give_one_line_and_status_1(name, args, redirect, stdin, words):
    if redirect == ">/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    proc = run(name, *args, stdin=stdin, shell_redirect=redirect)
    assert proc.returncode == 1
    assert words in one_clean_line(proc.stderr)


def test_arena_without_stderr_still_reports():
    proc = run("tesko-arena", "2", "1", "-n", "4", shell_redirect="2>&-")
    assert proc.returncode == 0
    assert b"4 games" in proc.stdout and b"endings:" in proc.stdout


def test_arena_progress_is_plain_lines_off_a_terminal():
    proc = run("tesko-arena", "1", "1", "-n", "20")
    assert proc.returncode == 0
    lines = proc.stderr.decode().splitlines()
    assert b"\r" not in proc.stderr and 1 <= len(lines) <= 10
    assert lines[-1].startswith("20/20 games")


@pytest.mark.parametrize(
    "name, args",
    [("tesko-arena", ["2", "1", "-n", "6", "-q"]), ("tesko-play", ["--watch", "--level", "1"])],
)
def test_a_reader_that_goes_away_ends_the_tool_quietly(name, args):
    proc = subprocess.Popen(
        command(name) + args,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
    )
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.close()  # like `| head -0`: the first write breaks the pipe
    err = proc.stderr.read()
    assert proc.wait(timeout=120) == 1
    assert b"Traceback" not in err and b"Exception ignored" not in err


# -- saves and resumed games -------------------------------------------------------------


def sweep(rounds: int = 20, lower: bool = False) -> bytes:
    # Whatever the deal, sweeping the 12 slots finds legal moves in turn.
    slots = [f"  {s.lower()} " if lower else s for s in SLOTS]
    return ("\n".join(slots * rounds) + "\n").encode()


def test_save_is_checked_before_the_game_starts(tmp_path):
    for target, words in (
        (tmp_path / "no" / "such" / "g.txt", "no folder"),
        (tmp_path, "it is a folder"),
    ):
        proc = run("tesko-play", "--level", "1", "--save", str(target), stdin=sweep())
        assert proc.returncode == 1 and proc.stdout == b""  # no game was played
        assert words in one_clean_line(proc.stderr)


@pytest.mark.parametrize(
    "ending, stdin",
    [
        ("End of input: game abandoned.", b"A1\nB1\nC1\nA2\n"),
        ("Game abandoned.", b"A1\nB1\nC1\nA2\nquit\n"),
    ],
)
def test_a_game_left_early_is_on_disk_and_the_engine_continues_it(tmp_path, ending, stdin):
    saved = tmp_path / "game.txt"
    proc = run("tesko-play", "--level", "2", "--save", str(saved), stdin=stdin)
    assert proc.returncode == 0 and proc.stderr == b""
    out = proc.stdout.decode()
    assert ending in out and f"'tesko-play --load {saved}' continues it" in out
    left = Game.load(saved.read_text(encoding="utf-8"), engine=False)
    assert not left.over
    # Every move shown was saved: the board is drawn at the start and after
    # each move.
    assert out.count("     1       2       3       4\n") == 1 + left.plies

    proc = run("tesko-play", "--load", str(saved), "--watch", "--level", "2", "--save", str(saved))
    assert proc.returncode == 0, proc.stderr
    assert (
        f"Continuing the game saved in {saved}: {left.plies} moves played." in proc.stdout.decode()
    )
    done = Game.load(saved.read_text(encoding="utf-8"), engine=False)
    assert done.over and done.history[: len(left.history)] == left.history


def test_moves_in_any_case_with_spaces_and_a_hint_for_a_doubled_slot(tmp_path):
    saved = tmp_path / "g.txt"
    stdin = b"a1a1\n" + sweep(lower=True)  # A1 holds a card at the deal
    proc = run("tesko-play", "--level", "1", "--ply-limit", "4", "--save", str(saved), stdin=stdin)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.decode()
    assert "Coordenada inválida." not in out  # lower case slots are read as slots
    assert "Não podes virar a própria Figura.\n" in out
    assert "Game over after 4 moves" in out
    assert Game.load(saved.read_text(encoding="utf-8"), engine=False).plies == 4


def test_ctrl_c_keeps_the_game_on_disk(tmp_path):
    saved = tmp_path / "g.txt"
    proc = subprocess.Popen(
        command("tesko-play") + ["--level", "1", "--save", str(saved)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout is not None and proc.stdin is not None
    seen = b""
    while not seen.endswith(b"to move> "):
        char = proc.stdout.read(1)
        assert char, "no prompt"
        seen += char
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and b"Traceback" not in err
    assert b"Interrupted: game abandoned." in out
    assert Game.load(saved.read_text(encoding="utf-8"), engine=False).plies == 0


def test_a_failing_save_leaves_the_previous_file_whole(tmp_path, monkeypatch):
    target = tmp_path / "g.txt"
    target.write_text("the previous record\n", encoding="utf-8")
    real_fsync = os.fsync

    def disk_full(fd: int) -> None:
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "fsync", disk_full)
    with pytest.raises(OSError):
        _cli.write_atomically(str(target), "a new record\n" * 1000)
    assert target.read_text(encoding="utf-8") == "the previous record\n"
    assert os.listdir(tmp_path) == ["g.txt"]  # no temporary file left behind

    monkeypatch.setattr(os, "fsync", real_fsync)
    target.chmod(0o640)
    _cli.write_atomically(str(target), "a new record\n")
    assert target.read_text(encoding="utf-8") == "a new record\n"
    assert target.stat().st_mode & 0o777 == 0o640 and os.listdir(tmp_path) == ["g.txt"]


def test_an_unreadable_or_broken_record_is_one_line(tmp_path):
    broken = tmp_path / "broken.txt"
    broken.write_text("tesko game\nversion: 7\n", encoding="utf-8")
    binary = tmp_path / "binary.txt"
    binary.write_bytes(b"\xff\xfe\x00")
    for path, words in (
        (tmp_path / "missing.txt", "No such file"),
        (broken, "record version '7'"),
        (binary, "not UTF-8 text"),
    ):
        proc = run("tesko-play", "--watch", "--load", str(path))
        assert proc.returncode == 1 and words in one_clean_line(proc.stderr)


# -- what a terminal shows ------------------------------------------------------------------


def on_a_terminal(args: list[str], env: dict[str, str], until: bytes) -> bytes:
    """Run tesko-play on a pseudo-terminal until `until` shows; its output."""
    leader, follower = pty.openpty()
    proc = subprocess.Popen(
        command("tesko-play") + args,
        stdin=follower,
        stdout=follower,
        stderr=follower,
        env={**os.environ, "TERM": "xterm", **env},
        close_fds=True,
    )
    os.close(follower)
    seen = b""
    deadline = time.monotonic() + 60
    try:
        while until not in seen and time.monotonic() < deadline:
            ready, _, _ = select.select([leader], [], [], 1)
            if ready:
                try:
                    seen += os.read(leader, 4096)
                except OSError:
                    break
    finally:
        proc.kill()
        proc.wait(timeout=30)
        os.close(leader)
    return seen


@pytest.mark.parametrize("no_color, coloured", [("", True), ("1", False)])
def test_colour_on_a_terminal_unless_no_color(no_color, coloured):
    env = {"NO_COLOR": no_color} if no_color else {}
    if not no_color:
        env["NO_COLOR"] = ""  # set but empty: colour stays on
    seen = on_a_terminal(["--level", "1"], env, b"to move> ")
    assert b"to move> " in seen
    assert (b"\x1b[" in seen) is coloured


@pytest.mark.parametrize(
    "move, expected",
    [
        ("A1A1", "(to play your Normal card in A1, type A1)"),
        ("a2a2", None),  # not upper case: the engine's answer is another one
        ("A2A2", "(your Figure in A2 is used on another card: A2 then its slot, as in A2A1)"),
        ("B1B1", "(to take your face-down card in B1 off, type B1)"),
        ("B2B2", "(to take the face-down card in B2 off, type B2)"),
        ("A3A3", None),  # the opponent's face-up card: the message is right
        ("C4C4", None),  # an empty slot
    ],
)
def test_a_hint_follows_the_message_for_a_doubled_slot(move, expected):
    rows = ["[ AN ][ AF ][ BN ][ AN ]", "[ AN ][ BN ][ BF ][ AF ]", "[ BN ][ BF ][ BN ][  --  ]"]
    layout = "   1   2   3   4\n" + "".join(f"{r} {row}\n" for r, row in zip("ABC", rows))
    game = Game.from_layout(layout, first=Player.B)
    game.play("B3B1")  # B's Figure turns A's B1 down, and itself
    game.play("B4B2")  # A's Figure turns B's B2 down, and itself
    game.play("B3")  # B takes its own face-down Figure off: A to move
    with pytest.raises(ValueError) as refused:
        game.play(move)
    found = hint(game, move, str(refused.value))
    if expected is None:
        assert found is None
    else:
        assert found is not None and found.startswith(expected)


def test_the_board_drawing_lines_up_and_marks_the_last_move():
    game = Game()
    game.play(next(m for m in game.legal_moves() if len(m) == 4))
    lines = draw(game).splitlines()
    header, rows = lines[0], lines[1:]
    for row in rows:
        assert len(row) == 2 + 4 * 8
        for col in range(4):
            cell = row[2 + 8 * col : 10 + 8 * col]
            assert cell[0] in "[>" and cell[-1] in "]<"
            # The column digit stands over the cell's middle.
            assert header[2 + 8 * col + 3] == "1234"[col]
    last = game.history[-1].move
    assert last is not None
    marked = {
        "ABC"[r] + "1234"[c]
        for r, row in enumerate(rows)
        for c in range(4)
        if row[2 + 8 * c] == ">"
    }
    assert marked == {last[:2], last[2:]}
    assert "\x1b" not in draw(game) and "\x1b[" in draw(game, colour=True)


# -- the arena's worker processes ---------------------------------------------------------------


def check_consistent(data: dict, games: int) -> None:
    a, b = data["a"], data["b"]
    assert data["games"] == games
    assert a["wins"] + data["draws"] + b["wins"] == games
    assert a["first"] + b["first"] == games
    assert sum(data["endings"].values()) == games
    assert a["moves"] + b["moves"] == round(data["mean_plies"] * games)


def test_arena_in_two_processes_counts_every_game_once():
    proc = run("tesko-arena", "2", "1", "-n", "30", "-j", "2", "--json", "-q")
    assert proc.returncode == 0 and proc.stderr == b""
    data = json.loads(proc.stdout)
    check_consistent(data, 30)
    assert data["a"]["first"] == data["b"]["first"] == 15
    assert data["interrupted"] is False and data["think_time"] is None
    single = json.loads(run("tesko-arena", "2", "1", "-n", "2", "-j", "1", "--json", "-q").stdout)
    assert single.keys() == data.keys() and single["a"].keys() == data["a"].keys()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_arena_ctrl_c_prints_the_games_finished_so_far(jobs):
    proc = subprocess.Popen(
        command("tesko-arena") + ["3", "3", "-n", "2000", "-j", jobs, "--json"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stderr is not None
    first = proc.stderr.readline()  # a progress line: a tenth of the games are done
    assert first.startswith(b"200/2000 games"), first
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and b"Traceback" not in err
    data = json.loads(out)
    assert data["interrupted"] is True and 200 <= data["games"] < 2000
    check_consistent(data, data["games"])


def test_arena_think_time():
    proc = run(
        "tesko-arena", "30", "1", "-n", "2", "-j", "1", "--think-time", "0.05", "--json", "-q"
    )
    assert proc.returncode == 0, proc.stderr
    data = json.loads(proc.stdout)
    check_consistent(data, 2)
    assert data["think_time"] == 0.05


@pytest.mark.parametrize(
    "name, page, heading",
    [
        ("tesko-play", "docs/playing.md", "## In the terminal: `tesko-play`"),
        ("tesko-arena", "docs/levels.md", "## `tesko-arena`"),
    ],
)
def test_docs_mention_every_option(name, page, heading):
    text = section(page, heading)
    helptext = run(name, "--help").stdout.decode()
    for option in set(re.findall(r"--[a-z][a-z-]*", helptext)) - {"--help"}:
        assert option in text, f"{name} {option} is not in {page}"
