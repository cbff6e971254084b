"""Thousands of calls on every success and failure path leave memory and
reference counts flat."""

import gc
import os
import sys
import tracemalloc

import tesko
from tesko import Board, CardType, Player

A = Player.A


class Index:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1


def swallow(call):
    try:
        call()
    except (TypeError, ValueError, OverflowError, RuntimeError, UnicodeEncodeError):
        pass


def exercise():
    board = Board()
    str(board)
    moves = board.get_legal_moves(A)
    board.get_legal_moves(player=Player.B)
    board.play_bot(A, 0)
    board.play(moves[0], A, "room")
    board.play_bot(A, 1)
    failures = [
        lambda: Board(1),
        lambda: Board(seed=1),
        lambda: board.play(),
        lambda: board.play("A1", A, "", x=1),
        lambda: board.play("A1", move_str="A1"),
        lambda: board.get_legal_moves(CardType.Normal),
        lambda: board.get_legal_moves(None),
        lambda: board.play(b"A1", A, ""),
        lambda: board.play("\ud800", A, ""),
        lambda: board.play("A1", A, None),
        lambda: board.play_bot(A, -1),
        lambda: board.play_bot(A, 2**70),
        lambda: board.play_bot(A, 1.5),
        lambda: board.play_bot(A, Index(lambda: board.play("A1", A, ""))),
        lambda: board.play_bot(A, Index(lambda: board.get_legal_moves(A))),
        lambda: A < Player.B,
    ] + [lambda text=text: board.play(text, A, "") for text in ("", "Z1", "A1A1", "a1a4", "A1A5")]
    for call in failures:
        swallow(call)
    for text in ("A1", "A2", "B2", "C4", "A1A2", "B1C4", "C3A1"):  # some succeed
        swallow(lambda: board.play(text, Player.B, "room"))
    assert A == 0 and A != Player.B and int(CardType.Figure) == 1 and repr(A) == "Player.A"


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat():
    objects = (tesko, Board, Player, CardType, A, Player.B, CardType.Normal, CardType.Figure)
    # Enough bot turns that the search's process-wide table has been wiped
    # (and so made resident) once before measuring.
    for _ in range(600):
        exercise()
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    rss = resident_bytes()
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(3000):
            exercise()
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == refs
    assert end - start < 64 * 1024
    assert resident_bytes() - rss < 4 * 1024 * 1024
