"""The engine's search on a given position, with its score (compiled)."""

from collections.abc import Sequence

_Cell = tuple[int, int, bool] | None
"""None for an empty slot, else (owner 0 A / 1 B, kind 0 Normal / 1 Figure, face_down)."""

def search(cells: Sequence[_Cell], side: int, depth: int) -> tuple[int, str]: ...
def think(
    cells: Sequence[_Cell], side: int, depth: int, seconds: float
) -> tuple[int, str, int]: ...
