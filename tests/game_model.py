"""A small pure-Python model of the game rules, to hold the engine against.

A grid is a tuple of 12 slots in slot order (A1, A2, ... C4), each None
(empty) or a Card; owners and kinds are the letters of the rendering.
"""

from typing import NamedTuple

SLOT_TEXTS = [r + c for r in "ABC" for c in "1234"]
MOVE_TEXTS = SLOT_TEXTS + [a + b for a in SLOT_TEXTS for b in SLOT_TEXTS]
HEADER = "   1   2   3   4\n"
M = {
    "format": "Formato inválido.",
    "coordinate": "Coordenada inválida.",
    "origin": "Origem inválida.",
    "destination": "Destino inválido.",
    "same_slot": "Não podes virar a própria Figura.",
    "origin_down": "A carta de origem não está virada para cima.",
    "not_yours": "A figura não te pertence.",
    "only_figures": "Apenas cartas Figura escolhem alvos.",
    "no_target": "A carta alvo não existe.",
    "no_card": "Não há carta nessa posição.",
    "opponent_up": "Não podes jogar uma carta virada para cima do adversário.",
    "need_target": "Precisas de um alvo para usar uma Figura (ex: A1A4).",
}


class Card(NamedTuple):
    down: bool
    owner: str  # "A" or "B"
    kind: str  # "N" or "F"


def other(player):
    return "B" if player == "A" else "A"


def neighbours(slot):
    row, col = divmod(slot, 4)
    steps = ((slot - 4, row > 0), (slot + 4, row < 2), (slot - 1, col > 0), (slot + 1, col < 3))
    return [s for s, inside in steps if inside]


def render(grid):
    def cell(card):
        if card is None:
            return "[  --  ]"
        return "[XXXXXX]" if card.down else f"[ {card.owner}{card.kind} ]"

    rows = (
        "ABC"[r] + " " + "".join(cell(c) for c in grid[4 * r : 4 * r + 4]) + "\n" for r in range(3)
    )
    return HEADER + "".join(rows)


def parse_deal(text):
    """The grid of a rendering in which every card lies face up."""
    lines = text.split("\n")
    assert lines[0] + "\n" == HEADER and lines[4:] == [""]
    grid = []
    for row, line in enumerate(lines[1:4]):
        assert line.startswith("ABC"[row] + " ") and len(line) == 26, line
        for cell in (line[2 + 6 * c : 8 + 6 * c] for c in range(4)):
            assert cell[:2] == "[ " and cell[4:] == " ]" and cell[2] in "AB" and cell[3] in "NF", (
                line
            )
            grid.append(Card(False, cell[2], cell[3]))
    return tuple(grid)


def slot(text):
    if len(text) == 2 and text[0] in "ABC" and text[1] in "1234":
        return SLOT_TEXTS.index(text)
    return None


def flip(grid, s):
    if grid[s] is not None:
        grid[s] = grid[s]._replace(down=not grid[s].down)


def check(grid, player, move):
    """(None, new grid) for a legal move, else (message, grid unchanged)."""
    text = move.encode("utf-8").decode("latin-1")  # judged byte by byte
    new = list(grid)
    if len(text) == 4:
        src, dst = slot(text[:2]), slot(text[2:])
        card = src is not None and grid[src]
        failures = [
            (src is None, "origin"),
            (dst is None, "destination"),
            (src == dst, "same_slot"),
            (lambda: not card or card.down, "origin_down"),
            (lambda: card.owner != player, "not_yours"),
            (lambda: card.kind != "F", "only_figures"),
            (lambda: grid[dst] is None, "no_target"),
        ]
        changes = [dst, src]
    elif len(text) == 2:
        at = slot(text)
        card = at is not None and grid[at]
        failures = [
            (at is None, "coordinate"),
            (lambda: card is None, "no_card"),
            (lambda: not card.down and card.owner != player, "opponent_up"),
            (lambda: not card.down and card.kind != "N", "need_target"),
        ]
    else:
        return M["format"], grid
    for failed, name in failures:
        if failed() if callable(failed) else failed:
            return M[name], grid
    if len(text) == 2:
        if card.down:
            new[at] = None
        changes = [] if card.down else [at] + neighbours(at)
    for s in changes:
        flip(new, s)
    return None, tuple(new)


def legal_moves(grid, player):
    moves = []
    for s, card in enumerate(grid):
        if card is None or (not card.down and card.owner != player):
            continue
        if card.down or card.kind == "N":
            moves.append(SLOT_TEXTS[s])
        else:
            moves += [SLOT_TEXTS[s] + SLOT_TEXTS[t] for t in range(12) if t != s and grid[t]]
    return moves


def bot_moves(grid, player):
    """The bot's candidates in search order: the legal moves without Figures
    aimed at one's own face-up cards, stably sorted by target (the opponent's
    Figures, then the opponent's Normal cards, then the rest)."""

    def target(move):
        return grid[slot(move[2:])] if len(move) == 4 else None

    def key(move):
        t = target(move)
        return 2 if t is None or t.owner == player else (0 if t.kind == "F" else 1)

    def own_face_up(move):
        t = target(move)
        return t is not None and not t.down and t.owner == player

    return sorted((m for m in legal_moves(grid, player) if not own_face_up(m)), key=key)


def material(grid, player):
    return sum(10 if c.kind == "N" else 15 for c in grid if c is not None and c.owner == player)


def depth_one_scores(grid, player):
    """The score a one-ply search gives each of the bot's candidates."""
    scores = {}
    for move in bot_moves(grid, player):
        child = check(grid, player, move)[1]
        mine, theirs = material(child, player), material(child, other(player))
        scores[move] = (
            10000 if mine and not theirs else -10000 if theirs and not mine else mine - theirs
        )
    return scores


class Game:
    """A real Board and the model's grid, played side by side."""

    def __init__(self):
        import tesko

        self.tesko = tesko
        self.board = tesko.Board()
        self.grid = parse_deal(str(self.board))

    def player(self, letter):
        return getattr(self.tesko.Player, letter)

    def play(self, letter, move):
        error, self.grid = check(self.grid, letter, move)
        assert error is None, (move, error)
        assert self.board.play(move, self.player(letter), "room") is None
        assert str(self.board) == render(self.grid)
