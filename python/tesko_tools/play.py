"""tesko-play: a game against the engine in the terminal.

The human types moves as "A1" (play or take the card in A1) or "A1A4" (use
the Figure in A1 on the card in A4), in either case; refused moves are
answered with the engine's own message. `--watch` lets the engine play both
sides instead, and `--review FILE` prints the engine's view of every move
of a saved game. Input may come from a pipe or a file: each line read is
echoed, so the transcript reads like a session at the keyboard.
"""

from __future__ import annotations

import argparse
import signal
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import TextIO

from tesko import CardType, Player

from . import _cli
from ._cli import Parser, ToolError
from .arena import format_duration
from .game import DEFAULT_PLY_LIMIT, DealNotFound, Game, RecordError
from .review import REVIEW_DEPTH, review
from .rules import COLS, PLAYERS, ROWS, SAME_SLOT, SLOTS, opponent, parse_player, player_name

HELP = """\
Moves:
  A1      play your face-up Normal card in A1 (it turns face down and turns
          over its neighbours above, below, left and right), or take any
          face-down card in A1 off the grid
  A1A4    use your face-up Figure in A1 on the card in A4: both turn over
Rows are A to C, columns 1 to 4; a1 and A1 are the same.
Commands:
  moves   list your legal moves
  board   show the board again
  help    this text
  quit    leave the game (with --save, the game so far is in the file)
A side left with no cards loses; a side with no move passes. When neither
side can move, or after the ply limit, the side with more material wins
(Normal 10, Figure 15, face-down cards count too). On the board, > < marks
the slots of the last move."""

_COLOURS = ("36", "33")  # A cyan, B yellow


def _cards(count: int) -> str:
    return "1 card" if count == 1 else f"{count} cards"


def draw(game: Game, colour: bool = False) -> str:
    """The board as the tool draws it: every cell 8 wide under its column
    digit, the last move's slots marked > <, each side's cards in its colour
    when `colour`. (The engine's own rendering, str(game), is left as it is.)"""
    last = game.last_move
    marked = set()
    if last is not None and last.move is not None:
        marked = {last.move[:2], last.move[2:]} - {""}

    def paint(text: str, code: str) -> str:
        return f"\033[{code}m{text}\033[0m" if colour else text

    lines = [("  " + "".join(f"   {col}    " for col in COLS)).rstrip()]
    for row in ROWS:
        cells = []
        for col in COLS:
            slot = row + col
            card = next((c for p in PLAYERS for s, c in game.cards(p).items() if s == slot), None)
            if card is None:
                inside = "  --  "
            elif card.face_up:
                inside = "  " + paint(card.code, "1;" + _COLOURS[int(card.owner)]) + "  "
            else:
                inside = paint("XXXXXX", "2;" + _COLOURS[int(card.owner)])
            left, right = (">", "<") if slot in marked else ("[", "]")
            if slot in marked and colour:
                left, right = paint(left, "1"), paint(right, "1")
            cells.append(left + inside + right)
        lines.append(row + " " + "".join(cells))
    return "\n".join(lines)


def describe(game: Game, colour: bool = False) -> str:
    """The board, then who owns the face-down cards and each side's material."""
    lines = [draw(game, colour)]
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


def normalise(text: str) -> str:
    """A typed move as the engine reads it: upper case, no spaces."""
    return "".join(text.split()).upper()


def hint(game: Game, move: str, message: str) -> str | None:
    """A short English hint where the engine's message can mislead: a move
    that names one slot twice is refused as if it turned a Figure on itself,
    whatever the slot holds."""
    if message != SAME_SLOT or len(move) != 4 or move[:2] not in SLOTS:
        return None
    slot, player = move[:2], game.to_move
    card = None if player is None else game.cards(player).get(slot)
    if card is None:
        other = [p for p in PLAYERS if slot in game.cards(p)]
        if other and not game.cards(other[0])[slot].face_up:
            return f"(to take the face-down card in {slot} off, type {slot})"
        return None
    if not card.face_up:
        return f"(to take your face-down card in {slot} off, type {slot})"
    if card.kind == CardType.Normal:
        return f"(to play your Normal card in {slot}, type {slot})"
    example = next((m for m in game.legal_moves() if m.startswith(slot)), slot + "A1")
    return f"(your Figure in {slot} is used on another card: {slot} then its slot, as in {example})"


class Session:
    """One run of the tool: the game, where it goes and where it is saved."""

    def __init__(self, game: Game, out: TextIO, save: str | None, save_name: str | None) -> None:
        self.game = game
        self.out = out
        self.save_path = save
        self.save_name = save_name
        self.colour = _cli.use_colour(out)
        self.live = _cli.is_tty(out)
        self.seen = 0

    def say(self, text: str) -> None:
        print(text, file=self.out)

    def show(self) -> None:
        self.say(describe(self.game, self.colour))
        for turn in self.game.history[self.seen :]:
            if turn.is_pass:
                self.say(f"{player_name(turn.player)} has no legal move and passes.")
        self.seen = len(self.game.history)

    def save(self) -> None:
        if self.save_path is None:
            return
        try:
            _cli.write_atomically(self.save_path, self.game.save())
        except OSError as err:
            raise ToolError(
                f"cannot save to {self.save_name}: {err.strerror or err} "
                "(the file keeps the game as last saved)"
            ) from None

    def finish(self) -> int:
        self.say(f"Game over after {self.game.plies} moves: {self.game.result}")
        self.save()
        if self.save_path is not None:
            self.say(f"Saved to {self.save_name}")
        return 0

    def leave(self, why: str) -> None:
        """The game is left before its end: say so, and keep it on disk."""
        self.say(why)
        self.save()
        if self.save_path is not None:
            self.say(
                f"Saved to {self.save_name}; 'tesko-play --load {self.save_name}' continues it"
            )

    def bot_turn(self, depth: int, think_time: float | None) -> None:
        player = self.game.to_move
        assert player is not None
        with self.thinking(player):
            choice = self.game.play_bot(depth, think_time=think_time)
        level = f"level {depth}"
        if think_time is not None:
            level += f", depth {choice.depth}"
        self.say(
            f"{player_name(player)} ({level}) plays {choice.move} "
            f"({format_duration(choice.seconds)})"
        )
        self.save()
        self.show()

    @contextmanager
    def thinking(self, player: Player) -> Iterator[None]:
        """On a terminal, a "thinking…" line with the time so far while the
        engine searches. The search holds the interpreter for its whole run,
        so the line is redrawn from a CPU-time timer's signal, which the
        search lets through every few thousand nodes."""
        if not self.live or not hasattr(signal, "setitimer"):
            yield
            return
        start = time.perf_counter()
        shown = False

        def redraw(signum: int, frame: object) -> None:
            nonlocal shown
            shown = True
            elapsed = time.perf_counter() - start
            self.out.write(f"\r{player_name(player)} is thinking… {elapsed:.1f} s")
            self.out.flush()

        previous = signal.signal(signal.SIGPROF, redraw)
        signal.setitimer(signal.ITIMER_PROF, 0.3, 0.1)
        try:
            yield
        finally:
            signal.setitimer(signal.ITIMER_PROF, 0)
            signal.signal(signal.SIGPROF, previous if previous is not None else signal.SIG_DFL)
            if shown:
                self.out.write("\r\033[K")
                self.out.flush()


def watch(session: Session, levels: tuple[int, int], think_time: float | None) -> int:
    game = session.game
    session.show()
    while not game.over:
        player = game.to_move
        assert player is not None
        session.bot_turn(levels[int(player)], think_time)
    return session.finish()


class Input:
    """Lines typed or piped in. On a terminal with the readline module, the
    line can be edited and earlier lines recalled; otherwise each line read
    is echoed after the prompt."""

    def __init__(self, stdin: TextIO | None, out: TextIO) -> None:
        if stdin is None:
            raise ToolError("standard input is closed: nothing to read moves from (try --watch)")
        self.stdin = stdin
        self.out = out
        self.terminal = _cli.is_tty(stdin) and _cli.is_tty(out)
        self.echo = not _cli.is_tty(stdin)
        if self.terminal:
            try:
                import readline  # noqa: F401  (input() edits lines once it is loaded)
            except ImportError:
                pass

    def read(self, prompt: str) -> str:
        try:
            if self.terminal:
                return input(prompt)
            self.out.write(prompt)
            self.out.flush()
            line = self.stdin.readline()
        except UnicodeDecodeError:
            raise ToolError("standard input is not UTF-8 text") from None
        except OSError as err:
            raise ToolError(f"cannot read standard input: {err.strerror or err}") from None
        if not line:
            raise EOFError
        if self.echo:
            self.out.write(line if line.endswith("\n") else line + "\n")
        return line


def interactive(
    session: Session, human: Player, level: int, think_time: float | None, lines: Input
) -> int:
    game = session.game
    engine = opponent(human)
    session.say(
        f"You play {player_name(human)}; the engine plays {player_name(engine)} "
        f"at level {level}. Type 'help' for help."
    )
    session.show()
    while not game.over:
        if game.to_move != human:
            session.bot_turn(level, think_time)
            continue
        text = lines.read(f"{player_name(human)} to move> ")
        command = text.strip().lower()
        if not command:
            continue
        if command in ("quit", "exit", "q"):
            session.leave("Game abandoned.")
            return 0
        if command in ("help", "?", "h"):
            session.say(HELP)
        elif command == "moves":
            session.say("Legal moves: " + " ".join(game.legal_moves()))
        elif command == "board":
            session.show()
        else:
            move = normalise(text)
            try:
                game.play(move)
            except UnicodeEncodeError:
                session.say("That is not text that a move can be made of.")
                continue
            except ValueError as err:
                session.say(str(err))
                extra = hint(game, move, str(err))
                if extra:
                    session.say(extra)
                continue
            session.save()
            session.show()
    return session.finish()


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="tesko-play",
        description="Play tesko against the engine in the terminal.",
        epilog="Moves are typed as A1 or A1A4; 'help' at the prompt explains them.",
    )
    parser.add_argument(
        "--side",
        type=_side,
        metavar="SIDE",
        help="the side you play, A or B (default A)",
    )
    parser.add_argument(
        "--level",
        type=_cli.level,
        default=3,
        metavar="N",
        help="the engine's search depth (default 3)",
    )
    parser.add_argument(
        "--first", type=_side, metavar="SIDE", help="the side that moves first (default A)"
    )
    parser.add_argument(
        "--watch", action="store_true", help="let the engine play both sides to the end"
    )
    parser.add_argument(
        "--level-b",
        type=_cli.level,
        metavar="N",
        help="with --watch: B's search depth (default: --level)",
    )
    parser.add_argument(
        "--ply-limit",
        type=_cli.ply_limit,
        metavar="N",
        help="moves before the game is decided on material (default 200)",
    )
    parser.add_argument(
        "--think-time",
        type=_cli.seconds,
        metavar="SECONDS",
        help="at most this long per engine move: the deepest search up to the level "
        "that finishes in time plays",
    )
    parser.add_argument(
        "--save",
        metavar="FILE",
        help="keep the game in FILE, saved after every move and when you leave",
    )
    parser.add_argument(
        "--load", metavar="FILE", help="continue the game saved in FILE (see --save)"
    )
    parser.add_argument(
        "--review",
        metavar="FILE",
        help="print the engine's view of every move of the game saved in FILE "
        f"(searched {REVIEW_DEPTH} plies deep) and leave",
    )
    parser.add_argument("--version", action=_cli.VersionAction)
    return parser


def _side(text: str) -> Player:
    try:
        return parse_player(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a side is A or B, not {text!r}") from None


def _load(path: str, *, engine: bool = True) -> Game:
    try:
        with open(path, encoding="utf-8") as fh:
            text = fh.read(1 << 24)
    except UnicodeDecodeError:
        raise ToolError(f"cannot load {path}: not UTF-8 text") from None
    except OSError as err:
        raise ToolError(f"cannot load {path}: {err.strerror or err}") from None
    try:
        if not engine:
            return Game.load(text, engine=False)
        return Game.load(text, room_id="tesko-play")
    except RecordError as err:
        raise ToolError(f"cannot load {path}: {err}") from None
    except DealNotFound as err:
        raise ToolError(f"cannot load {path}: {err}") from None


def _review(path: str, out: TextIO) -> int:
    game = _load(path, engine=False)
    state = str(game.result) if game.result is not None else "unfinished"
    turns = len(game.history)
    out.write(f"{path}: {turns} turn{'' if turns == 1 else 's'}, {state}\n\n")
    out.write(review(game).report() + "\n")
    return 0


def _text_streams() -> None:
    # Moves are read as UTF-8 whatever the locale says, and anything else
    # ends the game with one line; the engine's Portuguese messages still
    # print on a terminal that cannot show every letter.
    for stream, settings in (
        (sys.stdin, {"encoding": "utf-8", "errors": "strict"}),
        (sys.stdout, {"errors": "replace"}),
    ):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            try:
                reconfigure(**settings)
            except (OSError, ValueError):
                pass


def main(argv: Sequence[str] | None = None) -> int:
    return _cli.run("tesko-play", lambda: _main(argv))


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.level_b is not None and not args.watch:
        parser.error("--level-b sets B's level when the engine plays both sides: add --watch")
    if args.side is not None and args.watch:
        parser.error("--side chooses your side, and with --watch you play neither")
    if args.load is not None and (args.first is not None or args.ply_limit is not None):
        parser.error("--first and --ply-limit come from the saved game with --load")
    out = sys.stdout
    _text_streams()
    if args.review is not None:
        given = [
            f"--{name.replace('_', '-')}"
            for name in ("side", "first", "ply_limit", "level_b", "think_time", "save", "load")
            if getattr(args, name) is not None
        ] + ["--watch"] * args.watch
        if given:
            parser.error(f"--review prints a saved game's review; it takes no {given[0]}")
        return _review(args.review, out)
    save = None if args.save is None else _cli.check_save_path(args.save)
    lines = None if args.watch else Input(sys.stdin, out)
    if args.load is not None:
        game = _load(args.load)
    else:
        game = Game(
            first=Player.A if args.first is None else args.first,
            ply_limit=DEFAULT_PLY_LIMIT if args.ply_limit is None else args.ply_limit,
            room_id="tesko-play",
        )
    session = Session(game, out, save, args.save)
    if args.load is not None:
        session.say(f"Continuing the game saved in {args.load}: {game.plies} moves played.")
    try:
        session.save()
        if game.over:
            session.show()
            return session.finish()
        if args.watch:
            level_b = args.level if args.level_b is None else args.level_b
            return watch(session, (args.level, level_b), args.think_time)
        assert lines is not None
        human = Player.A if args.side is None else args.side
        return interactive(session, human, args.level, args.think_time, lines)
    except EOFError:
        session.leave("\nEnd of input: game abandoned.")
        return 0
    except KeyboardInterrupt:
        session.leave("\nInterrupted: game abandoned.")
        return _cli.INTERRUPTED


if __name__ == "__main__":
    raise SystemExit(main())
