"""A room's game as the text record that `tesko_tools` reads and writes
(`Game.save`, `Game.load`, `tesko-play --load` and `--review`).

The server's event loop never imports the engine, so the record is written
here from what the room keeps: the dealt layout, who moved first, the ply
limit, the turns and the referee's result sentence. It is the same text
`Game.save` writes for the same game, version 1 of the format.
"""

from __future__ import annotations

from collections.abc import Iterable

RECORD_TITLE = "tesko game"
RECORD_VERSION = 1


def record_text(
    layout: str,
    first: str,
    ply_limit: int,
    turns: Iterable[tuple[str, str | None]],
    result: str | None,
) -> str:
    """The record: `turns` are (player, move) pairs, a pass with move None;
    `result` is the referee's sentence once the game is over."""
    lines = [
        RECORD_TITLE,
        f"version: {RECORD_VERSION}",
        f"first: {first}",
        f"ply limit: {ply_limit}",
        "",
        layout.rstrip("\n"),
        "",
    ]
    lines += [f"{n}. {player} {move or 'pass'}" for n, (player, move) in enumerate(turns, 1)]
    if result is not None:
        lines += ["", f"result: {result}"]
    return "\n".join(lines) + "\n"


def record_name(room_id: str) -> str:
    """The file name the record is offered under (room ids are letters,
    digits, '-' and '_', safe in a header and a file name)."""
    return f"tesko-{room_id}.txt"
