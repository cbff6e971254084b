"""Saved games that resume on the engine, the referee's argument checks and
its move checks, and engine moves under a think time."""

from __future__ import annotations

import math
import random
import signal
import threading

import pytest
import tesko
from tesko import Board, Player
from tesko_tools import DealNotFound, End, Game, IllegalMove, Position, RecordError, deal_all
from tesko_tools import game as game_module

A, B = Player.A, Player.B


def random_game(seed: int, plies: int, ply_limit: int = 200) -> Game:
    rng = random.Random(seed)
    game = Game(first=(A, B)[seed % 2], ply_limit=ply_limit, room_id="r")
    while not game.over and game.plies < plies:
        game.play(rng.choice(game.legal_moves()))
    return game


# -- resume ---------------------------------------------------------------------


def test_an_unfinished_game_resumes_and_the_engine_finishes_it():
    game = random_game(3, 5)
    assert not game.over
    text = game.save()
    resumed = Game.load(text, room_id="room-9")
    assert resumed.board is not None and resumed.room_id == "room-9"
    assert str(resumed.board) == str(game.board) == str(resumed)
    assert (resumed.history, resumed.to_move, resumed.plies) == (
        game.history,
        game.to_move,
        game.plies,
    )
    assert resumed.save() == text
    while not resumed.over:
        choice = resumed.play_bot(2)
        assert choice.depth == 2
    assert resumed.result is not None and resumed.plies > game.plies
    again = Game.resume(resumed.save())
    assert (again.result, str(again)) == (resumed.result, str(resumed))


def finished(end: End) -> Game:
    for seed in range(200):
        game = random_game(seed, 10**6, ply_limit=4 if end is End.PLY_LIMIT else 200)
        assert game.result is not None
        if game.result.end is end:
            return game
    raise AssertionError(f"no game ended with {end}")


@pytest.mark.parametrize("end", [End.NO_CARDS, End.PLY_LIMIT])
def test_finished_live_games_round_trip_on_the_engine(end):
    game = finished(end)
    resumed = Game.resume(game.save())
    assert resumed.board is not None
    assert (resumed.result, resumed.history, str(resumed.board)) == (
        game.result,
        game.history,
        str(game.board),
    )
    assert resumed.save() == game.save()


def test_a_game_that_ends_stuck_round_trips_for_review(monkeypatch):
    # No dealt game can end this way (a side with cards always has a move), so
    # it lives on the model alone, with a rules variant where B never moves
    # and A is stuck from four face-down cards on: two Figure moves.
    full = Game(board=Board()).layout
    real = Position.legal_moves

    def variant(self: Position, player: Player) -> list[str]:
        down = sum(c is not None and not c.face_up for c in self.cells)
        return [] if player == B or down >= 4 else real(self, player)

    monkeypatch.setattr(Position, "legal_moves", variant)
    game = Game.from_layout(full)
    while not game.over:
        down = [s for p in (A, B) for s, c in game.cards(p).items() if not c.face_up]
        game.play(next(m for m in game.legal_moves() if len(m) == 4 and m[2:] not in down))
    assert game.result is not None and game.result.end is End.NO_MOVES
    assert any(t.is_pass for t in game.history)
    loaded = Game.load(game.save(), engine=False)
    assert (loaded.result, loaded.history) == (game.result, game.history)


def test_a_draw_on_material_round_trips():
    rows = ["[ AN ][  --  ][  --  ][  --  ]", "[  --  ]" * 4, "[  --  ][  --  ][  --  ][ BN ]"]
    text = "   1   2   3   4\n" + "".join(f"{r} {row}\n" for r, row in zip("ABC", rows))
    game = Game.from_layout(text, ply_limit=1)
    game.play("A1")
    assert game.result is not None and game.result.winner is None
    assert Game.load(game.save(), engine=False).result == game.result
    # A layout that no deal gives cannot go back on an engine board.
    with pytest.raises(RecordError, match="engine=False"):
        Game.load(game.save())


def test_no_matching_deal_within_the_bound_is_a_clear_error(monkeypatch):
    text = random_game(1, 2).save()

    def never_the_layout() -> Board:
        board = tesko.Board()
        board.play(board.get_legal_moves(A)[-1], A, "")  # leaves a card face down
        return board

    monkeypatch.setattr(game_module, "Board", never_the_layout)
    with pytest.raises(DealNotFound, match="in 1,000 attempts"):
        Game.resume(text, max_attempts=1000)
    with pytest.raises(ValueError, match="max_attempts"):
        Game.resume(text, max_attempts=0)


def test_one_stream_of_deals_serves_several_layouts_in_their_order(monkeypatch):
    boards = [Board() for _ in range(3)]
    first, second, third = (str(b) for b in boards)
    deals = iter([boards[2], boards[0], boards[1], Board()])
    monkeypatch.setattr(game_module, "Board", lambda: next(deals))
    # Each deal goes to whichever layout waits for it; the stream stops
    # once every layout has its board.
    assert deal_all([second, first], max_attempts=2) == [boards[1], boards[0]]
    assert len(list(deals)) == 1  # the last deal was not needed
    # A layout no deal gives stays None once the bound, (1 + ln 2) x 2 deals,
    # is spent; the others still get theirs.
    deals = iter([boards[2]] * 3 + [boards[0]])
    assert deal_all([first, third], max_attempts=2) == [None, boards[2]]


def test_records_are_versioned_and_older_records_load():
    game = random_game(2, 3)
    text = game.save()
    assert text.splitlines()[:2] == ["tesko game", "version: 1"]
    older = text.replace("version: 1\n", "")  # as written before the version line
    assert Game.load(older, engine=False).history == game.history
    with pytest.raises(RecordError, match="version '2'"):
        Game.load(text.replace("version: 1", "version: 2"))
    with pytest.raises(RecordError, match="ply limit"):
        Game.load(text.replace("ply limit: 200", "ply limit: " + "9" * 5000))
    with pytest.raises(TypeError):
        Game.load(text.encode())  # type: ignore[arg-type]


def test_a_record_with_an_illegal_move_is_refused_before_any_deal(monkeypatch):
    text = random_game(4, 3).save()
    lines = text.splitlines(keepends=True)
    broken = "".join(
        line.replace(line.split()[2], "Z9") if line.startswith("2. ") else line for line in lines
    )
    monkeypatch.setattr(game_module, "deal", lambda *a, **k: pytest.fail("dealt"))
    with pytest.raises(RecordError, match="turn 2: .* Z9: Coordenada inválida."):
        Game.resume(broken)


# -- argument checks ---------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        ({"ply_limit": 2.5}, TypeError, "ply_limit must be an int, not float"),
        ({"ply_limit": True}, TypeError, "ply_limit must be an int, not bool"),
        ({"ply_limit": math.nan}, TypeError, "ply_limit"),
        ({"ply_limit": 10**5000}, ValueError, "ply_limit must be from 1 to 1000000"),
        ({"ply_limit": 0}, ValueError, "ply_limit must be from 1"),
        ({"room_id": None}, TypeError, "room_id must be a str, not NoneType"),
        ({"room_id": 5}, TypeError, "room_id must be a str, not int"),
        ({"first": "A"}, TypeError, "first must be a Player, not str"),
        ({"first": 0}, TypeError, "first must be a Player"),
        ({"board": "board"}, TypeError, "board must be a tesko.Board"),
    ],
)
def test_arguments_are_checked_when_the_game_is_made(kwargs, error, words):
    with pytest.raises(error, match=words):
        Game(**kwargs)
    if "room_id" not in kwargs and "board" not in kwargs:
        with pytest.raises(error, match=words):
            Game.from_layout(Game(board=Board()).layout, **kwargs)


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda g: g.bot_move(0), ValueError, "depth must be from 1 to 4294967295"),
        (lambda g: g.bot_move(2**32), ValueError, "depth"),
        (lambda g: g.bot_move(2.0), TypeError, "depth must be an int"),
        (lambda g: g.bot_move(2, think_time=0), ValueError, "think_time"),
        (lambda g: g.bot_move(2, think_time=math.inf), ValueError, "think_time"),
        (lambda g: g.bot_move(2, think_time="1"), TypeError, "think_time"),
        (lambda g: g.play(b"A1"), TypeError, "move must be a str"),
    ],
)
def test_bad_calls_are_refused_and_change_nothing(call, error, words):
    game = Game()
    before = (str(game.board), game.history)
    with pytest.raises(error, match=words):
        call(game)
    assert (str(game.board), game.history) == before


class Liar(str):
    """A move text whose comparisons lie."""

    def __eq__(self, other: object) -> bool:
        return self.startswith("Z")

    def __ne__(self, other: object) -> bool:
        return not self.__eq__(other)

    __hash__ = str.__hash__

    def __str__(self) -> str:
        return "A1"


def test_the_model_and_the_engine_judge_the_same_text():
    game = Game()
    before = (str(game.board), str(game))
    # Equal to every legal move by its __eq__, yet no move at all.
    with pytest.raises(IllegalMove, match="^Coordenada inválida.$"):
        game.play(Liar("Z9"))
    assert (str(game.board), str(game)) == before and game.history == ()
    move = game.legal_moves()[0]
    game.play(Liar(move))  # unequal to everything, yet a legal move
    assert type(game.history[0].move) is str and game.history[0].move == move
    assert str(game.board) == str(game)


def test_model_refusals_carry_the_engine_messages():
    # Every refusal the model gives is the one the engine gives, word for word.
    rng = random.Random(5)
    texts = ["", "A", "A1 ", "a1", "Z9", "A1A1", "A1A5", "D1A1", "é1", "A1é"]
    for _ in range(30):
        board = Board()
        game = Game(board=board)
        for _ in range(rng.randrange(6)):
            if game.over:
                break
            game.play(rng.choice(game.legal_moves()))
        if game.over:
            continue
        side = game.to_move
        for move in texts + [a + b for a in ("A1", "B2", "C4") for b in ("", "A2", "C3")]:
            expected = game._position.refusal(move, side)
            if expected is None:
                continue
            with pytest.raises(ValueError) as info:
                board.play(move, side, "")
            assert str(info.value) == expected


# -- think time ----------------------------------------------------------------------


def test_a_think_time_stops_a_deep_search_with_a_shallower_move():
    game = Game()
    sentinel = signal.getsignal(signal.SIGALRM)
    choice = game.bot_move(60, think_time=0.2)  # depth 60 would take far too long
    assert choice.move in game.legal_moves()
    assert 1 <= choice.depth < 60
    assert choice.seconds < 30
    assert signal.getsignal(signal.SIGALRM) is sentinel
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    game.play(choice.move)  # the board is free again


def test_a_think_time_long_enough_reaches_the_depth():
    game = Game()
    choice = game.play_bot(2, think_time=60)
    assert choice.depth == 2 and game.plies == 1


def test_a_think_time_needs_the_main_thread():
    game = Game()
    errors: list[BaseException] = []

    def worker() -> None:
        try:
            game.bot_move(3, think_time=1)
        except BaseException as err:
            errors.append(err)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert len(errors) == 1 and isinstance(errors[0], RuntimeError)
    assert "main thread" in str(errors[0])
