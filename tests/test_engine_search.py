"""The search below the module: scores, the transposition table and the
bot's turn, against a plain Python rendering of the same algorithm."""

import _tesko_testing as t
import game_model as model
import pytest
from engine_grids import from_model, grids, parse, to_model
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

EXACT, LOWER, UPPER = 0, 1, 2
MAX_START, MIN_START, ROOT_START = -2147483646, 2147483645, -2147483647
PLACE = 2**20 - 1
FULL = (MAX_START, MIN_START)


def material(grid, player):
    return sum(15 if s[2] else 10 for s in grid if s is not None and s[1] == player)


class Reference:
    """The search written out plainly: a dict for the table, moves from the
    rules model, keys from the engine."""

    def __init__(self):
        self.table = {}
        self.nodes = 0

    def moves(self, grid, player):
        return model.bot_moves(to_model(grid), "AB"[player])

    def play(self, grid, player, move):
        error, after = model.check(to_model(grid), "AB"[player], move)
        assert error is None
        return from_model(after)

    def minimax(self, grid, depth, maximizing, to_move, bot, alpha, beta):
        self.nodes += 1
        alpha_in, beta_in = alpha, beta
        key = t.position_key(grid)
        remembered = None
        entry = self.table.get(key & PLACE)
        if entry is not None and entry[0] == key:
            _, e_depth, score, bound, remembered = entry
            if e_depth >= depth:
                if bound == EXACT:
                    return score
                if bound == LOWER:
                    alpha = max(alpha, score)
                else:
                    beta = min(beta, score)
                if alpha >= beta:
                    return score
        mine, theirs = material(grid, bot), material(grid, 1 - bot)
        if theirs == 0 and mine != 0:
            return 10000 + depth
        if mine == 0 and theirs != 0:
            return -10000 - depth
        if depth == 0:
            return mine - theirs
        moves = self.moves(grid, to_move)
        if not moves:
            return mine - theirs
        if remembered in moves:
            i = moves.index(remembered)
            moves[0], moves[i] = moves[i], moves[0]
        best, best_move = (MAX_START if maximizing else MIN_START), None
        for move in moves:
            s = self.minimax(
                self.play(grid, to_move, move),
                depth - 1,
                not maximizing,
                1 - to_move,
                bot,
                alpha,
                beta,
            )
            if (s > best) if maximizing else (s < best):
                best, best_move = s, move
            if maximizing:
                alpha = max(alpha, s)
            else:
                beta = min(beta, s)
            if alpha >= beta:
                break
        if maximizing:
            bound = UPPER if best <= alpha_in else LOWER if best >= beta else EXACT
        else:
            bound = LOWER if best >= beta_in else UPPER if best <= alpha else EXACT
        self.table[key & PLACE] = (key, depth, best, bound, best_move)
        return best

    def bot_turn(self, grid, player, depth):
        chosen, passes, previous = "", 0, None
        for d in range(1, depth + 1):
            moves = self.moves(grid, player)
            if not moves:
                break
            if previous in moves:
                i = moves.index(previous)
                moves[0], moves[i] = moves[i], moves[0]
            best, chosen, passes = ROOT_START, None, d
            for move in moves:
                s = self.minimax(
                    self.play(grid, player, move), d - 1, False, 1 - player, player, *FULL
                )
                if s > best:
                    best, chosen = s, move
            if best > 8999:
                break
            previous = chosen
        return chosen, self.nodes, passes


def sparse_grids():
    """Reachable-looking grids with few cards, so that deeper searches stay
    small enough for the reference."""
    return grids().filter(lambda g: sum(s is not None for s in g) <= 7)


class TestAgainstReference:
    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(
        grid=grids(),
        depth=st.integers(0, 3),
        to_move=st.integers(0, 1),
        bot=st.integers(0, 1),
        maximizing=st.booleans(),
    )
    def test_minimax(self, grid, depth, to_move, bot, maximizing):
        table, ref = t.Table(), Reference()
        score, nodes = table.minimax(grid, depth, maximizing, to_move, bot, *FULL)
        assert score == ref.minimax(grid, depth, maximizing, to_move, bot, *FULL)
        assert nodes == ref.nodes
        stored = ref.table.get(t.position_key(grid) & PLACE)
        probe = table.probe(t.position_key(grid))
        assert probe == (None if stored is None else stored[1:])

    @settings(
        max_examples=40,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
    )
    @given(grid=sparse_grids(), depth=st.integers(1, 6), player=st.integers(0, 1))
    def test_bot_turn(self, grid, depth, player):
        assert t.bot_turn(grid, player, depth) == Reference().bot_turn(grid, player, depth)

    def test_bot_turn_on_a_dealt_board(self):
        grid, _ = t.deal([0] * 11)
        assert t.bot_turn(grid, 0, 3) == Reference().bot_turn(grid, 0, 3)


class TestScores:
    def test_material_at_depth_zero(self):
        # A: a face-down Figure and a face-up Normal card (25); B: two Normal cards (20).
        grid = parse(["af AN .. ..", "BN .. bn ..", ".. .. .. .."])
        assert t.Table().minimax(grid, 0, True, 0, 0, *FULL)[0] == 5
        assert t.Table().minimax(grid, 0, True, 0, 1, *FULL)[0] == -5

    @pytest.mark.parametrize("depth", [0, 1, 4])
    def test_win_and_loss_even_with_moves_left(self, depth):
        grid = parse(["AN an .. ..", ".. .. .. ..", ".. .. .. .."])
        assert t.Table().minimax(grid, depth, True, 0, 0, *FULL) == (10000 + depth, 1)
        assert t.Table().minimax(grid, depth, False, 0, 1, *FULL) == (-10000 - depth, 1)

    @pytest.mark.parametrize("depth", [0, 3])
    def test_empty_grid_scores_zero_and_stores_nothing(self, depth):
        # The one position where the side to move has no move and the
        # game is not decided by material: nothing to search, nothing kept.
        table, empty = t.Table(), (None,) * 12
        assert table.minimax(empty, depth, True, 0, 0, *FULL) == (0, 1)
        assert table.probe(t.position_key(empty)) is None

    def test_first_of_equal_moves_is_stored(self):
        grid = parse(["AN .. BN ..", ".. .. .. ..", ".. .. .. AN"])
        table = t.Table()
        table.minimax(grid, 1, True, 0, 0, *FULL)
        assert table.probe(t.position_key(grid))[3] == t.bot_actions(grid, 0)[0]


class TestTable:
    GRID = parse(["AN .. bn ..", ".. BF .. an", ".. .. .. .."])

    def test_exact_entry_answers_without_search(self):
        table, key = t.Table(), t.position_key(self.GRID)
        table.store(key, 5, 1234, EXACT, None)
        assert table.minimax(self.GRID, 5, True, 0, 0, *FULL) == (1234, 1)
        assert table.minimax(self.GRID, 2, False, 1, 0, *FULL) == (1234, 1)  # other side to move
        assert table.minimax(self.GRID, 6, True, 0, 0, *FULL) != (1234, 1)  # too shallow

    @pytest.mark.parametrize(
        "bound, alpha, beta, cut", [(LOWER, 0, 100, 100), (UPPER, -100, 0, -100)]
    )
    def test_bound_entry_cuts_only_a_closed_window(self, bound, alpha, beta, cut):
        key = t.position_key(self.GRID)
        table = t.Table()
        table.store(key, 4, cut, bound, None)
        assert table.minimax(self.GRID, 4, True, 0, 0, alpha, beta) == (cut, 1)
        table.store(key, 4, cut, bound, None)
        score, nodes = table.minimax(self.GRID, 4, True, 0, 0, *FULL)
        assert nodes > 1

    def test_shallow_entry_only_orders(self):
        grid = parse(
            ["AN .. BN ..", ".. .. .. ..", ".. .. .. AN"]
        )  # every move of A scores the same
        last = t.bot_actions(grid, 0)[-1]
        table = t.Table()
        table.store(t.position_key(grid), 0, 777, EXACT, last)
        score, _ = table.minimax(grid, 1, True, 0, 0, *FULL)
        assert score != 777
        assert table.probe(t.position_key(grid))[3] == last

    def test_keys_sharing_a_place(self):
        table = t.Table()
        key = 0x123456789ABCDEF0
        other = key ^ (1 << 40)  # same low 20 bits, another key
        table.store(key, 3, 10, EXACT, "A1A2")
        assert table.probe(key) == (3, 10, EXACT, "A1A2")
        assert table.probe(other) is None
        table.store(other, 1, -5, UPPER, "C4")
        assert table.probe(key) is None
        assert table.probe(other) == (1, -5, UPPER, "C4")

    def test_each_turn_starts_empty(self):
        # A table lent out again must not remember the previous turn.
        grid = parse(["AN .. bn ..", ".. BF .. an", ".. .. .. .."])
        first = t.Table()
        first.store(t.position_key(grid), 9, 4321, EXACT, None)
        del first
        assert t.Table().probe(t.position_key(grid)) is None


class TestBotTurn:
    def test_depth_zero_and_no_moves(self):
        grid, _ = t.deal([0] * 11)
        assert t.bot_turn(grid, 0, 0) == ("", 0, 0)
        only_b = parse(["BN BF .. ..", ".. .. .. ..", ".. .. .. .."])
        assert t.bot_turn(only_b, 0, 5) == ("", 0, 0)

    def test_forced_win_stops_deepening(self):
        grid = parse(["AN .. .. ..", ".. .. .. ..", ".. .. .. bn"])
        assert t.bot_turn(grid, 0, 50) == ("C4", 2, 1)

    def test_deepens_to_the_full_depth_without_a_forced_win(self):
        grid = parse(["AN BN .. ..", ".. .. .. ..", ".. .. .. .."])
        move, nodes, passes = t.bot_turn(grid, 0, 3000)
        assert (move, passes) == ("A1", 3000)
        assert nodes > 3000
