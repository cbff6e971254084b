import signal

import pytest
import tesko

# PostgreSQL for the tests of the stores, the server and the cluster (they
# skip without it).
from postgres_fixtures import database, module_database, postgres  # noqa: F401


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


# A test run started in the background of a shell without job control
# inherits SIGINT ignored, and so would every interpreter the tests start:
# the tests that press Ctrl-C on a child would find it deaf. A handled
# signal is reset to the default in a child, so handling it here is enough.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
