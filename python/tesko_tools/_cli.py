"""What tesko-play and tesko-arena share: argument types, one-line errors,
guarded standard streams, atomic saves and colour."""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import traceback
from collections.abc import Callable
from typing import NoReturn, TextIO

from .game import MAX_DEPTH, MAX_PLY_LIMIT, MAX_THINK_TIME

#: Exit statuses: a bad command line, a failed read or write, Ctrl-C.
USAGE, IO_ERROR, INTERRUPTED = 2, 1, 130


class ToolError(Exception):
    """A failure to report in one line and leave with `status`."""

    def __init__(self, message: str, status: int = IO_ERROR) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr, status 2."""

    def error(self, message: str) -> NoReturn:
        raise ToolError(f"{message} (see '{self.prog} --help')", USAGE)


class VersionAction(argparse.Action):
    """--version: looks the installed version up only when asked."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and leave")

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        print(f"{parser.prog} {version()}")
        parser.exit()


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("tesko")
    except PackageNotFoundError:
        return "(not installed)"


def _whole(text: str, what: str, low: int, high: int) -> int:
    text = text.strip()
    if not (text.isascii() and text.isdigit()) or len(text) > 10 or not low <= int(text) <= high:
        raise argparse.ArgumentTypeError(f"{what} from {low} to {high}, not {text!r}")
    return int(text)


def level(text: str) -> int:
    """A search depth."""
    return _whole(text, "a level is a search depth", 1, MAX_DEPTH)


def ply_limit(text: str) -> int:
    return _whole(text, "a ply limit is a number of moves", 1, MAX_PLY_LIMIT)


def games(text: str) -> int:
    return _whole(text, "a number of games", 1, 10**9)


def jobs(text: str) -> int:
    return _whole(text, "a number of worker processes", 1, 1024)


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and 0 < value <= MAX_THINK_TIME):
        raise argparse.ArgumentTypeError(
            f"a think time is a number of seconds above 0 and at most {MAX_THINK_TIME:g}, "
            f"not {text!r}"
        )
    return value


def use_colour(stream: TextIO | None) -> bool:
    """Colour on a terminal, unless NO_COLOR is set (to anything) or the
    terminal is dumb."""
    if stream is None or os.environ.get("NO_COLOR", "") != "":
        return False
    if os.environ.get("TERM") == "dumb":
        return False
    try:
        return stream.isatty()
    except (OSError, ValueError):
        return False


def is_tty(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False


def check_save_path(path: str) -> str:
    """The file a save to `path` replaces (symbolic links followed), checked
    now so that a game is not played for nothing: ToolError if it cannot be
    written."""
    target = os.path.realpath(path)
    folder = os.path.dirname(target) or "."
    if os.path.isdir(target):
        raise ToolError(f"cannot save to {path}: it is a folder")
    if not os.path.isdir(folder):
        raise ToolError(f"cannot save to {path}: no folder {folder}")
    if os.path.exists(target):
        if not os.path.isfile(target):
            raise ToolError(f"cannot save to {path}: not a regular file")
        if not os.access(target, os.W_OK):
            raise ToolError(f"cannot save to {path}: the file is read-only")
    try:
        fd, probe = tempfile.mkstemp(dir=folder, prefix=".tesko-", suffix=".tmp")
    except OSError as err:
        raise ToolError(f"cannot save to {path}: {err.strerror or err}") from None
    os.close(fd)
    os.unlink(probe)
    return target


def write_atomically(target: str, text: str) -> None:
    """Replace `target` by a file holding `text`: written to a temporary file
    in the same folder, then renamed over it, so `target` always holds a
    whole text, the old one or the new. OSError when that fails."""
    folder = os.path.dirname(target) or "."
    fd, temporary = tempfile.mkstemp(
        dir=folder, prefix="." + os.path.basename(target) + ".", suffix=".tmp"
    )
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            fh.write(text)
            fh.flush()
            os.fsync(fh.fileno())
        try:
            mode = os.stat(target).st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _quiet_stdout() -> None:
    # Whatever is still buffered for a stdout that failed (a closed pipe, a
    # full disk) goes nowhere, so that the interpreter's last flush at exit
    # does not fail again with a message of its own.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def report(prog: str, message: str) -> None:
    """One line on stderr, if there is a stderr to write to."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(f"{prog}: {message}\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def run(prog: str, body: Callable[[], int]) -> int:
    """Run a tool's `body`, turning every way it can fail into one line on
    stderr and an exit status: 2 for the command line, 1 for a stream or a
    file, 130 for Ctrl-C. No traceback reaches the person at the terminal
    (TESKO_DEBUG=1 shows it for internal errors)."""
    if sys.stdout is None:
        report(prog, "standard output is closed")
        return IO_ERROR
    try:
        status = body()
        sys.stdout.flush()
        return status
    except ToolError as err:
        _flush_quietly()
        report(prog, str(err))
        return err.status
    except BrokenPipeError:
        # The reader went away (`tesko-arena ... | head -1`): stop quietly.
        _quiet_stdout()
        return IO_ERROR
    except KeyboardInterrupt:
        _flush_quietly()
        report(prog, "interrupted")
        return INTERRUPTED
    except OSError as err:
        _quiet_stdout()
        report(prog, f"cannot write to standard output: {err.strerror or err}")
        return IO_ERROR
    except Exception as err:
        _flush_quietly()
        if os.environ.get("TESKO_DEBUG"):
            traceback.print_exc()
        report(
            prog,
            f"internal error: {type(err).__name__}: {err} (TESKO_DEBUG=1 shows where)",
        )
        return IO_ERROR


def _flush_quietly() -> None:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        _quiet_stdout()
