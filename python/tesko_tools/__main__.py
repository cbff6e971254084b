"""`python -m tesko_tools`: which commands there are, or one of them by name
(`python -m tesko_tools play --watch`)."""

from __future__ import annotations

import sys

from . import _cli

USAGE = """\
usage: python -m tesko_tools {play,arena} [ARGS...]

tesko_tools is the referee and the terminal tools of the tesko engine:
  tesko-play    a game against the engine in the terminal
                (python -m tesko_tools play --help)
  tesko-arena   the engine against itself at two levels
                (python -m tesko_tools arena --help)
"""


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args[:1] == ["play"]:
        from .play import main as play

        return play(args[1:])
    if args[:1] == ["arena"]:
        from .arena import main as arena

        return arena(args[1:])

    def usage() -> int:
        if not args or args[0] in ("-h", "--help"):
            sys.stdout.write(USAGE)
            return 0
        if args[0] == "--version":
            sys.stdout.write(f"tesko_tools {_cli.version()}\n")
            return 0
        raise _cli.ToolError(f"no command {args[0]!r}: the commands are play and arena", _cli.USAGE)

    return _cli.run("tesko_tools", usage)


if __name__ == "__main__":
    raise SystemExit(main())
