"""The referee: turn order, passes, the end of a game and its result.

The engine checks and carries out moves but keeps no turn order and names
no winner. `Game` adds the host's rules on top of a `tesko.Board`:

- the players alternate, A first unless told otherwise;
- a side left with no cards on the grid (face up or face down) has lost;
- a side with no legal move passes; when neither side can move the game
  ends;
- the game ends after `ply_limit` moves (passes are not counted);
- a game that ends without a loser is won on material (Normal 10,
  Figure 15, face-down cards included), or drawn when both sides have the
  same.

A game can be saved as text (the dealt layout and the turns) and loaded
again. An engine board cannot be set to a layout, but a deal is uniform
over the 207,900 possible layouts and costs about a microsecond, so
`Game.resume` deals boards until the saved layout comes up (about 0.2 s on
average) and replays the saved turns on it.
"""

from __future__ import annotations

import enum
import math
import signal
import threading
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

from tesko import Board, Player

from .rules import (
    PLAYERS,
    Card,
    IllegalMove,
    Position,
    opponent,
    parse_player,
    player_name,
)

DEFAULT_PLY_LIMIT = 200
#: The longest game a Game accepts, in moves.
MAX_PLY_LIMIT = 1_000_000
#: The deepest search the engine takes (its depth is a 32-bit count).
MAX_DEPTH = 2**32 - 1
#: The longest think time `bot_move` accepts, in seconds.
MAX_THINK_TIME = 86_400.0
#: Deals `Game.resume` tries before giving up. A deal matches a given layout
#: with probability 1/207,900, so this many fail together with probability
#: about e^-24, and take about 5 s.
DEAL_ATTEMPTS = 5_000_000

RECORD_TITLE = "tesko game"
#: The record format written by `Game.save`; records without a version line
#: are version 1 too.
RECORD_VERSION = 1


class GameOver(Exception):
    """A move was asked for after the game had ended."""


class RefereeError(RuntimeError):
    """The engine and the referee's model of the rules disagree."""


class RecordError(ValueError):
    """A saved game that cannot be read or does not replay as written."""


class DealNotFound(RuntimeError):
    """No deal matched a saved layout within the allowed attempts."""


class End(enum.Enum):
    """Why a game ended."""

    NO_CARDS = "no cards"
    NO_MOVES = "no moves"
    PLY_LIMIT = "ply limit"
    TIME = "time"
    """The side to move ran out of its time for the move (`Game.forfeit`)."""
    ABANDONED = "abandoned"
    """A player left the game and the other claimed it (`Game.forfeit`)."""


#: The ends that come from outside the rules of play, declared by `Game.forfeit`.
FORFEITS = (End.TIME, End.ABANDONED)


@dataclass(frozen=True)
class Result:
    winner: Player | None
    end: End
    material: tuple[int, int]
    """Material of A and of B when the game ended."""

    @property
    def loser(self) -> Player | None:
        return None if self.winner is None else opponent(self.winner)

    def __str__(self) -> str:
        a, b = self.material
        if self.end in FORFEITS and self.winner is not None:
            gone = player_name(opponent(self.winner))
            if self.end is End.TIME:
                return f"{player_name(self.winner)} wins on time: {gone} ran out of time"
            return f"{player_name(self.winner)} wins: {gone} abandoned the game"
        if self.end is End.NO_CARDS:
            if self.winner is None:
                return "draw: neither side has cards left"
            loser = opponent(self.winner)
            return f"{player_name(self.winner)} wins: {player_name(loser)} has no cards left"
        why = "neither side can move" if self.end is End.NO_MOVES else "ply limit reached"
        if self.winner is None:
            return f"draw on material {a} to {b} ({why})"
        return f"{player_name(self.winner)} wins on material {a} to {b} ({why})"


@dataclass(frozen=True)
class Turn:
    """One entry of the history: a move, or a pass when `move` is None."""

    player: Player
    move: str | None

    @property
    def is_pass(self) -> bool:
        return self.move is None

    def __str__(self) -> str:
        return f"{player_name(self.player)} {self.move or 'pass'}"


@dataclass(frozen=True)
class BotMove:
    """The engine's choice: the move, the wall time it took and the depth of
    the search that chose it (below the depth asked for when a think time
    ran out first)."""

    move: str
    seconds: float
    depth: int


@dataclass(frozen=True)
class Frame:
    """One step of a replay: the turn just taken and the position after it."""

    turn: Turn | None
    """None for the dealt position."""
    board: str
    to_move: Player | None
    material: tuple[int, int]
    result: Result | None


def _shown(value: int) -> str:
    # Huge ints cannot even be turned into text since Python 3.11.
    if abs(value) < 10**18:
        return str(value)
    return "a larger number" if value > 0 else "a smaller number"


def check_int(name: str, value: Any, low: int, high: int) -> int:
    """`value` as an int from `low` to `high`; TypeError or ValueError, with
    the argument's name, otherwise. bool is refused."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {_shown(value)}")
    return int(value)


def check_think_time(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"think_time must be a number of seconds, not {type(value).__name__}")
    if not (math.isfinite(value) and 0 < value <= MAX_THINK_TIME):
        raise ValueError(f"think_time must be above 0 and at most {MAX_THINK_TIME:g} seconds")
    return float(value)


def _check_setup(first: Any, ply_limit: Any) -> tuple[Player, int]:
    if not isinstance(first, Player):
        raise TypeError(f"first must be a Player, not {type(first).__name__}")
    return first, check_int("ply_limit", ply_limit, 1, MAX_PLY_LIMIT)


def _check_room_id(room_id: Any) -> str:
    if not isinstance(room_id, str):
        raise TypeError(f"room_id must be a str, not {type(room_id).__name__}")
    return room_id


def deal(layout: str, *, max_attempts: int = DEAL_ATTEMPTS) -> Board:
    """A fresh `tesko.Board` whose rendering is `layout`, found by dealing
    until it comes up: DealNotFound after `max_attempts` deals."""
    board = deal_all([layout], max_attempts=max_attempts)[0]
    if board is None:
        raise DealNotFound(
            f"no deal matched the saved layout in {max_attempts:,} attempts "
            f"(one deal in 207,900 does, on average); try again"
        )
    return board


def deal_all(layouts: Sequence[str], *, max_attempts: int = DEAL_ATTEMPTS) -> list[Board | None]:
    """Fresh boards rendering as `layouts`, in their order, from one stream
    of deals: each deal serves whichever layout still waits for it, so k
    layouts cost about 1 + ln k times one, not k times. The stream stops
    after `max_attempts` deals for one layout, and after (1 + ln k) times as
    many for k; a layout that did not come up by then gets None."""
    max_attempts = check_int("max_attempts", max_attempts, 1, 2**63)
    waiting: dict[str, list[int]] = {}
    for index, layout in enumerate(layouts):
        waiting.setdefault(layout, []).append(index)
    boards: list[Board | None] = [None] * len(layouts)
    missing = len(layouts)
    bound = max_attempts if missing <= 1 else int(max_attempts * (1 + math.log(missing)))
    new_board, text, wanted = Board, str, waiting.get
    tries = 0
    while missing and tries < bound:
        board = new_board()
        tries += 1
        slots = wanted(text(board))
        if slots:
            boards[slots.pop()] = board
            missing -= 1
    return boards


class _OutOfTime(Exception):
    pass


class _Record(NamedTuple):
    first: Player
    ply_limit: int
    layout: str
    turns: list[Turn]
    result: str | None


class Game:
    """A game between A and B, refereed.

    `Game()` deals a new `tesko.Board` and plays on it; `Game(board=...)`
    takes a board on which no card lies face down (a fresh deal). Moves are
    passed as move text ("A1", "A1A4") for the side to move; a refused move
    raises IllegalMove (a ValueError) with the engine's own message, checked
    on the referee's model before the engine board is touched.
    """

    def __init__(
        self,
        *,
        first: Player = Player.A,
        ply_limit: int = DEFAULT_PLY_LIMIT,
        room_id: str = "",
        board: Board | None = None,
    ) -> None:
        first, ply_limit = _check_setup(first, ply_limit)
        room_id = _check_room_id(room_id)
        if board is None:
            board = Board()
        elif not isinstance(board, Board):
            raise TypeError(f"board must be a tesko.Board, not {type(board).__name__}")
        self._setup(Position.parse(str(board)), board, first, ply_limit, room_id)

    @classmethod
    def from_layout(
        cls, layout: str, *, first: Player = Player.A, ply_limit: int = DEFAULT_PLY_LIMIT
    ) -> Game:
        """A game played on the referee's model alone, from a rendering with
        no face-down card (empty slots allowed). `bot_move` is not available."""
        first, ply_limit = _check_setup(first, ply_limit)
        if not isinstance(layout, str):
            raise TypeError(f"layout must be a str, not {type(layout).__name__}")
        game = cls.__new__(cls)
        game._setup(Position.parse(layout), None, first, ply_limit, "")
        return game

    def _setup(
        self,
        position: Position,
        board: Board | None,
        first: Player,
        ply_limit: int,
        room_id: str,
    ) -> None:
        self.board = board
        self.first = first
        self.ply_limit = ply_limit
        self._room_id = room_id
        self.layout = position.render()
        self._position = position
        self._history: list[Turn] = []
        self._plies = 0
        self._to_move: Player | None = first
        self._result: Result | None = None
        self._legal: list[str] = []
        self._settle()

    # -- state ---------------------------------------------------------------

    @property
    def room_id(self) -> str:
        """The room identifier passed with every move to the engine."""
        return self._room_id

    @property
    def to_move(self) -> Player | None:
        """The side to move, or None once the game is over."""
        return self._to_move

    @property
    def over(self) -> bool:
        return self._result is not None

    @property
    def result(self) -> Result | None:
        return self._result

    @property
    def plies(self) -> int:
        """Moves played so far (passes not counted)."""
        return self._plies

    @property
    def history(self) -> tuple[Turn, ...]:
        return tuple(self._history)

    @property
    def last_move(self) -> Turn | None:
        """The last move played (passes skipped), or None before the first."""
        for turn in reversed(self._history):
            if turn.move is not None:
                return turn
        return None

    def __str__(self) -> str:
        return self._position.render()

    def cards(self, player: Player) -> dict[str, Card]:
        """The cards of `player` by slot, face-down ones included."""
        return self._position.cards(player)

    def material(self, player: Player) -> int:
        return self._position.material(player)

    def legal_moves(self) -> list[str]:
        """The legal moves of the side to move ([] once the game is over)."""
        return list(self._legal)

    # -- moves ---------------------------------------------------------------

    def play(self, move: str) -> None:
        """Play `move` for the side to move.

        The referee's model checks the move first: a refused move raises
        IllegalMove, a ValueError with the engine's own message, and changes
        neither the model nor the engine board. GameOver once the game is
        over; TypeError for anything but a str.
        """
        player = self._require_turn()
        if not isinstance(move, str):
            raise TypeError(f"move must be a str, not {type(move).__name__}")
        # The text itself, whatever a str subclass does in __eq__ or __str__:
        # the model and the engine must judge the same characters.
        move = str.__str__(move)
        message = self._position.refusal(move, player)
        if message is not None:
            raise IllegalMove(message)
        if self.board is not None:
            try:
                self.board.play(move, player, self._room_id)
            except ValueError as err:
                raise RefereeError(
                    f"the engine refused {move} for {player_name(player)} ({err}), "
                    "which the referee's rules allow"
                ) from None
            self._position.play(move, player)
            self._check_board()
        else:
            self._position.play(move, player)
        self._history.append(Turn(player, move))
        self._plies += 1
        self._to_move = opponent(player)
        self._settle()

    def bot_move(self, depth: int, *, think_time: float | None = None) -> BotMove:
        """Ask the engine for the side to move's move, without playing it.

        Without `think_time` the engine searches `depth` plies deep. With it,
        the search deepens from depth 1 up to `depth` and stops when
        `think_time` seconds have passed; the move is that of the deepest
        search that finished (`BotMove.depth`), or of a depth-1 search when
        none did. A think time interrupts the search with SIGALRM, so it
        works on the main thread only (RuntimeError elsewhere); Ctrl-C
        (KeyboardInterrupt) ends either kind of search at once.
        """
        player = self._require_turn()
        if self.board is None:
            raise RuntimeError("a game on the referee's model alone has no engine to ask")
        depth = check_int("depth", depth, 1, MAX_DEPTH)
        start = time.perf_counter()
        if think_time is None:
            move, used = self.board.play_bot(player, depth), depth
        else:
            move, used = self._think(player, depth, check_think_time(think_time), start)
        seconds = time.perf_counter() - start
        if not move:
            raise RefereeError(f"the engine found no move for {player_name(player)}")
        return BotMove(move, seconds, used)

    def play_bot(self, depth: int, *, think_time: float | None = None) -> BotMove:
        """Let the engine choose the side to move's move and play it."""
        choice = self.bot_move(depth, think_time=think_time)
        self.play(choice.move)
        return choice

    def _think(self, player: Player, depth: int, seconds: float, start: float) -> tuple[str, int]:
        if not hasattr(signal, "setitimer"):
            raise RuntimeError("think_time needs signal.setitimer, which this system lacks")
        if threading.current_thread() is not threading.main_thread():
            raise RuntimeError("think_time works on the main thread only (it uses SIGALRM)")
        board = self.board
        assert board is not None
        deadline = start + seconds
        armed = False

        def out_of_time(signum: int, frame: object) -> None:
            # A signal that arrives after the search it was meant for has
            # ended must not end anything else.
            if armed:
                raise _OutOfTime

        previous = signal.signal(signal.SIGALRM, out_of_time)
        earlier = signal.setitimer(signal.ITIMER_REAL, 0)
        best, best_depth = "", 0
        try:
            for level in range(1, depth + 1):
                left = deadline - time.perf_counter()
                if left <= 0:
                    break
                try:
                    armed = True
                    signal.setitimer(signal.ITIMER_REAL, left)
                    try:
                        move = board.play_bot(player, level)
                    finally:
                        armed = False
                        signal.setitimer(signal.ITIMER_REAL, 0)
                except _OutOfTime:
                    break
                best, best_depth = move, level
                if not move:
                    break
        finally:
            armed = False
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, signal.SIG_DFL if previous is None else previous)
            if earlier[0] > 0:
                # Someone else's timer was running: let it go on.
                elapsed = time.perf_counter() - start
                signal.setitimer(signal.ITIMER_REAL, max(earlier[0] - elapsed, 1e-6), earlier[1])
        if best_depth == 0:
            return board.play_bot(player, 1), 1
        return best, best_depth

    def forfeit(self, loser: Player, end: End) -> None:
        """End the game now with `loser` beaten, for a reason outside the
        rules of play: `End.TIME` (the side to move ran out of time; only
        the side to move can) or `End.ABANDONED` (`loser` left the game).
        GameOver once the game is over."""
        self._require_turn()
        if not isinstance(loser, Player):
            raise TypeError(f"loser must be a Player, not {type(loser).__name__}")
        if end not in FORFEITS:
            raise ValueError(f"a forfeit ends on time or by abandonment, not {end!r}")
        if end is End.TIME and loser != self._to_move:
            raise ValueError(f"{player_name(loser)} is not to move, so has no time running")
        self._legal = []
        self._finish(opponent(loser), end)

    def _require_turn(self) -> Player:
        if self._to_move is None:
            raise GameOver(f"the game is over: {self._result}")
        return self._to_move

    def _moves_of(self, player: Player) -> list[str]:
        if self.board is None:
            return self._position.legal_moves(player)
        moves = self.board.get_legal_moves(player)
        if moves != self._position.legal_moves(player):
            raise RefereeError(
                f"legal moves of {player_name(player)} differ: engine {moves}, "
                f"referee {self._position.legal_moves(player)}"
            )
        return moves

    def _check_board(self) -> None:
        assert self.board is not None
        engine = str(self.board)
        if engine != self._position.render():
            raise RefereeError(
                "the engine's board and the referee's differ:\n"
                + engine
                + "referee:\n"
                + self._position.render()
            )

    def _settle(self) -> None:
        """Decide, after the deal or a move, who moves next or how it ended,
        and keep the legal moves of the side to move (every path that
        changes the position ends here)."""
        side = self._to_move
        assert side is not None
        self._legal = []
        empty = [p for p in PLAYERS if not self._position.cards(p)]
        if empty:
            winner = None if len(empty) == 2 else opponent(empty[0])
            self._finish(winner, End.NO_CARDS)
        elif self._plies >= self.ply_limit:
            self._finish_on_material(End.PLY_LIMIT)
        elif moves := self._moves_of(side):
            self._legal = moves
        elif moves := self._moves_of(opponent(side)):
            self._history.append(Turn(side, None))
            self._to_move = opponent(side)
            self._legal = moves
        else:
            self._finish_on_material(End.NO_MOVES)

    def _finish_on_material(self, end: End) -> None:
        a, b = (self.material(p) for p in PLAYERS)
        self._finish(None if a == b else PLAYERS[0 if a > b else 1], end)

    def _finish(self, winner: Player | None, end: End) -> None:
        self._result = Result(winner, end, (self.material(Player.A), self.material(Player.B)))
        self._to_move = None

    # -- records -------------------------------------------------------------

    def save(self) -> str:
        """The game as text: the dealt layout and every turn so far."""
        lines = [
            RECORD_TITLE,
            f"version: {RECORD_VERSION}",
            f"first: {player_name(self.first)}",
            f"ply limit: {self.ply_limit}",
            "",
            self.layout.rstrip("\n"),
            "",
        ]
        lines += [f"{n}. {turn}" for n, turn in enumerate(self._history, 1)]
        if self._result is not None:
            lines += ["", f"result: {self._result}"]
        return "\n".join(lines) + "\n"

    @classmethod
    def load(
        cls,
        text: str,
        *,
        engine: bool = True,
        room_id: str = "",
        max_attempts: int = DEAL_ATTEMPTS,
    ) -> Game:
        """Read a saved game and replay it, leaving the game where the record
        ends.

        With `engine` (the default) this is `Game.resume`: a live game that
        the engine can continue. With `engine=False` the game is replayed on
        the referee's model alone, for review (`replay()`), which takes any
        layout without face-down cards and no time to deal.
        """
        if not isinstance(engine, bool):
            raise TypeError(f"engine must be a bool, not {type(engine).__name__}")
        if engine:
            return cls.resume(text, room_id=room_id, max_attempts=max_attempts)
        _check_room_id(room_id)
        return cls._replayed(_parse_record(text), None, "")

    @classmethod
    def resume(cls, text: str, *, room_id: str = "", max_attempts: int = DEAL_ATTEMPTS) -> Game:
        """A saved game, live on a `tesko.Board` again: the engine can
        continue it (`play_bot`, `bot_move`).

        The record is first checked on the referee's model (RecordError when
        it is not a record, its layout is not one the engine deals, or its
        turns or result do not follow from its layout). Then boards are
        dealt until one renders as the saved layout (DealNotFound after
        `max_attempts`), and the saved turns are played on it, each checked
        against the model. Costs about 0.2 s on average and under 1 s in 99
        cases out of 100.
        """
        room_id = _check_room_id(room_id)
        max_attempts = check_int("max_attempts", max_attempts, 1, 2**63)
        record = _parse_record(text)
        cls._replayed(record, None, "")  # a broken record fails fast
        if not Position.parse(record.layout).is_deal():
            raise RecordError(
                "the saved layout is not one the engine deals (12 cards face up, "
                "4 Normal and 2 Figures a side), so no engine board can take it; "
                "Game.load(text, engine=False) replays it on the referee's model"
            )
        board = deal(record.layout, max_attempts=max_attempts)
        return cls._replayed(record, board, room_id)

    @classmethod
    def _replayed(cls, record: _Record, board: Board | None, room_id: str) -> Game:
        try:
            if board is None:
                game = cls.from_layout(
                    record.layout, first=record.first, ply_limit=record.ply_limit
                )
            else:
                game = cls(
                    first=record.first, ply_limit=record.ply_limit, room_id=room_id, board=board
                )
        except ValueError as err:
            raise RecordError(str(err)) from None
        turns = record.turns
        for number, turn in enumerate(turns, 1):
            if len(game._history) >= number:
                if game._history[number - 1] != turn:
                    raise RecordError(
                        f"turn {number}: the record has {turn}, "
                        f"the rules give {game._history[number - 1]}"
                    )
                continue
            if turn.is_pass:
                raise RecordError(f"turn {number}: {turn} passes with legal moves left")
            if game.over or game.to_move != turn.player:
                raise RecordError(f"turn {number}: it is not {player_name(turn.player)}'s turn")
            assert turn.move is not None
            try:
                game.play(turn.move)
            except IllegalMove as err:
                raise RecordError(f"turn {number}: {turn}: {err}") from None
        if len(game._history) > len(turns):
            # A pass that follows the last recorded move.
            extra = game._history[len(turns)]
            raise RecordError(f"turn {len(turns) + 1} ({extra}) is missing")
        if record.result is not None and not game.over:
            cls._forfeit_as_recorded(game, record.result)
        if record.result is not None and str(game.result) != record.result:
            raise RecordError(f"the record says {record.result!r}, the replay gives {game.result}")
        return game

    @staticmethod
    def _forfeit_as_recorded(game: Game, text: str) -> None:
        """End an unfinished replay as its record's result says, when that
        result is a forfeit (a loss on time or an abandoned game)."""
        for end in FORFEITS:
            for loser in PLAYERS:
                material = (game.material(Player.A), game.material(Player.B))
                if str(Result(opponent(loser), end, material)) == text:
                    try:
                        game.forfeit(loser, end)
                    except ValueError as err:
                        raise RecordError(f"the record says {text!r}: {err}") from None
                    return

    def replay(self) -> Iterator[Frame]:
        """The dealt position and then the position after every turn."""
        game = Game.from_layout(self.layout, first=self.first, ply_limit=self.ply_limit)

        last = len(self._history)
        final = self._result
        forfeited = final if final is not None and final.end in FORFEITS else None

        def frame(turn: Turn | None, index: int) -> Frame:
            if forfeited is not None and index == last:
                # A game lost on time or abandoned ends at its last position.
                return Frame(turn, str(game), None, forfeited.material, forfeited)
            return Frame(
                turn,
                str(game),
                game.to_move,
                (game.material(Player.A), game.material(Player.B)),
                game.result,
            )

        yield frame(None, 0)
        for index, turn in enumerate(self._history, 1):
            if turn.move is not None:
                game.play(turn.move)
            yield frame(turn, index)


def _parse_record(text: str) -> _Record:
    if not isinstance(text, str):
        raise TypeError(f"a saved game is a str, not {type(text).__name__}")
    lines = text.splitlines()
    if not lines or lines[0].strip() != RECORD_TITLE:
        raise RecordError(f"a saved game starts with the line {RECORD_TITLE!r}")
    header: dict[str, str] = {}
    index = 1
    while index < len(lines) and lines[index].strip():
        key, sep, value = lines[index].partition(":")
        if not sep:
            raise RecordError(f"line {index + 1}: expected 'name: value'")
        header[key.strip()] = value.strip()
        index += 1
    version = header.get("version", "1")
    if version != str(RECORD_VERSION):
        raise RecordError(
            f"record version {version[:20]!r} is not one this tesko reads "
            f"(it reads version {RECORD_VERSION})"
        )
    try:
        first = parse_player(header.get("first", "A"))
        limit = header.get("ply limit", str(DEFAULT_PLY_LIMIT))
        if not limit.isdigit() or len(limit) > 10:
            raise ValueError(f"ply limit: not a count of moves: {limit[:20]!r}")
        ply_limit = check_int("ply limit", int(limit), 1, MAX_PLY_LIMIT)
    except ValueError as err:
        raise RecordError(str(err)) from None
    while index < len(lines) and not lines[index].strip():
        index += 1
    layout = "\n".join(lines[index : index + 4]) + "\n"
    index += 4
    turns: list[Turn] = []
    result: str | None = None
    for number, line in enumerate(lines[index:], index + 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("result:"):
            result = line.partition(":")[2].strip()
            continue
        parts = line.split()
        if len(parts) != 3 or parts[0] != f"{len(turns) + 1}.":
            raise RecordError(f"line {number}: expected '{len(turns) + 1}. SIDE MOVE'")
        try:
            player = parse_player(parts[1])
        except ValueError as err:
            raise RecordError(f"line {number}: {err}") from None
        turns.append(Turn(player, None if parts[2] == "pass" else parts[2]))
    return _Record(first, ply_limit, layout, turns, result)
