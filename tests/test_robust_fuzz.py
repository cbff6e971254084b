"""Fuzzing the Python API.

Random calls of every Board method and of the Player and CardType slots,
with arguments of every kind (texts with multi-byte characters and lone
surrogates, bytes, ints far out of range, str and int subclasses, objects
whose __index__ or type name runs code that re-enters the board), on boards
driven into random reachable states. Every call must end exactly as the call
boundary promises: the same result as the rules model, or the same exception
with the same text; a failed call leaves the board as it was and free.

Code that the module runs in the middle of a call (an __index__, a type's
__qualname__, a keyword name's __str__) is a hook: it may call into the same
board, checks on the spot what that nested call must do given how the board
is held at that moment, and logs what it did. After the call, `predict`
walks the binding and conversion rules in their order, taking each hook's
logged outcome where the module would have run it, and names the one
outcome the call may have.

The normal suite runs a short fuzz. TESKO_FUZZ_SECONDS=N keeps starting new
rounds until N seconds have passed (the CI runs a bounded one under the
sanitizers; run it for an hour by hand before a release).
"""

import collections
import faulthandler
import gc
import math
import os
import re
import signal
import time
import warnings

import game_model as model
import pytest
import tesko
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    rule,
    run_state_machine_as_test,
)
from tesko import Board, CardType, Player

SIGNATURES = {
    "play": ("Board.play()", ("move_str", "player", "_room_id")),
    "get_legal_moves": ("Board.get_legal_moves()", ("player",)),
    "play_bot": ("Board.play_bot()", ("player", "depth")),
    "new": ("Board.__new__()", ()),
}
# How each call holds the board while its conversions run.
HOLD = {"play": "write", "get_legal_moves": "read", "play_bot": "read"}
LONG_MIN = -(2**63)
DEEP = 5  # a bot search this deep runs under a think-time limit
THINK_SECONDS = 0.2
SEEN = collections.Counter()  # outcomes by call, reported by a long run


class Timeout(Exception):
    """The think-time limit of a deep bot search ran out."""


# ---------------------------------------------------------------------------
# What a call may do


class Fail(Exception):
    """The call must raise `kind` with `text` (a str, or a compiled pattern
    for texts that the interpreter words); `cause` is the __cause__ that a
    renamed TypeError must carry."""

    def __init__(self, kind, text, cause=None):
        super().__init__(kind, text)
        self.kind, self.text, self.cause = kind, text, cause


class Passes(Exception):
    """The call must raise this very exception object, unchanged."""

    def __init__(self, error):
        super().__init__(error)
        self.error = error


def encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


class Event:
    def __init__(self, kind):
        self.kind, self.raised, self.returned = kind, None, None


def take(events, kind):
    assert events, f"the module skipped a {kind} hook that it should have run"
    event = events.pop(0)
    assert event.kind == kind, f"expected a {kind} hook, the module ran {event.kind}"
    return event


# ---------------------------------------------------------------------------
# Hooks: Python code the module runs in the middle of a call


class Harness:
    """One fuzzed board, its twin in the rules model, and the hooks' log."""

    def __init__(self):
        self.game = model.Game()
        self.other = model.Game()  # a second board that hooks may change freely
        self.outer = None  # the call in progress: a key of HOLD, "new" or "enum"
        self.events = []
        self.problems = []
        self.hooks_running = 0
        self.armed = False

    @property
    def board(self):
        return self.game.board

    def hold(self, kind):
        """How the board is held when a hook of `kind` runs."""
        if kind == "key" or self.outer not in HOLD:
            return "free"  # keyword names are bound before the board is taken
        return HOLD[self.outer]

    def nested(self, action, hold):
        """Runs `action` on the board from inside a call and checks it;
        returns the RuntimeError it raised as it had to, else None."""
        g = self.game
        try:
            if action == "render":
                result = str(g.board)
                expected = model.render(g.grid)
            elif action == "legal":
                result = g.board.get_legal_moves(Player.B)
                expected = model.legal_moves(g.grid, "B")
            elif action == "bot":
                result = g.board.play_bot(Player.A, 1)
                moves = model.bot_moves(g.grid, "A")
                fits = result in moves if moves else result == ""
                expected = result if fits else f"one of {moves}"
            elif action == "play":
                move = (model.legal_moves(g.grid, "A") or ["A1"])[0]
                error, after = model.check(g.grid, "A", move)
                try:
                    result = g.board.play(move, Player.A, "nested")
                except ValueError as e:
                    result = e.args
                expected = None if error is None else (error,)
                if hold == "free" and result is None:
                    g.grid = after
            elif action == "other":
                moves = model.legal_moves(self.other.grid, "B")
                if moves:
                    self.other.play("B", moves[0])
                return None
            elif action == "gc":
                gc.collect()
                return None
            elif action == "deal":
                model.parse_deal(str(Board()))
                return None
            else:
                raise AssertionError(action)
        except RuntimeError as e:
            writing = action == "play"
            refused = hold == "write" or (writing and hold == "read")
            want = "Already borrowed" if writing else "Already mutably borrowed"
            if not refused or str(e) != want:
                self.problems.append(f"nested {action} while the board is {hold}: {e!r}")
            return e
        if hold == "write" or (action == "play" and hold == "read"):
            self.problems.append(f"nested {action} went through while the board is {hold}")
        elif result != expected:
            self.problems.append(f"nested {action}: {result!r}, expected {expected!r}")
        return None

    def run_hook(self, kind, recipe, finish):
        """The body of every hook: the nested call, then `finish` (which
        returns the hook's value or raises). Logs what it did."""
        action, propagate, end = recipe
        event = Event(kind)
        self.events.append(event)
        self.hooks_running += 1
        try:
            refused = self.nested(action, self.hold(kind)) if action else None
            if refused is not None and propagate:
                raise refused
            event.returned = finish(end)
            return event.returned
        except BaseException as e:
            event.raised = e
            raise
        finally:
            self.hooks_running -= 1


class CustomError(Exception):
    pass


class OddTypeError(TypeError):
    pass


def raise_for(end):
    if end == "TypeError":
        raise TypeError("bad depth")
    if end == "TypeError from":
        raise TypeError("bad depth, with a cause") from KeyError("cause")
    if end == "TypeError from None":
        raise TypeError("bad depth, cause hidden") from None
    if end == "TypeError subclass":
        raise OddTypeError("odd")
    if end == "OverflowError":
        raise OverflowError("too big")
    raise CustomError(end)


class IntSub(int):
    """An int subclass whose own conversions lie: the module must read the
    value itself."""

    def __index__(self):
        raise AssertionError("the module called IntSub.__index__")

    def __int__(self):
        raise AssertionError("the module called IntSub.__int__")

    def __str__(self):
        return "not me"


class StrSub(str):
    """A str subclass whose own methods lie: the module must read the text."""

    def __str__(self):
        return "lies"

    def __len__(self):
        return 99

    def encode(self, *args, **kwargs):
        raise AssertionError("the module called StrSub.encode")


def make_index(h, recipe):
    class Index:
        def __index__(self):
            return h.run_hook("index", recipe, index_end)

    return Index()


def index_end(end):
    kind, value = end
    if kind == "raise":
        raise_for(value)
    return value if kind == "int" else IntSub(value) if kind == "intsub" else value


def make_spy(h, recipe):
    """An object of a class whose __qualname__ runs a hook."""

    class SpyMeta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return h.run_hook("qualname", recipe, qualname_end)
            return super().__getattribute__(name)

    return SpyMeta("Spy", (), {})()


def qualname_end(end):
    if end == "raise":
        raise CustomError("no name")
    return {"name": "Spy", "int": 42, "surrogate": "Sp\ud800y"}[end]


def make_key(h, recipe, text):
    """A keyword name whose __str__ runs a hook."""

    class Key(str):
        def __str__(self):
            return h.run_hook("key", recipe, key_end)

    return Key(text)


def key_end(end):
    if end == "raise":
        raise CustomError("no str")
    return {"name": "shown", "int": 7, "surrogate": "\udcff"}[end]


class FakePlayer:
    """Claims to be a Player through __class__; the module checks the type."""

    @property
    def __class__(self):
        return Player


def materialise(h, recipe):
    kind = recipe[0]
    if kind == "member":
        return {"A": Player.A, "B": Player.B, "Normal": CardType.Normal, "Figure": CardType.Figure}[
            recipe[1]
        ]
    if kind == "plain":
        return recipe[1]
    if kind == "legal":
        moves = model.legal_moves(h.game.grid, recipe[1])
        return moves[recipe[2] % len(moves)] if moves else "A1"
    if kind == "strsub":
        return StrSub(recipe[1])
    if kind == "intsub":
        return IntSub(recipe[1])
    if kind == "bytearray":
        return bytearray(recipe[1])
    if kind == "memoryview":
        return memoryview(recipe[1])
    if kind == "index":
        return make_index(h, recipe[1])
    if kind == "spy":
        return make_spy(h, recipe[1])
    if kind == "thing":
        return {
            "board": h.board,
            "other board": h.other.board,
            "Player": Player,
            "tesko": tesko,
            "fake player": FakePlayer(),
            "object": object(),
            "list": ["A1"],
            "nan": math.nan,
        }[recipe[1]]
    raise AssertionError(recipe)


def make_key_name(h, recipe):
    if isinstance(recipe, str):
        return recipe
    if recipe[0] == "strsub":
        return type("Name", (str,), {})(recipe[1])
    return make_key(h, recipe[1], recipe[2])


# ---------------------------------------------------------------------------
# The one outcome a call may have


def bind(h, method, args, kwargs):
    full, params = SIGNATURES[method]
    n = len(params)
    if len(args) > n:
        raise Fail(
            TypeError,
            f"{full} takes {n} positional arguments but {len(args)} {'was' if len(args) == 1 else 'were'} given",
        )
    bound = dict(zip(params, args))
    for name, value in kwargs.items():
        text = str.__str__(name)
        if encodable(text) and text in params:
            if text in bound:
                raise Fail(TypeError, f"{full} got multiple values for argument '{text}'")
            bound[text] = value
            continue
        raise Fail(TypeError, f"{full} got an unexpected keyword argument '{shown_name(h, name)}'")
    missing = [p for p in params if p not in bound]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        if len(quoted) == 1:
            names = quoted[0]
        elif len(quoted) == 2:
            names = " and ".join(quoted)
        else:
            names = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        raise Fail(
            TypeError,
            f"{full} missing {len(missing)} required positional {'argument' if len(missing) == 1 else 'arguments'}: {names}",
        )
    return [bound[p] for p in params]


def shown_name(h, name):
    """str(name) as the module takes it for its message."""
    if type(name).__str__ is str.__str__:
        return str.__str__(name)
    event = take(h.events, "key")
    if event.raised is not None:
        raise Passes(event.raised)
    if not isinstance(event.returned, str):
        raise Fail(TypeError, f"__str__ returned non-string (type {type(event.returned).__name__})")
    return event.returned


def type_name(h, obj):
    cls = type(obj)
    if type(cls).__name__ == "SpyMeta":
        event = take(h.events, "qualname")
        good = (
            event.raised is None and isinstance(event.returned, str) and encodable(event.returned)
        )
        return event.returned if good else "<failed to extract type name>"
    return cls.__qualname__


def mismatch(h, param, obj, expected):
    if obj is None:
        text = f"'None' is not an instance of '{expected}'"
    else:
        text = f"'{type_name(h, obj)}' object is not an instance of '{expected}'"
    raise Fail(TypeError, f"argument '{param}': {text}")


def to_text(h, param, obj):
    if not isinstance(obj, str):
        mismatch(h, param, obj, "str")
    text = str.__str__(obj)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        raise Fail(UnicodeEncodeError, str(e)) from None
    return text


def to_player(h, obj):
    if type(obj) is not Player:
        mismatch(h, "player", obj, "Player")
    return "A" if obj is Player.A else "B"


def to_long(h, obj, strict_warnings, param=None):
    """PyLong_AsLong: the value, or raises what it raises (named for `param`
    when it is exactly a TypeError and a parameter is being converted)."""

    def type_error(text, cause=None):
        if param is None:
            raise Fail(TypeError, text)
        raise Fail(TypeError, f"argument '{param}': {text}", cause)

    if isinstance(obj, int):
        value = int.__int__(obj)
    elif type(obj).__name__ == "Index":
        event = take(h.events, "index")
        if event.raised is not None:
            if type(event.raised) is TypeError:
                type_error(str(event.raised), event.raised.__cause__)
            raise Passes(event.raised)
        value = event.returned
        if not isinstance(value, int):
            type_error(f"__index__ returned non-int (type {type(value).__name__})")
        if type(value) is not int:
            if strict_warnings:
                raise Fail(
                    DeprecationWarning, re.compile(r"^__index__ returned non-int \(type IntSub\)\.")
                )
            value = int.__int__(value)
    else:
        type_error(f"'{type_name_c(obj)}' object cannot be interpreted as an integer")
    if not LONG_MIN <= value < -LONG_MIN:
        raise Fail(OverflowError, "Python int too large to convert to C long")
    return value


def type_name_c(obj):
    """The interpreter's own name of the type (its tp_name)."""
    cls = type(obj)
    if cls.__module__ == "builtins" and cls.__name__ in ("Board", "Player", "CardType"):
        return "builtins." + cls.__name__
    return cls.__name__


def to_depth(h, obj, strict_warnings):
    value = to_long(h, obj, strict_warnings, "depth")
    if not 0 <= value <= 0xFFFFFFFF:
        raise Fail(OverflowError, "out of range integral type conversion attempted")
    return value


def predict(h, method, args, kwargs, strict_warnings):
    """("ok", what to check) for the call just made, or raises Fail/Passes."""
    raw = bind(h, method, args, kwargs)
    grid = h.game.grid
    if method == "new":
        return ("new",)
    if method == "play":
        text = to_text(h, "move_str", raw[0])
        letter = to_player(h, raw[1])
        to_text(h, "_room_id", raw[2])
        error, after = model.check(grid, letter, text)
        if error is not None:
            raise Fail(ValueError, error)
        return ("played", letter, text, after)
    if method == "get_legal_moves":
        return ("moves", model.legal_moves(grid, to_player(h, raw[0])))
    letter = to_player(h, raw[0])
    depth = to_depth(h, raw[1], strict_warnings)
    return ("bot", model.bot_moves(grid, letter), depth)


# ---------------------------------------------------------------------------
# Drawing calls

SURROGATES = st.integers(0xD800, 0xDFFF).map(chr)
CHARS = st.one_of(st.sampled_from("ABCabc01234 "), st.characters(), SURROGATES)
TEXTS = st.one_of(
    st.sampled_from(model.MOVE_TEXTS),
    st.sampled_from(
        [
            "",
            "A1\x00",
            "\x00A1",
            "\ud800",
            "A\udfff",
            "A1\udc80A4",
            "Á1",
            "A１",
            "Ａ1",
            "A1A4\u0301",
            "\U0001f0a1",
            "a1",
            " A1",
            "A1 ",
            "A1A",
            "A1A4A",
            "\x00" * 4,
            "C4C4",
            "A1" * 500,
        ]
    ),
    st.text(CHARS, max_size=6),
)
# Integers at the edges of every range a conversion goes through.
EDGE_INTS = st.sampled_from(
    [
        -1,
        5,
        2**31 - 1,
        2**31,
        2**32 - 1,
        2**32,
        2**63 - 1,
        2**63,
        -(2**63),
        -(2**63) - 1,
        2**64,
        10**40,
        -(10**40),
    ]
)
INTS = st.one_of(st.integers(0, 4), EDGE_INTS, st.integers())
ACTIONS = st.sampled_from([None, "render", "legal", "bot", "play", "other", "gc", "deal"])
HOOK = lambda ends: st.tuples(ACTIONS, st.booleans(), ends)  # noqa: E731
INDEX_ENDS = st.one_of(
    st.tuples(st.sampled_from(["int", "intsub"]), INTS),
    st.tuples(st.just("other"), st.sampled_from([None, "3", 1.0])),
    st.tuples(
        st.just("raise"),
        st.sampled_from(
            [
                "TypeError",
                "TypeError from",
                "TypeError from None",
                "TypeError subclass",
                "OverflowError",
                "custom",
            ]
        ),
    ),
)
VALUES = st.one_of(
    st.tuples(st.just("member"), st.sampled_from(["A", "B", "Normal", "Figure"])),
    st.tuples(st.just("plain"), TEXTS),
    st.tuples(st.just("plain"), INTS),
    st.tuples(st.just("plain"), st.sampled_from([True, False, None, 1.5, 0.0, b"A1", b"\xff"])),
    st.tuples(st.sampled_from(["strsub"]), TEXTS),
    st.tuples(st.just("intsub"), INTS),
    st.tuples(st.sampled_from(["bytearray", "memoryview"]), st.binary(max_size=4)),
    st.tuples(st.just("index"), HOOK(INDEX_ENDS)),
    st.tuples(st.just("spy"), HOOK(st.sampled_from(["name", "int", "raise", "surrogate"]))),
    st.tuples(
        st.just("thing"),
        st.sampled_from(
            ["board", "other board", "Player", "tesko", "fake player", "object", "list", "nan"]
        ),
    ),
)
NAMES = st.one_of(
    st.sampled_from(
        [
            "move_str",
            "player",
            "_room_id",
            "depth",
            "x",
            "seed",
            "self",
            "Player",
            "player\x00",
            "\udcff",
            "plaýer",
        ]
    ),
    st.tuples(st.just("strsub"), st.sampled_from(["player", "depth", "move_str", "nope"])),
    st.tuples(
        st.just("key"),
        HOOK(st.sampled_from(["name", "int", "raise", "surrogate"])),
        st.sampled_from(["player", "depth", "nope", "\ud800"]),
    ),
)
METHODS = st.sampled_from(["play", "get_legal_moves", "play_bot", "new"])
# Arguments that mostly fit their parameter, so that calls also get through
# to the rules and the search.
FITTING = {
    "move_str": st.one_of(
        st.tuples(st.just("legal"), st.sampled_from("AAB"), st.integers(0, 1023)),
        st.tuples(st.sampled_from(["plain", "strsub"]), TEXTS),
    ),
    "player": st.tuples(st.just("member"), st.sampled_from(["A", "A", "B"])),
    "_room_id": st.tuples(st.sampled_from(["plain", "plain", "strsub"]), TEXTS),
    "depth": st.one_of(
        st.tuples(st.sampled_from(["plain", "intsub"]), st.integers(0, 3)),
        st.tuples(st.sampled_from(["plain", "intsub"]), EDGE_INTS),
        st.tuples(st.just("index"), HOOK(st.tuples(st.just("int"), EDGE_INTS))),
        st.tuples(st.just("plain"), st.booleans()),
        st.tuples(
            st.just("index"), HOOK(st.tuples(st.sampled_from(["int", "intsub"]), st.integers(0, 3)))
        ),
    ),
}


@st.composite
def fitting_calls(draw):
    """Each parameter once, by position or by keyword, in any order; now
    and then one argument too many."""
    method = draw(st.sampled_from(["play", "get_legal_moves", "play_bot"]))
    params = SIGNATURES[method][1]
    values = [
        draw(VALUES if draw(st.integers(0, 3 * len(params))) == 0 else FITTING[p]) for p in params
    ]
    k = draw(st.integers(0, len(params)))
    kwargs = draw(st.permutations(list(zip(params[k:], values[k:]))))
    args = values[:k]
    extra = draw(st.sampled_from([None] * 8 + ["positional", "keyword", "missing"]))
    if extra == "positional":
        args.append(draw(VALUES))
    elif extra == "keyword":
        kwargs.insert(draw(st.integers(0, len(kwargs))), (draw(NAMES), draw(VALUES)))
    elif extra == "missing" and kwargs:
        kwargs.pop()
    return method, args, kwargs


ANY_CALLS = st.tuples(
    METHODS, st.lists(VALUES, max_size=4), st.lists(st.tuples(NAMES, VALUES), max_size=3)
)
# Two fitting calls for one call of anything.
CALLS = st.integers(0, 2).flatmap(lambda pick: ANY_CALLS if pick == 0 else fitting_calls())


def might_search_deep(recipes):
    for recipe in recipes:
        if (
            recipe[0] in ("plain", "intsub")
            and type(recipe[1]) is int
            and DEEP <= recipe[1] <= 0xFFFFFFFF
        ):
            return True
        if (
            recipe[0] == "index"
            and recipe[1][2][0] in ("int", "intsub")
            and DEEP <= recipe[1][2][1] <= 0xFFFFFFFF
        ):
            return True
    return False


class Fuzz(RuleBasedStateMachine):
    @initialize()
    def deal(self):
        self.h = Harness()
        self.previous = signal.signal(signal.SIGALRM, self.on_alarm)

    def teardown(self):
        signal.setitimer(signal.ITIMER_REAL, 0)
        if hasattr(self, "previous"):
            signal.signal(signal.SIGALRM, self.previous)

    def on_alarm(self, *_):
        if self.h.hooks_running:  # never inside a hook: try again shortly
            signal.setitimer(signal.ITIMER_REAL, 0.01)
        elif self.h.armed:
            raise Timeout

    @property
    def grid(self):
        return self.h.game.grid

    # Reachable states: legal moves of both sides, and taking cards off to
    # get to small end games.
    @rule(letter=st.sampled_from("AB"), pick=st.integers(0, 1023))
    def play_legal(self, letter, pick):
        moves = model.legal_moves(self.grid, letter)
        if moves:
            self.h.game.play(letter, moves[pick % len(moves)])

    @rule(letter=st.sampled_from("AB"), pick=st.integers(0, 1023))
    def take_off(self, letter, pick):
        down = [
            m
            for m in model.legal_moves(self.grid, letter)
            if len(m) == 2 and self.grid[model.slot(m)].down
        ]
        if down:
            self.h.game.play(letter, down[pick % len(down)])

    @rule(recipe=CALLS, strict=st.booleans())
    def call(self, recipe, strict):
        method, args, kwargs = recipe
        h = self.h
        board = h.board
        values = [materialise(h, s) for s in args]
        named = {}
        for name_recipe, value_recipe in kwargs:
            named[make_key_name(h, name_recipe)] = materialise(h, value_recipe)
        function = Board if method == "new" else getattr(board, method)
        deep = method == "play_bot" and might_search_deep(args + [v for _, v in kwargs])
        before, grid_before = str(board), self.grid
        h.outer, h.events, h.problems = method, [], []
        outcome = error = None
        with warnings.catch_warnings():
            warnings.simplefilter("error" if strict else "ignore")
            try:
                if deep:
                    h.armed = True
                    signal.setitimer(signal.ITIMER_REAL, THINK_SECONDS)
                try:
                    outcome = function(*values, **named)
                finally:
                    h.armed = False
                    signal.setitimer(signal.ITIMER_REAL, 0)
            except BaseException as e:  # noqa: B902 - every way out is checked
                if isinstance(e, (KeyboardInterrupt, SystemExit)):
                    raise
                error = e
        h.outer = None
        SEEN[method, type(error).__name__ if error else "ok", len(h.events)] += 1
        assert not h.problems, h.problems
        self.check(method, values, named, strict, before, grid_before, outcome, error)

    def check(self, method, values, named, strict, before, grid_before, outcome, error):
        h = self.h
        try:
            expected = predict(h, method, values, named, strict)
        except Passes as p:
            assert error is p.error, f"expected {p.error!r} unchanged, got {error!r}"
        except Fail as f:
            assert type(error) is f.kind, f"expected {f.kind.__name__}: {f.text!r}, got {error!r}"
            text = str(error)
            if isinstance(f.text, str):
                assert text == f.text, f"expected {f.text!r}, got {text!r}"
            else:
                assert f.text.search(text), text
            if f.kind is TypeError and text.startswith("argument '"):
                assert error.__cause__ is f.cause and error.__suppress_context__
        else:
            if expected[0] == "bot" and type(error) is Timeout and expected[2] >= 1:
                pass  # a deep search stopped by its think time
            else:
                assert error is None, f"expected {expected[0]}, got {error!r}"
                self.check_result(expected, outcome)
        assert not h.events, (
            f"hooks ran that the module should not have run: {[e.kind for e in h.events]}"
        )
        if error is not None:
            # A failed call changed nothing; only a nested play made before
            # the board was taken (while keywords were bound) may have.
            assert str(h.board) == (before if self.grid == grid_before else model.render(self.grid))

    def check_result(self, expected, outcome):
        kind = expected[0]
        if kind == "new":
            assert type(outcome) is Board
            model.parse_deal(str(outcome))
        elif kind == "played":
            _, letter, _, after = expected
            assert outcome is None
            self.h.game.grid = after
        elif kind == "moves":
            assert type(outcome) is list and outcome == expected[1]
        else:
            _, moves, depth = expected
            assert type(outcome) is str
            assert outcome == "" if depth == 0 or not moves else outcome in moves, (
                outcome,
                moves,
                depth,
            )

    @rule(
        member=st.sampled_from(["A", "B", "Normal", "Figure"]),
        op=st.sampled_from(
            ["repr", "str", "int", "==", "!=", "r==", "r!=", "<", "r<", ">=", "hash", "index"]
        ),
        other=VALUES,
    )
    def enum_op(self, member, op, other):
        h = self.h
        self_obj = materialise(h, ("member", member))
        value = 0 if member in ("A", "Normal") else 1
        cls = type(self_obj).__name__
        h.outer, h.events, h.problems = "enum", [], []
        operand = materialise(h, other)
        ops = {
            "repr": lambda: repr(self_obj),
            "str": lambda: str(self_obj),
            "int": lambda: int(self_obj),
            "==": lambda: self_obj == operand,
            "!=": lambda: self_obj != operand,
            "r==": lambda: operand == self_obj,
            "r!=": lambda: operand != self_obj,
            "<": lambda: self_obj < operand,
            "r<": lambda: operand < self_obj,
            ">=": lambda: self_obj >= operand,
            "hash": lambda: hash(self_obj),
            "index": lambda: [0, 1][self_obj],
        }
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                result, error = ops[op](), None
            except Exception as e:
                result, error = None, e
        h.outer = None
        SEEN[op, type(error).__name__ if error else "ok", len(h.events)] += 1
        assert not h.problems, h.problems
        if op in ("repr", "str"):
            assert result == f"{cls}.{member}"
        elif op == "int":
            assert type(result) is int and result == value
        elif op in ("hash", "index"):
            assert type(error) is TypeError, error
        else:
            equal = self.enum_equal(self_obj, value, operand)
            if op in ("==", "r=="):
                assert result is equal, (result, equal)
            elif op in ("!=", "r!="):
                assert result is (not equal), (result, equal)
            else:
                assert type(error) is TypeError and re.fullmatch(
                    r"'[<>]=?' not supported between instances of '.+' and '.+'", str(error)
                ), error
        assert not h.events, [e.kind for e in h.events]

    def enum_equal(self, member, value, other):
        """member == other by the comparison rules (the comparison swallows
        every failure of the conversion and answers NotImplemented, so the
        interpreter falls back to identity)."""
        if type(other) is type(member):
            return other is member
        if isinstance(other, (type(Player.A), type(CardType.Normal))):
            return False
        try:
            return value == to_long(self.h, other, strict_warnings=False)
        except (Fail, Passes):
            return False

    @invariant()
    def agrees_with_model(self):
        if not hasattr(self, "h"):
            return
        g = self.h.game
        assert str(g.board) == model.render(g.grid)
        for letter in "AB":
            assert g.board.get_legal_moves(g.player(letter)) == model.legal_moves(g.grid, letter)
        with pytest.raises(ValueError, match="^Formato inválido.$"):
            g.board.play("", Player.A, "")  # taken for writing: nothing holds it
        assert str(self.h.other.board) == model.render(self.h.other.grid)


def fuzz_settings(examples):
    return settings(
        max_examples=examples,
        stateful_step_count=30,
        deadline=None,
        suppress_health_check=list(HealthCheck),
    )


def test_fuzz_api():
    seconds = float(os.environ.get("TESKO_FUZZ_SECONDS", "0"))
    if seconds <= 0:
        run_state_machine_as_test(Fuzz, settings=fuzz_settings(100))
        return
    end = time.monotonic() + seconds
    rounds = 0
    # A round that hangs shows where, and ends the run.
    faulthandler.dump_traceback_later(seconds + 600, exit=True)
    try:
        while time.monotonic() < end:
            run_state_machine_as_test(Fuzz, settings=fuzz_settings(100))
            rounds += 1
    finally:
        faulthandler.cancel_dump_traceback_later()
    print(f"fuzz: {rounds} rounds of 100 examples in {seconds:.0f} s")
    for (call, outcome, hooks), count in sorted(SEEN.items()):
        print(f"  {call:16} {outcome:20} hooks {hooks}: {count}")
