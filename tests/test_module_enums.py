import operator

import pytest
from tesko import CardType, Player

MEMBERS = [
    (Player.A, "Player.A", 0),
    (Player.B, "Player.B", 1),
    (CardType.Normal, "CardType.Normal", 0),
    (CardType.Figure, "CardType.Figure", 1),
]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize("member, text, value", MEMBERS, ids=lambda x: str(x))
def test_member_text_value_and_identity(member, text, value):
    assert repr(member) == text and str(member) == text
    assert int(member) == value and type(int(member)) is int
    cls, name = text.split(".")
    assert getattr(globals()[cls], name) is member
    assert type(member).__name__ == cls
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [0, 1][member]
    with pytest.raises(TypeError):
        range(member)


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (Player.A, Player.A, True),
        (Player.A, Player.B, False),
        (CardType.Figure, CardType.Figure, True),
        (Player.B, 1, True),
        (1, Player.B, True),
        (Player.A, 0, True),
        (Player.A, False, True),
        (Player.B, True, True),
        (CardType.Figure, 1, True),
        (Player.B, 2, False),
        (Player.B, -1, False),
        (Player.B, 2**70, False),
        (Player.B, 1.0, False),
        (Player.A, 0.0, False),
        (Player.A, "A", False),
        (Player.A, None, False),
        (Player.A, CardType.Normal, False),
        (CardType.Figure, Player.B, False),
        (Player.B, Index(1), True),
        (Player.B, Index(7), False),
        (Player.B, Index(KeyError("raised by __index__")), False),
        (Player.B, Index(2**70), False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [Player.B, 1, Index(1), "A"], ids=repr)
def test_members_cannot_be_ordered(op, other):
    with pytest.raises(TypeError, match="not supported between instances of 'builtins.Player'"):
        op(Player.A, other)


def test_members_are_unhashable():
    assert Player.__hash__ is None and CardType.__hash__ is None
    for use in (hash, lambda m: {m: 1}, lambda m: {m}):
        for member in (Player.A, CardType.Normal):
            with pytest.raises(TypeError, match="unhashable type"):
                use(member)
    with pytest.raises(TypeError):
        sorted([Player.B, Player.A])
