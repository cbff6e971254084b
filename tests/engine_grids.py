"""Arbitrary grids for the engine tests, in both forms.

The private module takes a grid as 12 slots of None or (face_down, owner,
kind) ints; the rules model in game_model uses Card(down, "A"/"B", "N"/"F").
"""

import game_model as model
from hypothesis import strategies as st

OWNERS, KINDS = "AB", "NF"


def to_model(grid):
    return tuple(
        None if s is None else model.Card(bool(s[0]), OWNERS[s[1]], KINDS[s[2]]) for s in grid
    )


def from_model(grid):
    return tuple(
        None if c is None else (int(c.down), OWNERS.index(c.owner), KINDS.index(c.kind))
        for c in grid
    )


def parse(rows):
    """A grid from three rows of four cells: "." empty, "AN" face up,
    "an" face down (lower case), e.g. "AF BN .. an"."""
    cells = " ".join(rows).split()
    assert len(cells) == 12, cells
    out = []
    for c in cells:
        if c == "..":
            out.append(None)
        else:
            out.append((int(c.islower()), OWNERS.index(c[0].upper()), KINDS.index(c[1].upper())))
    return tuple(out)


@st.composite
def grids(draw):
    """Grids holding any subset of the dealt cards (at most 4 Normal cards
    and 2 Figures per side) in any places and face states: every position a
    game can reach, and more."""
    deck = [(o, k) for o in (0, 1) for k in (0, 0, 0, 0, 1, 1)]
    layout = draw(st.permutations(deck))
    grid = []
    for owner, kind in layout:
        state = draw(st.sampled_from(["up", "down", "gone"]))
        grid.append(None if state == "gone" else (int(state == "down"), owner, kind))
    return tuple(grid)
