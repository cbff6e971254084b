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
again; a loaded game is replayed on the referee's own model of the rules,
since an engine board cannot be set to a saved layout.
"""

from __future__ import annotations

import enum
import time
from collections.abc import Iterator
from dataclasses import dataclass

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

RECORD_TITLE = "tesko game"


class GameOver(Exception):
    """A move was asked for after the game had ended."""


class RefereeError(RuntimeError):
    """The engine and the referee's model of the rules disagree."""


class RecordError(ValueError):
    """A saved game that cannot be read or does not replay as written."""


class End(enum.Enum):
    """Why a game ended."""

    NO_CARDS = "no cards"
    NO_MOVES = "no moves"
    PLY_LIMIT = "ply limit"


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
    move: str
    seconds: float


@dataclass(frozen=True)
class Frame:
    """One step of a replay: the turn just taken and the position after it."""

    turn: Turn | None
    """None for the dealt position."""
    board: str
    to_move: Player | None
    material: tuple[int, int]
    result: Result | None


class Game:
    """A game between A and B, refereed.

    `Game()` deals a new `tesko.Board` and plays on it; `Game(board=...)`
    takes a board on which no card lies face down (a fresh deal). Moves are
    passed as move text ("A1", "A1A4") for the side to move; the engine's
    refusals reach the caller unchanged as ValueError.
    """

    def __init__(
        self,
        *,
        first: Player = Player.A,
        ply_limit: int = DEFAULT_PLY_LIMIT,
        room_id: str = "",
        board: Board | None = None,
    ) -> None:
        if board is None:
            board = Board()
        self._setup(Position.parse(str(board)), board, first, ply_limit)
        self.room_id = room_id

    @classmethod
    def from_layout(
        cls, layout: str, *, first: Player = Player.A, ply_limit: int = DEFAULT_PLY_LIMIT
    ) -> Game:
        """A game played on the referee's model alone, from a rendering with
        no face-down card (empty slots allowed). `bot_move` is not available."""
        game = cls.__new__(cls)
        game._setup(Position.parse(layout), None, first, ply_limit)
        game.room_id = ""
        return game

    def _setup(
        self, position: Position, board: Board | None, first: Player, ply_limit: int
    ) -> None:
        if not isinstance(first, Player):
            raise TypeError(f"first must be a Player, not {type(first).__name__}")
        if ply_limit < 1:
            raise ValueError("the ply limit must be at least 1")
        self.board = board
        self.first = first
        self.ply_limit = ply_limit
        self.layout = position.render()
        self._position = position
        self._history: list[Turn] = []
        self._plies = 0
        self._to_move: Player | None = first
        self._result: Result | None = None
        self._settle()

    # -- state ---------------------------------------------------------------

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

    def __str__(self) -> str:
        return self._position.render()

    def cards(self, player: Player) -> dict[str, Card]:
        """The cards of `player` by slot, face-down ones included."""
        return self._position.cards(player)

    def material(self, player: Player) -> int:
        return self._position.material(player)

    def legal_moves(self) -> list[str]:
        """The legal moves of the side to move ([] once the game is over)."""
        if self._to_move is None:
            return []
        return self._moves_of(self._to_move)

    # -- moves ---------------------------------------------------------------

    def play(self, move: str) -> None:
        """Play `move` for the side to move.

        A refused move raises ValueError (the engine's own message on a live
        board, IllegalMove on the model alone) and changes nothing.
        """
        player = self._require_turn()
        if self.board is not None:
            self.board.play(move, player, self.room_id)
            try:
                self._position.play(move, player)
            except IllegalMove:
                raise RefereeError(
                    f"the engine took {move} for {player_name(player)}, "
                    "which the referee's rules refuse"
                ) from None
            self._check_board()
        else:
            self._position.play(move, player)
        self._history.append(Turn(player, move))
        self._plies += 1
        self._to_move = opponent(player)
        self._settle()

    def bot_move(self, depth: int) -> BotMove:
        """Ask the engine for the side to move's move at `depth`, without
        playing it; `seconds` is the engine's think time."""
        player = self._require_turn()
        if self.board is None:
            raise RuntimeError("a game on the referee's model alone has no engine to ask")
        if depth < 1:
            raise ValueError("the search depth must be at least 1")
        start = time.perf_counter()
        move = self.board.play_bot(player, depth)
        seconds = time.perf_counter() - start
        if not move:
            raise RefereeError(f"the engine found no move for {player_name(player)}")
        return BotMove(move, seconds)

    def play_bot(self, depth: int) -> BotMove:
        """Let the engine choose the side to move's move and play it."""
        choice = self.bot_move(depth)
        self.play(choice.move)
        return choice

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
        """Decide, after the deal or a move, who moves next or how it ended."""
        side = self._to_move
        assert side is not None
        empty = [p for p in PLAYERS if not self._position.cards(p)]
        if empty:
            winner = None if len(empty) == 2 else opponent(empty[0])
            self._finish(winner, End.NO_CARDS)
        elif self._plies >= self.ply_limit:
            self._finish_on_material(End.PLY_LIMIT)
        elif self._moves_of(side):
            pass
        elif self._moves_of(opponent(side)):
            self._history.append(Turn(side, None))
            self._to_move = opponent(side)
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
    def load(cls, text: str) -> Game:
        """Read a saved game and replay it on the referee's model.

        The game is left where the record ends; `replay()` steps through it
        from the deal. Raises RecordError when the text is not a record or
        its turns or result do not follow from its layout.
        """
        first, ply_limit, layout, turns, result = _parse_record(text)
        try:
            game = cls.from_layout(layout, first=first, ply_limit=ply_limit)
        except ValueError as err:
            raise RecordError(str(err)) from None
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
                raise RecordError(f"turn {number}: {err}") from None
        if len(game._history) > len(turns):
            # A pass that follows the last recorded move.
            extra = game._history[len(turns)]
            raise RecordError(f"turn {len(turns) + 1} ({extra}) is missing")
        if result is not None and str(game.result) != result:
            raise RecordError(f"the record says {result!r}, the replay gives {game.result}")
        return game

    def replay(self) -> Iterator[Frame]:
        """The dealt position and then the position after every turn."""
        game = Game.from_layout(self.layout, first=self.first, ply_limit=self.ply_limit)

        def frame(turn: Turn | None) -> Frame:
            return Frame(
                turn,
                str(game),
                game.to_move,
                (game.material(Player.A), game.material(Player.B)),
                game.result,
            )

        yield frame(None)
        for turn in self._history:
            if turn.move is not None:
                game.play(turn.move)
            yield frame(turn)


def _parse_record(text: str) -> tuple[Player, int, str, list[Turn], str | None]:
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
    try:
        first = parse_player(header.get("first", "A"))
        ply_limit = int(header.get("ply limit", str(DEFAULT_PLY_LIMIT)))
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
    return first, ply_limit, layout, turns, result
