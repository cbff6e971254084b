"""Host tools for the tesko engine: a referee and two command-line tools.

`Game` deals a `tesko.Board` and referees a game on it: whose turn it is,
passes, the end of the game and its result, each side's cards (face-down
ones included), the history, and saving and replaying games. The command
`tesko-play` is a terminal game against the engine and `tesko-arena` plays
the engine against itself at two levels.
"""

from .game import (
    DEAL_ATTEMPTS,
    DEFAULT_PLY_LIMIT,
    MAX_DEPTH,
    MAX_PLY_LIMIT,
    BotMove,
    DealNotFound,
    End,
    Frame,
    Game,
    GameOver,
    RecordError,
    RefereeError,
    Result,
    Turn,
    deal,
    deal_all,
)
from .rules import CARD_VALUE, SLOTS, Card, IllegalMove, Position

__all__ = [
    "BotMove",
    "CARD_VALUE",
    "Card",
    "DEAL_ATTEMPTS",
    "DEFAULT_PLY_LIMIT",
    "DealNotFound",
    "End",
    "Frame",
    "Game",
    "GameOver",
    "IllegalMove",
    "MAX_DEPTH",
    "MAX_PLY_LIMIT",
    "Position",
    "RecordError",
    "RefereeError",
    "Result",
    "SLOTS",
    "Turn",
    "deal",
    "deal_all",
]
