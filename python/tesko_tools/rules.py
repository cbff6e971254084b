"""The rules of the game, in Python, for the referee.

The engine's board hides the owner of a face-down card, and it cannot be
set to a position from Python. The referee therefore keeps its own copy of
the position, with every card's owner and kind known, and moves it along
with the engine. The same model replays saved games, where there is no
engine board in the saved layout to play on.

A live game compares this model's rendering with the engine's after every
move, so a fault in either shows up at the move that caused it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, replace

from tesko import CardType, Player

ROWS = "ABC"
COLS = "1234"
SLOTS: tuple[str, ...] = tuple(r + c for r in ROWS for c in COLS)
SLOT_INDEX = {slot: i for i, slot in enumerate(SLOTS)}

HEADER = "   1   2   3   4"
FACE_DOWN_CELL = "[XXXXXX]"
EMPTY_CELL = "[  --  ]"

#: Material value of a card by kind, as the referee counts it.
CARD_VALUE = {0: 10, 1: 15}

PLAYERS = (Player.A, Player.B)
KINDS = (CardType.Normal, CardType.Figure)


def opponent(player: Player) -> Player:
    return PLAYERS[1 - int(player)]


def player_name(player: Player) -> str:
    return "AB"[int(player)]


def parse_player(text: str) -> Player:
    """ "A" or "B" (either case) to a Player."""
    name = text.strip().upper()
    if name not in ("A", "B"):
        raise ValueError(f"not a side: {text!r} (expected A or B)")
    return PLAYERS["AB".index(name)]


def _neighbours(index: int) -> tuple[int, ...]:
    row, col = divmod(index, 4)
    found = []
    if row > 0:
        found.append(index - 4)
    if row < 2:
        found.append(index + 4)
    if col > 0:
        found.append(index - 1)
    if col < 3:
        found.append(index + 1)
    return tuple(found)


NEIGHBOURS: tuple[tuple[int, ...], ...] = tuple(_neighbours(i) for i in range(12))


@dataclass(frozen=True)
class Card:
    """One card: whose it is, what it is and which way up it lies."""

    owner: Player
    kind: CardType
    face_up: bool = True

    @property
    def value(self) -> int:
        return CARD_VALUE[int(self.kind)]

    @property
    def code(self) -> str:
        """Owner and kind letters, as a face-up cell shows them ("AN", "BF")."""
        return "AB"[int(self.owner)] + "NF"[int(self.kind)]

    def turned(self) -> Card:
        return replace(self, face_up=not self.face_up)

    def __repr__(self) -> str:
        return f"Card({self.code}, {'up' if self.face_up else 'down'})"


class IllegalMove(ValueError):
    """A move that the rules do not allow for that side in that position.

    Its message is the one the engine gives for the same move ("Origem
    inválida.", ...), so a host shows the same text whichever refused it.
    """


# The engine's refusals, by the check that fails.
FORMAT = "Formato inválido."
COORDINATE = "Coordenada inválida."
ORIGIN = "Origem inválida."
DESTINATION = "Destino inválido."
SAME_SLOT = "Não podes virar a própria Figura."
ORIGIN_DOWN = "A carta de origem não está virada para cima."
NOT_YOURS = "A figura não te pertence."
ONLY_FIGURES = "Apenas cartas Figura escolhem alvos."
NO_TARGET = "A carta alvo não existe."
NO_CARD = "Não há carta nessa posição."
OPPONENT_UP = "Não podes jogar uma carta virada para cima do adversário."
NEED_TARGET = "Precisas de um alvo para usar uma Figura (ex: A1A4)."


def _slot_of(text: bytes) -> int | None:
    if len(text) == 2 and text[0:1] in (b"A", b"B", b"C") and text[1:2] in (b"1", b"2", b"3", b"4"):
        return (text[0] - ord("A")) * 4 + text[1] - ord("1")
    return None


_CELL = re.compile(r"\[ ([AB])([NF]) \]|\[XXXXXX\]|\[  --  \]")


class Position:
    """The 12 slots of the grid, each a Card or None, in slot order A1..C4."""

    __slots__ = ("cells",)

    def __init__(self, cells: list[Card | None]) -> None:
        if len(cells) != 12:
            raise ValueError(f"a grid has 12 slots, not {len(cells)}")
        self.cells = list(cells)

    @classmethod
    def parse(cls, text: str) -> Position:
        """Read a board rendering in which no card lies face down.

        Face-up cells name their card and empty cells are empty; a face-down
        cell hides its owner and kind, so it is refused.
        """
        lines = text.strip("\n").split("\n")
        if len(lines) != 4 or lines[0].rstrip() != HEADER:
            raise ValueError("a board is a header line and three rows A, B, C")
        cells: list[Card | None] = []
        for letter, line in zip(ROWS, lines[1:]):
            if not line.startswith(letter + " "):
                raise ValueError(f"row {letter} is missing: {line!r}")
            body = line[2:].rstrip()
            found = list(_CELL.finditer(body))
            if len(found) != 4 or "".join(m.group(0) for m in found) != body:
                raise ValueError(f"row {letter} does not hold four cells: {line!r}")
            for col, match in zip(COLS, found):
                if match.group(0) == FACE_DOWN_CELL:
                    raise ValueError(f"{letter}{col} is face down: its card is unknown")
                if match.group(0) == EMPTY_CELL:
                    cells.append(None)
                else:
                    owner = PLAYERS["AB".index(match.group(1))]
                    kind = KINDS["NF".index(match.group(2))]
                    cells.append(Card(owner, kind))
        return cls(cells)

    def is_deal(self) -> bool:
        """Whether the engine can deal this position: all 12 slots filled
        face up, each side with 4 Normal cards and 2 Figures."""
        kinds = sorted(
            (int(c.owner), int(c.kind)) for c in self.cells if c is not None and c.face_up
        )
        return kinds == [(0, 0)] * 4 + [(0, 1)] * 2 + [(1, 0)] * 4 + [(1, 1)] * 2

    def copy(self) -> Position:
        return Position(self.cells)

    def render(self) -> str:
        """The same text as the engine's str(board)."""
        out = [HEADER, "\n"]
        for row in range(3):
            out.append(ROWS[row] + " ")
            for cell in self.cells[row * 4 : row * 4 + 4]:
                if cell is None:
                    out.append(EMPTY_CELL)
                elif cell.face_up:
                    out.append(f"[ {cell.code} ]")
                else:
                    out.append(FACE_DOWN_CELL)
            out.append("\n")
        return "".join(out)

    def cards(self, player: Player) -> dict[str, Card]:
        """The cards of `player` by slot, face down ones included."""
        return {
            SLOTS[i]: card
            for i, card in enumerate(self.cells)
            if card is not None and card.owner == player
        }

    def material(self, player: Player) -> int:
        return sum(card.value for card in self.cards(player).values())

    def legal_moves(self, player: Player) -> list[str]:
        """Every move `player` may make, in the engine's listing order."""
        moves: list[str] = []
        for i, card in enumerate(self.cells):
            if card is None:
                continue
            if not card.face_up:
                moves.append(SLOTS[i])
            elif card.owner != player:
                continue
            elif card.kind == CardType.Normal:
                moves.append(SLOTS[i])
            else:
                moves.extend(
                    SLOTS[i] + SLOTS[j]
                    for j, target in enumerate(self.cells)
                    if j != i and target is not None
                )
        return moves

    def refusal(self, move: str, player: Player) -> str | None:
        """The engine's message for `move` by `player` here, or None when the
        move is legal. The checks run in the engine's order, on the bytes of
        the move's UTF-8 form (UnicodeEncodeError when it has none)."""
        text = move.encode("utf-8")
        cells = self.cells
        if len(text) == 4:
            origin, target = _slot_of(text[:2]), _slot_of(text[2:])
            if origin is None:
                return ORIGIN
            if target is None:
                return DESTINATION
            if origin == target:
                return SAME_SLOT
            card = cells[origin]
            if card is None or not card.face_up:
                return ORIGIN_DOWN
            if card.owner != player:
                return NOT_YOURS
            if card.kind != CardType.Figure:
                return ONLY_FIGURES
            if cells[target] is None:
                return NO_TARGET
            return None
        if len(text) == 2:
            at = _slot_of(text)
            if at is None:
                return COORDINATE
            card = cells[at]
            if card is None:
                return NO_CARD
            if card.face_up and card.owner != player:
                return OPPONENT_UP
            if card.face_up and card.kind != CardType.Normal:
                return NEED_TARGET
            return None
        return FORMAT

    def play(self, move: str, player: Player) -> None:
        """Carry out one legal move; anything else raises IllegalMove with the
        engine's message and changes nothing."""
        if not isinstance(move, str):
            raise TypeError(f"a move is a str, not {type(move).__name__}")
        move = str.__str__(move)  # the text itself, whatever a subclass overrides
        message = self.refusal(move, player)
        if message is not None:
            raise IllegalMove(message)
        cells = self.cells
        acting = SLOT_INDEX[move[:2]]
        card = cells[acting]
        assert card is not None
        if len(move) == 4:
            target = SLOT_INDEX[move[2:]]
            hit = cells[target]
            assert hit is not None
            cells[target] = hit.turned()
            cells[acting] = card.turned()
        elif not card.face_up:
            cells[acting] = None
        else:
            cells[acting] = card.turned()
            for j in NEIGHBOURS[acting]:
                other = cells[j]
                if other is not None:
                    cells[j] = other.turned()
