"""Host tools for the tesko engine: a referee and two command-line tools.

`Game` deals a `tesko.Board` and referees a game on it: whose turn it is,
passes, the end of the game and its result, each side's cards (face-down
ones included), the history, and saving and replaying games. The command
`tesko-play` is a terminal game against the engine and `tesko-arena` plays
the engine against itself at two levels.
"""

import pkgutil

# The compiled part of the package (_analysis) may lie in a different
# tesko_tools directory on the path from these sources: in the installed
# package when the sources run from a checkout, in the build tree in a test
# build.
__path__ = pkgutil.extend_path(__path__, __name__)

from .game import (  # noqa: E402
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
