"""Thousands of calls on every success and failure path leave memory and
reference counts flat."""

import gc
import os
import signal
import sys
import tracemalloc
import warnings

import tesko
from tesko import Board, CardType, Player

A = Player.A
# AddressSanitizer holds freed memory back on purpose, so the resident size
# says nothing under it; allocations and reference counts still do.
UNDER_ASAN = any("libasan" in line for line in open("/proc/self/maps"))


class Index:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1


class Raising:
    """A depth whose __index__ raises `error` (or returns it if it is no
    exception)."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        if isinstance(self.error, BaseException):
            raise self.error
        return self.error


class IntSub(int):
    pass


# Arguments made at run time, so that each is an object of its own whose
# reference count tells whether a call kept or dropped a reference to it.
NAME = "".join(["unexp", "ected"])
SHOWN = "".join(["sho", "wn"])
ROOM = "".join(["ro", "om"])
TEXT = "".join(["Z", "9"])
BIG = int("4294967296")
ARGUMENTS = (NAME, SHOWN, ROOM, TEXT, BIG)


class Key(str):
    def __str__(self):
        return SHOWN


class Nameless(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise LookupError(name)
        return super().__getattribute__(name)


Opaque = Nameless("Opaque", (), {})


class Failure(Exception):
    pass


def swallow(call):
    try:
        call()
    except (
        TypeError,
        ValueError,
        OverflowError,
        RuntimeError,
        UnicodeEncodeError,
        Failure,
        DeprecationWarning,
    ):
        pass


def with_cause(cause):
    error = TypeError("no depth")
    error.__cause__ = cause
    return error


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
        # Less travelled ways out: renamed errors with their causes, errors
        # passed through, odd __index__ results, keyword names and type
        # names that run code or cannot be read.
        lambda: board.play_bot(A, Raising(with_cause(KeyError("why")))),
        lambda: board.play_bot(A, Raising(Failure("stop"))),
        lambda: board.play_bot(A, Raising(OverflowError("big"))),
        lambda: board.play_bot(A, Raising("3")),
        lambda: board.play_bot(A, Raising(IntSub(1))),
        lambda: board.play_bot(A, Raising(2**64)),
        lambda: board.play_bot(A, IntSub(2**40)),
        lambda: board.play("A1", A, "\udfff"),
        lambda: board.play(Opaque(), A, ""),
        lambda: board.get_legal_moves(**{Key("x"): A}),
        lambda: board.play_bot(**{"\udcff": A}),
        lambda: Board(**{Key("seed"): 1}),
        lambda: board.play_bot(player=A, depth=2, extra=1),
        lambda: A == Raising(Failure("cmp")),
        lambda: A == 2**70,
        lambda: A == BIG,
        lambda: board.play(TEXT, A, ROOM),
        lambda: board.play(ROOM, A, TEXT),
        lambda: board.play(TEXT, ROOM, ROOM),
        lambda: board.play_bot(A, BIG),
        lambda: board.play_bot(A, Raising(BIG)),
        lambda: board.play_bot(BIG, BIG),
        lambda: board.play_bot(player=A, depth=BIG, **{NAME: ROOM}),
        lambda: board.play_bot(A, **{NAME: ROOM}),
        lambda: Board(**{NAME: ROOM}),
        lambda: Board(TEXT, **{NAME: ROOM}),
    ] + [
        lambda text=text: board.play(text, A, "")
        for text in ("", "Z1", "A1A1", "a1a4", "A1A5", "A1\x00", "Á1")
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("error" if len(moves) % 2 else "ignore")  # both ways of IntSub
        for call in failures:
            swallow(call)
    board.play_bot(Player.B, 3)  # frames of a deeper search
    for text in ("A1", "A2", "B2", "C4", "A1A2", "B1C4", "C3A1"):  # some succeed
        swallow(lambda text=text: board.play(text, Player.B, "room"))
    assert A == 0 and A != Player.B and int(CardType.Figure) == 1 and repr(A) == "Player.A"


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat():
    objects = (
        tesko,
        Board,
        Player,
        CardType,
        A,
        Player.B,
        CardType.Normal,
        CardType.Figure,
    ) + ARGUMENTS
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
    if not UNDER_ASAN:
        assert resident_bytes() - rss < 4 * 1024 * 1024


class OutOfTime(Exception):
    pass


def stopped_search(board, player, seconds):
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        try:
            board.play_bot(player, 2**32 - 1)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except OutOfTime:
        return
    raise AssertionError("a search that never ends came back")


def test_interrupted_searches_give_back_what_they_took():
    """The way out of a search stopped by a signal handler releases the
    table, the frames and the board like any other."""

    def out_of_time(*_):
        raise OutOfTime

    previous = signal.signal(signal.SIGALRM, out_of_time)
    try:
        board = Board()
        for i in range(20):
            stopped_search(board, (A, Player.B)[i % 2], 0.002)
        gc.collect()
        refs = sys.getrefcount(A), sys.getrefcount(board)
        rss = resident_bytes()
        tracemalloc.start()
        try:
            start, _ = tracemalloc.get_traced_memory()
            for i in range(200):
                stopped_search(board, (A, Player.B)[i % 2], 0.001 + 0.001 * (i % 5))
            gc.collect()
            end, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert (sys.getrefcount(A), sys.getrefcount(board)) == refs
    assert end - start < 64 * 1024
    if not UNDER_ASAN:
        assert resident_bytes() - rss < 4 * 1024 * 1024
    assert board.play_bot(A, 1) in board.get_legal_moves(A)  # free again
