import subprocess
import sys

import game_model as model
import pytest
from tesko import Player


@pytest.mark.parametrize("player", [Player.A, Player.B])
def test_depth_zero_is_empty(board, player):
    assert board.play_bot(player, 0) == ""
    assert board.play_bot(player=player, depth=False) == ""


@pytest.mark.parametrize("depth", [1, 2, 3, 4])
def test_bot_moves_are_stable_legal_and_read_only(depth):
    game = model.Game()
    for letter in "AB":
        before = str(game.board)
        move = game.board.play_bot(game.player(letter), depth)
        assert type(move) is str and str(game.board) == before
        assert game.board.play_bot(game.player(letter), depth) == move
        assert move in model.bot_moves(game.grid, letter)
        game.play(letter, move)


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_a_signal_handler_can_stop_a_long_search():
    out = run_python("""if 1:
        import signal, tesko
        class Stop(Exception):
            pass
        def stop(*_):
            raise Stop
        signal.signal(signal.SIGALRM, stop)
        board = tesko.Board()
        before = str(board)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            board.play_bot(tesko.Player.A, 60)
        except Stop:
            print("stopped")
        assert str(board) == before
        assert board.play_bot(tesko.Player.A, 1) in board.get_legal_moves(tesko.Player.A)
    """)
    assert out == "stopped\n"


def test_memory_exhaustion_raises_memory_error():
    out = run_python("""if 1:
        import resource, tesko
        board = tesko.Board()
        page = resource.getpagesize()
        used = int(open("/proc/self/statm").read().split()[0]) * page
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + (4 << 20), hard))
        try:
            board.play_bot(tesko.Player.A, 1)
        except MemoryError:
            print("memory")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert board.play_bot(tesko.Player.A, 1) in board.get_legal_moves(tesko.Player.A)
    """)
    assert out == "memory\n"
