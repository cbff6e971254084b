# Typed interface of the tesko extension module.
#
# The module's three classes live in native code; this stub tells type
# checkers what they accept and return. Members of Player and CardType are
# the only instances of their classes (calling either class fails), and
# they are unhashable: they cannot be dictionary keys or set elements.

from typing import ClassVar, final

__all__ = ["Player", "CardType", "Board"]

@final
class Player:
    A: ClassVar[Player]
    B: ClassVar[Player]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class CardType:
    Normal: ClassVar[CardType]
    Figure: ClassVar[CardType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class Board:
    def __new__(cls) -> Board: ...
    def play(self, move_str: str, player: Player, _room_id: str) -> None: ...
    def get_legal_moves(self, player: Player) -> list[str]: ...
    def play_bot(self, player: Player, depth: int) -> str: ...
