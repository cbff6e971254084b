import pytest
import tesko


@pytest.fixture
def board():
    return tesko.Board()


def assert_free(board):
    """The board can be read and written again: no borrow was left behind."""
    board.get_legal_moves(tesko.Player.A)
    with pytest.raises(ValueError, match="^Formato inválido.$"):
        board.play("", tesko.Player.A, "room")


@pytest.fixture
def refused():
    """Checks that `call` raises exactly `kind` with `message`, leaving the
    board as it was and free for the next call. Returns the exception."""

    def check(board, call, kind, message=None):
        before = str(board)
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value) is kind, info.value
        if message is not None:
            assert str(info.value) == message
        assert str(board) == before
        assert_free(board)
        return info.value

    return check
