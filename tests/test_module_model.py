"""A real Board played side by side with the rules model: random legal and
illegal moves of both sides, with rendering, legal moves, every refusal and
every bot move compared along the way."""

import game_model as model
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

SLOTS = st.sampled_from(model.SLOT_TEXTS)
NEAR_SLOTS = st.text(alphabet="ABCDab01234é ", min_size=2, max_size=2)
TEXTS = st.one_of(
    SLOTS,
    st.tuples(SLOTS, SLOTS).map("".join),
    st.tuples(NEAR_SLOTS, NEAR_SLOTS).map("".join),
    NEAR_SLOTS,
    st.text(max_size=6),
)
PLAYERS = st.sampled_from("AB")


class BoardAgainstModel(RuleBasedStateMachine):
    @initialize()
    def deal(self):
        self.game = model.Game()

    @property
    def grid(self):
        return self.game.grid

    @rule(letter=PLAYERS, text=TEXTS)
    def play_any_text(self, letter, text):
        error, _ = model.check(self.grid, letter, text)
        if error is None:
            self.game.play(letter, text)
            return
        try:
            self.game.board.play(text, self.game.player(letter), "room")
        except ValueError as e:
            assert e.args == (error,)
        else:
            raise AssertionError(f"{text!r} for {letter} was accepted, expected {error!r}")

    # Draws never depend on the deal (which no seed can fix), so that a run
    # draws the same data whatever cards were dealt.
    @rule(letter=PLAYERS, pick=st.integers(0, 1023))
    def play_legal(self, letter, pick):
        moves = model.legal_moves(self.grid, letter)
        if moves:
            self.game.play(letter, moves[pick % len(moves)])

    @rule(letter=PLAYERS, depth=st.integers(0, 3), apply=st.booleans())
    def bot(self, letter, depth, apply):
        move = self.game.board.play_bot(self.game.player(letter), depth)
        assert type(move) is str
        candidates = model.bot_moves(self.grid, letter)
        if depth == 0 or not candidates:
            assert move == ""
            return
        assert move in candidates
        if depth == 1:
            scores = model.depth_one_scores(self.grid, letter)
            assert scores[move] == max(scores.values())
            if len(candidates) <= 20:  # beyond that, ties may be ordered freely
                assert move == max(candidates, key=lambda m: (scores[m], -candidates.index(m)))
        if apply:
            self.game.play(letter, move)

    @invariant()
    def agrees_with_model(self):
        board = self.game.board
        assert str(board) == model.render(self.grid)
        for letter in "AB":
            assert board.get_legal_moves(self.game.player(letter)) == model.legal_moves(
                self.grid, letter
            )


BoardAgainstModel.TestCase.settings = settings(
    max_examples=150,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestBoardAgainstModel = BoardAgainstModel.TestCase
