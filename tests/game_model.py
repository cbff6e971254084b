"""A small pure-Python model of the game rules, to hold the engine against.

A grid is a tuple of 12 slots in slot order (A1, A2, ... C4); a slot is None
(empty) or a Card. Players and kinds are the letters of the rendering:
"A"/"B" and "N"/"F".
"""

from typing import NamedTuple, Optional

SLOT_TEXTS = [r + c for r in "ABC" for c in "1234"]
MOVE_TEXTS = SLOT_TEXTS + [a + b for a in SLOT_TEXTS for b in SLOT_TEXTS]
HEADER = "   1   2   3   4\n"
MESSAGES = {
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
    owner: str
    kind: str


def other(player: str) -> str:
    return "B" if player == "A" else "A"


def neighbours(slot: int) -> list:
    row, col = divmod(slot, 4)
    out = []
    if row > 0:
        out.append(slot - 4)
    if row < 2:
        out.append(slot + 4)
    if col > 0:
        out.append(slot - 1)
    if col < 3:
        out.append(slot + 1)
    return out


def render(grid) -> str:
    lines = [HEADER]
    for row in range(3):
        cells = []
        for card in grid[row * 4 : row * 4 + 4]:
            if card is None:
                cells.append("[  --  ]")
            elif card.down:
                cells.append("[XXXXXX]")
            else:
                cells.append(f"[ {card.owner}{card.kind} ]")
        lines.append("ABC"[row] + " " + "".join(cells) + "\n")
    return "".join(lines)


def parse_deal(text: str):
    """The grid of a rendering in which every card lies face up."""
    lines = text.split("\n")
    assert lines[0] + "\n" == HEADER and lines[4] == "" and len(lines) == 5
    grid = []
    for row in range(3):
        line = lines[row + 1]
        assert line.startswith("ABC"[row] + " ") and len(line) == 26
        for col in range(4):
            cell = line[2 + 6 * col : 8 + 6 * col]
            assert cell[:2] == "[ " and cell[4:] == " ]", line
            grid.append(Card(False, cell[2], cell[3]))
    return tuple(grid)


def _slot(text: str) -> Optional[int]:
    if len(text) == 2 and text[0] in "ABC" and text[1] in "1234":
        return "ABC".index(text[0]) * 4 + "1234".index(text[1])
    return None


def _flip(grid: list, slot: int) -> None:
    card = grid[slot]
    if card is not None:
        grid[slot] = card._replace(down=not card.down)


def check(grid, player: str, move: str):
    """(None, new grid) for a legal move, else (message, grid unchanged)."""
    raw = move.encode("utf-8")
    # Slot texts are judged on bytes; a non-ASCII byte never forms one.
    text = raw.decode("latin-1")
    if len(raw) == 4:
        src, dst = _slot(text[:2]), _slot(text[2:])
        if src is None:
            return MESSAGES["origin"], grid
        if dst is None:
            return MESSAGES["destination"], grid
        if src == dst:
            return MESSAGES["same_slot"], grid
        card = grid[src]
        if card is None or card.down:
            return MESSAGES["origin_down"], grid
        if card.owner != player:
            return MESSAGES["not_yours"], grid
        if card.kind != "F":
            return MESSAGES["only_figures"], grid
        if grid[dst] is None:
            return MESSAGES["no_target"], grid
        new = list(grid)
        _flip(new, dst)
        _flip(new, src)
        return None, tuple(new)
    if len(raw) == 2:
        at = _slot(text)
        if at is None:
            return MESSAGES["coordinate"], grid
        card = grid[at]
        if card is None:
            return MESSAGES["no_card"], grid
        if not card.down and card.owner != player:
            return MESSAGES["opponent_up"], grid
        if not card.down and card.kind != "N":
            return MESSAGES["need_target"], grid
        new = list(grid)
        if card.down:
            new[at] = None
        else:
            _flip(new, at)
            for n in neighbours(at):
                _flip(new, n)
        return None, tuple(new)
    return MESSAGES["format"], grid


def legal_moves(grid, player: str) -> list:
    moves = []
    for s, card in enumerate(grid):
        if card is None or (not card.down and card.owner != player):
            continue
        if card.down or card.kind == "N":
            moves.append(SLOT_TEXTS[s])
        else:
            moves += [SLOT_TEXTS[s] + SLOT_TEXTS[t] for t in range(12) if t != s and grid[t]]
    return moves


def bot_moves(grid, player: str) -> list:
    """The bot's candidates in search order: legal moves without Figures aimed
    at one's own face-up cards, stably sorted by target (the opponent's
    Figures, the opponent's Normal cards, the rest)."""

    def key(move):
        if len(move) == 2:
            return 2
        target = grid[_slot(move[2:])]
        if target.owner == player:
            return 2
        return 0 if target.kind == "F" else 1

    def aimed_at_own_face_up(move):
        if len(move) == 2:
            return False
        target = grid[_slot(move[2:])]
        return not target.down and target.owner == player

    candidates = [m for m in legal_moves(grid, player) if not aimed_at_own_face_up(m)]
    return sorted(candidates, key=key)


def material(grid, player: str) -> int:
    return sum(10 if c.kind == "N" else 15 for c in grid if c is not None and c.owner == player)


def depth_one_scores(grid, player: str) -> dict:
    """The score a one-ply search gives every bot candidate."""
    scores = {}
    for move in bot_moves(grid, player):
        _, child = check(grid, player, move)
        mine, theirs = material(child, player), material(child, other(player))
        if theirs == 0 and mine:
            scores[move] = 10000
        elif mine == 0 and theirs:
            scores[move] = -10000
        else:
            scores[move] = mine - theirs
    return scores


class Game:
    """A real Board and the model's grid, played side by side."""

    def __init__(self):
        import tesko

        self.tesko = tesko
        self.board = tesko.Board()
        self.grid = parse_deal(str(self.board))

    def player(self, letter: str):
        return getattr(self.tesko.Player, letter)

    def play(self, letter: str, move: str) -> None:
        error, self.grid = check(self.grid, letter, move)
        assert error is None, (move, error)
        assert self.board.play(move, self.player(letter), "room") is None
        assert str(self.board) == render(self.grid)

    def random_move(self, rng):
        """Plays a random legal move of either side; False when neither has one."""
        options = [(p, m) for p in "AB" for m in legal_moves(self.grid, p)]
        if not options:
            return False
        self.play(*rng.choice(options))
        return True
