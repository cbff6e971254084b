"""Argument binding, conversions and borrows: the exact errors of every
Board entry point, and the board untouched by each of them."""

import itertools

import game_model as model
import pytest
from tesko import Board, CardType, Player

A = Player.A


class Index:
    """A depth whose __index__ calls `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class Key(str):
    """A keyword name that is a str subclass."""


class Shown(str):
    def __str__(self):
        return "shown"


BINDING = [
    (lambda b: b.play("A1", A), "Board.play() missing 1 required positional argument: '_room_id'"),
    (
        lambda b: b.play(),
        "Board.play() missing 3 required positional arguments: 'move_str', 'player', and '_room_id'",
    ),
    (
        lambda b: b.play(_room_id=""),
        "Board.play() missing 2 required positional arguments: 'move_str' and 'player'",
    ),
    (
        lambda b: b.play_bot(),
        "Board.play_bot() missing 2 required positional arguments: 'player' and 'depth'",
    ),
    (
        lambda b: b.get_legal_moves(),
        "Board.get_legal_moves() missing 1 required positional argument: 'player'",
    ),
    (
        lambda b: b.get_legal_moves(A, A),
        "Board.get_legal_moves() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda b: b.play_bot(A, 1, 2, x=1),
        "Board.play_bot() takes 2 positional arguments but 3 were given",
    ),
    (lambda b: Board(1), "Board.__new__() takes 0 positional arguments but 1 was given"),
    (lambda b: Board(1, 2), "Board.__new__() takes 0 positional arguments but 2 were given"),
    (lambda b: Board(seed=1), "Board.__new__() got an unexpected keyword argument 'seed'"),
    (
        lambda b: Board(**{"\udcff": 1}),
        "Board.__new__() got an unexpected keyword argument '\udcff'",
    ),
    (lambda b: b.play(foo=1), "Board.play() got an unexpected keyword argument 'foo'"),
    (
        lambda b: b.play("A1", A, "", room=1),
        "Board.play() got an unexpected keyword argument 'room'",
    ),
    (
        lambda b: b.get_legal_moves(**{Shown("x"): A}),
        "Board.get_legal_moves() got an unexpected keyword argument 'shown'",
    ),
    (
        lambda b: b.play_bot(**{"\udcff": A}),
        "Board.play_bot() got an unexpected keyword argument '\udcff'",
    ),
    (
        lambda b: b.play("A1", move_str="A1"),
        "Board.play() got multiple values for argument 'move_str'",
    ),
    (
        lambda b: b.play_bot(A, 1, player=A, x=1),
        "Board.play_bot() got multiple values for argument 'player'",
    ),
    (
        lambda b: b.play_bot(A, x=1, player=A),
        "Board.play_bot() got an unexpected keyword argument 'x'",
    ),
    # Conversions, in parameter order, only after binding succeeded.
    (
        lambda b: b.get_legal_moves(0),
        "argument 'player': 'int' object is not an instance of 'Player'",
    ),
    (lambda b: b.get_legal_moves(None), "argument 'player': 'None' is not an instance of 'Player'"),
    (
        lambda b: b.get_legal_moves(CardType.Normal),
        "argument 'player': 'CardType' object is not an instance of 'Player'",
    ),
    (lambda b: b.play(5, A, ""), "argument 'move_str': 'int' object is not an instance of 'str'"),
    (
        lambda b: b.play(b"A1", A, ""),
        "argument 'move_str': 'bytes' object is not an instance of 'str'",
    ),
    (lambda b: b.play("A1", A, None), "argument '_room_id': 'None' is not an instance of 'str'"),
    (lambda b: b.play("A1", A, 7), "argument '_room_id': 'int' object is not an instance of 'str'"),
    (lambda b: b.play(5, 1, 2), "argument 'move_str': 'int' object is not an instance of 'str'"),
    (
        lambda b: b.play("A1", 1, 2),
        "argument 'player': 'int' object is not an instance of 'Player'",
    ),
    (
        lambda b: b.play_bot(1, "x"),
        "argument 'player': 'int' object is not an instance of 'Player'",
    ),
    (
        lambda b: b.play_bot(A, 1.5),
        "argument 'depth': 'float' object cannot be interpreted as an integer",
    ),
    (
        lambda b: b.play_bot(A, "3"),
        "argument 'depth': 'str' object cannot be interpreted as an integer",
    ),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_type_errors(board, refused, call, message):
    error = refused(board, lambda: call(board), TypeError, message)
    if message.startswith("argument"):
        assert error.__cause__ is None and error.__suppress_context__


@pytest.mark.parametrize(
    "depth, message",
    [
        (-1, "out of range integral type conversion attempted"),
        (4294967296, "out of range integral type conversion attempted"),
        (-(2**63), "out of range integral type conversion attempted"),
        (2**63, None),
        (2**64, None),
        (-(2**64), None),
    ],
)
def test_depth_out_of_range(board, refused, depth, message):
    error = refused(board, lambda: board.play_bot(A, depth), OverflowError, message)
    assert "depth" not in str(error)


@pytest.mark.parametrize("args", [("\ud800", A, ""), ("A1", A, "\udfff")])
def test_unencodable_text_passes_through(board, refused, args):
    refused(board, lambda: board.play(*args), UnicodeEncodeError)


def test_depth_conversion_errors_keep_their_cause(board, refused):
    def fail():
        raise TypeError("no depth") from KeyError("why")

    error = refused(
        board, lambda: board.play_bot(A, Index(1, fail)), TypeError, "argument 'depth': no depth"
    )
    assert type(error.__cause__) is KeyError

    class Odd(TypeError):
        pass

    def fail_odd():
        raise Odd("left as it is")

    refused(board, lambda: board.play_bot(A, Index(1, fail_odd)), Odd, "left as it is")


def test_keyword_calls_behave_like_positional_ones():
    for order in itertools.permutations(["move_str", "player", "_room_id"]):
        game = model.Game()
        move = model.legal_moves(game.grid, "A")[0]
        _, expected = model.check(game.grid, "A", move)
        values = {"move_str": Key(move), "player": A, "_room_id": "room"}
        assert game.board.play(**{Key(k): values[k] for k in order}) is None
        assert str(game.board) == model.render(expected)
    board = Board()
    assert board.get_legal_moves(player=A) == board.get_legal_moves(A)
    assert board.play_bot(depth=2, player=A) == board.play_bot(A, 2)
    assert board.play_bot(A, True) == board.play_bot(A, 1)


class Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return Meta.qualname(cls)
        return super().__getattribute__(name)


def test_type_name_that_cannot_be_read(board, refused):
    class Opaque(metaclass=Meta):
        pass

    for bad in (lambda cls: 42, lambda cls: 1 / 0, lambda cls: "\ud800"):
        Meta.qualname = staticmethod(bad)
        refused(
            board,
            lambda: board.play(Opaque(), A, ""),
            TypeError,
            "argument 'move_str': '<failed to extract type name>' object is not an instance of 'str'",
        )


def test_readers_are_refused_while_play_writes(board, refused):
    seen = []

    class Spy(metaclass=Meta):
        pass

    def qualname(cls):
        for read in (str, lambda b: b.get_legal_moves(A), lambda b: b.play_bot(A, 0)):
            try:
                read(board)
            except RuntimeError as e:
                seen.append(str(e))
        return "Spy"

    Meta.qualname = staticmethod(qualname)
    message = "argument 'player': 'Spy' object is not an instance of 'Player'"
    refused(board, lambda: board.play("A1", Spy(), ""), TypeError, message)
    assert seen == ["Already mutably borrowed"] * 3


def test_depth_index_reentering_the_board(board, refused):
    before = str(board)
    seen = []

    def read():
        seen.append(str(board))
        seen.append(board.get_legal_moves(A))
        seen.append(board.play_bot(A, Index(1, lambda: seen.append(board.play_bot(A, 0)))))

    assert board.play_bot(A, Index(1, read)) == board.play_bot(A, 1)
    assert seen == [before, board.get_legal_moves(A), "", board.play_bot(A, 1)]

    write = Index(1, lambda: board.play("A1", A, ""))
    refused(board, lambda: board.play_bot(A, write), RuntimeError, "Already borrowed")

    def swallow():
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            board.play("", A, "")

    assert board.play_bot(A, Index(0, swallow)) == ""
    assert str(board) == before
