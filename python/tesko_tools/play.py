"""tesko-play: a game against the engine in the terminal.

The human types moves as "A1" (play or take the card in A1) or "A1A4" (use
the Figure in A1 on the card in A4); refused moves are answered with the
engine's own message. `--watch` lets the engine play both sides instead.
Input may come from a pipe or a file: each line read is echoed, so the
transcript reads like a session at the keyboard.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import TextIO

from tesko import Player

from .arena import format_duration
from .game import Game
from .rules import PLAYERS, opponent, parse_player, player_name

HELP = """\
Moves:
  A1      play your face-up Normal card in A1 (it turns face down and turns
          over its neighbours above, below, left and right), or take any
          face-down card in A1 off the grid
  A1A4    use your face-up Figure in A1 on the card in A4: both turn over
Rows are A to C, columns 1 to 4, in capitals.
Commands:
  moves   list your legal moves
  board   show the board again
  help    this text
  quit    leave the game
A side left with no cards loses; a side with no move passes. When neither
side can move, or after the ply limit, the side with more material wins
(Normal 10, Figure 15, face-down cards count too)."""


def _cards(count: int) -> str:
    return "1 card" if count == 1 else f"{count} cards"


def describe(game: Game) -> str:
    """The board, then who owns the face-down cards and each side's material."""
    lines = [str(game).rstrip("\n")]
    hidden = [
        f"{slot} {card.code}"
        for player in PLAYERS
        for slot, card in game.cards(player).items()
        if not card.face_up
    ]
    if hidden:
        lines.append("face down: " + ", ".join(sorted(hidden)))
    lines.append(
        " | ".join(
            f"{player_name(p)}: {_cards(len(game.cards(p)))}, material {game.material(p)}"
            for p in PLAYERS
        )
    )
    return "\n".join(lines)


def _passes_since(game: Game, seen: int, out: TextIO) -> int:
    for turn in game.history[seen:]:
        if turn.is_pass:
            print(f"{player_name(turn.player)} has no legal move and passes.", file=out)
    return len(game.history)


def _finish(game: Game, out: TextIO, save: str | None) -> None:
    print(f"Game over after {game.plies} moves: {game.result}", file=out)
    if save:
        with open(save, "w", encoding="utf-8") as fh:
            fh.write(game.save())
        print(f"Saved to {save}", file=out)


def _bot_turn(game: Game, depth: int, out: TextIO) -> None:
    player = game.to_move
    assert player is not None
    choice = game.play_bot(depth)
    print(
        f"{player_name(player)} (level {depth}) plays {choice.move} "
        f"({format_duration(choice.seconds)})",
        file=out,
    )


def watch(game: Game, levels: tuple[int, int], out: TextIO, save: str | None) -> int:
    print(describe(game), file=out)
    seen = _passes_since(game, 0, out)
    while not game.over:
        player = game.to_move
        assert player is not None
        _bot_turn(game, levels[int(player)], out)
        print(describe(game), file=out)
        seen = _passes_since(game, seen, out)
    _finish(game, out, save)
    return 0


def _read(prompt: str, stdin: TextIO, out: TextIO, echo: bool) -> str:
    out.write(prompt)
    out.flush()
    line = stdin.readline()
    if not line:
        raise EOFError
    if echo:
        out.write(line if line.endswith("\n") else line + "\n")
    return line.strip()


def interactive(
    game: Game, human: Player, level: int, stdin: TextIO, out: TextIO, save: str | None
) -> int:
    echo = not stdin.isatty()
    print(
        f"You play {player_name(human)}; the engine plays {player_name(opponent(human))} "
        f"at level {level}. Type 'help' for help.",
        file=out,
    )
    print(describe(game), file=out)
    seen = _passes_since(game, 0, out)
    while not game.over:
        if game.to_move != human:
            _bot_turn(game, level, out)
            print(describe(game), file=out)
            seen = _passes_since(game, seen, out)
            continue
        text = _read(f"{player_name(human)} to move> ", stdin, out, echo)
        command = text.lower()
        if not text:
            continue
        if command in ("quit", "exit", "q"):
            print("Game abandoned.", file=out)
            return 0
        if command in ("help", "?", "h"):
            print(HELP, file=out)
        elif command == "moves":
            print("Legal moves: " + " ".join(game.legal_moves()), file=out)
        elif command == "board":
            print(describe(game), file=out)
        else:
            try:
                game.play(text)
            except ValueError as err:
                print(err, file=out)
                continue
            print(describe(game), file=out)
            seen = _passes_since(game, seen, out)
    _finish(game, out, save)
    return 0


def _level(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("a level is a search depth of 1 or more")
    return value


def _side(text: str) -> Player:
    try:
        return parse_player(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tesko-play",
        description="Play tesko against the engine in the terminal.",
    )
    parser.add_argument(
        "--side", type=_side, default=Player.A, help="the side you play, A or B (default A)"
    )
    parser.add_argument(
        "--level", type=_level, default=3, help="the engine's search depth (default 3)"
    )
    parser.add_argument(
        "--first", type=_side, default=Player.A, help="the side that moves first (default A)"
    )
    parser.add_argument(
        "--watch", action="store_true", help="let the engine play both sides to the end"
    )
    parser.add_argument(
        "--level-b",
        type=_level,
        default=None,
        help="with --watch: B's search depth (default: --level)",
    )
    parser.add_argument(
        "--ply-limit",
        type=_level,
        default=200,
        help="moves before the game is decided on material (default 200)",
    )
    parser.add_argument("--save", metavar="FILE", help="write the finished game to FILE")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out = sys.stdout
    game = Game(first=args.first, ply_limit=args.ply_limit, room_id="tesko-play")
    try:
        if args.watch:
            level_b = args.level if args.level_b is None else args.level_b
            return watch(game, (args.level, level_b), out, args.save)
        return interactive(game, args.side, args.level, sys.stdin, out, args.save)
    except EOFError:
        print("\nEnd of input: game abandoned.", file=out)
        return 0
    except KeyboardInterrupt:
        print("\nInterrupted: game abandoned.", file=out)
        return 130
    except BrokenPipeError:
        # The reader went away (`tesko-play --watch | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    raise SystemExit(main())
