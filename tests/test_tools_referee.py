"""The referee: turns, endings, results, records and its model of the rules."""

from __future__ import annotations

import random

import pytest
from tesko import Board, CardType, Player
from tesko_tools import (
    Card,
    End,
    Game,
    GameOver,
    IllegalMove,
    Position,
    RecordError,
    Turn,
)

A, B = Player.A, Player.B


def layout(*rows: str) -> str:
    """A rendering from three rows of codes such as "AN -- BF --"."""
    lines = ["   1   2   3   4"]
    for letter, row in zip("ABC", rows):
        cells = ["[  --  ]" if code == "--" else f"[ {code} ]" for code in row.split()]
        assert len(cells) == 4
        lines.append(letter + " " + "".join(cells))
    return "\n".join(lines) + "\n"


FULL = layout("AN BN AF BF", "BN AN BN AN", "AF BF AN BN")


def play_all(game: Game, moves: list[str]) -> None:
    for move in moves:
        game.play(move)


# -- endings ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "first, moves, winner, text",
    [
        (A, ["A1", "A1"], B, "B wins: A has no cards left"),
        (B, ["C4", "C4"], A, "A wins: B has no cards left"),
        # A side that takes off its own last card loses too.
        (A, ["A1", "C4", "A1"], B, "B wins: A has no cards left"),
    ],
)
def test_a_side_without_cards_loses(first, moves, winner, text):
    game = Game.from_layout(layout("AN -- -- --", "-- -- -- --", "-- -- -- BN"), first=first)
    play_all(game, moves)
    assert game.over and game.to_move is None
    assert game.result is not None
    assert game.result.end is End.NO_CARDS
    assert game.result.winner == winner
    assert str(game.result) == text
    assert game.plies == len(moves)
    with pytest.raises(GameOver):
        game.play("A1")
    assert game.legal_moves() == []


@pytest.mark.parametrize(
    "rows, limit, moves, winner, text",
    [
        # Nothing leaves the grid: equal material is a draw.
        (
            ("AN BN AF BF", "BN AN BN AN", "AF BF AN BN"),
            1,
            ["A1"],
            None,
            "draw on material 70 to 70 (ply limit reached)",
        ),
        (
            ("AN -- -- --", "-- -- -- --", "BN -- -- BF"),
            3,
            ["A1", "C1", "C1"],
            B,
            "B wins on material 10 to 15 (ply limit reached)",
        ),
        # Face-down cards keep counting for their owner.
        (
            ("AF AN -- --", "-- -- -- --", "-- -- -- BN"),
            1,
            ["A2"],
            A,
            "A wins on material 25 to 10 (ply limit reached)",
        ),
    ],
)
def test_ply_limit_decides_on_material(rows, limit, moves, winner, text):
    game = Game.from_layout(layout(*rows), ply_limit=limit)
    play_all(game, moves[:-1])
    assert not game.over
    game.play(moves[-1])
    assert game.result is not None
    assert (game.result.end, game.result.winner, str(game.result)) == (End.PLY_LIMIT, winner, text)


@pytest.mark.parametrize(
    "moves, loser, end, text",
    [
        ([], A, End.TIME, "B wins on time: A ran out of time"),
        (["A1"], B, End.TIME, "A wins on time: B ran out of time"),
        (["A1"], A, End.ABANDONED, "B wins: A abandoned the game"),
        (["A1", "C4"], B, End.ABANDONED, "A wins: B abandoned the game"),
    ],
)
def test_a_forfeit_ends_the_game_and_round_trips_in_a_record(moves, loser, end, text):
    game = Game.from_layout(FULL)
    play_all(game, moves)
    game.forfeit(loser, end)
    assert game.over and game.to_move is None and game.legal_moves() == []
    assert game.result is not None
    assert (game.result.end, game.result.loser, str(game.result)) == (end, loser, text)
    saved = game.save()
    assert saved.endswith(f"result: {text}\n")
    loaded = Game.load(saved, engine=False)
    assert loaded.result == game.result and loaded.history == game.history
    frames = list(loaded.replay())
    assert frames[-1].result == game.result and frames[-1].to_move is None
    assert all(f.result is None for f in frames[:-1])
    # A loss on time is the side to move's: a record naming the other fails.
    winner, other = ("A", "B") if loser == B else ("B", "A")
    swapped = text.replace(winner, "?").replace(other, winner).replace("?", other)
    if end is End.TIME:
        with pytest.raises(RecordError):
            Game.load(saved.replace(text, swapped), engine=False)
    else:
        assert Game.load(saved.replace(text, swapped), engine=False).result.loser != loser
    with pytest.raises(GameOver):
        game.forfeit(loser, end)


@pytest.mark.parametrize(
    "loser, end, error",
    [
        (B, End.TIME, ValueError),  # only the side to move has a clock running
        (A, End.NO_CARDS, ValueError),
        ("A", End.ABANDONED, TypeError),
    ],
)
def test_a_forfeit_that_cannot_be_is_refused_and_changes_nothing(loser, end, error):
    game = Game.from_layout(FULL)
    with pytest.raises(error):
        game.forfeit(loser, end)
    assert not game.over and game.to_move == A and game.legal_moves()


def test_players_alternate_and_cards_are_followed_face_down():
    game = Game.from_layout(FULL, first=B)
    assert game.to_move == B
    game.play("B1")  # B's Normal: B1 down, A1 and C1 and B2 turned over
    assert game.to_move == A
    hidden = {
        slot: card for p in (A, B) for slot, card in game.cards(p).items() if not card.face_up
    }
    assert hidden == {
        "A1": Card(A, CardType.Normal, False),
        "B1": Card(B, CardType.Normal, False),
        "B2": Card(A, CardType.Normal, False),
        "C1": Card(A, CardType.Figure, False),
    }
    game.play("C1")  # A takes its own face-down Figure off
    assert game.material(A) == 55 and game.material(B) == 70
    assert game.history == (Turn(B, "B1"), Turn(A, "C1"))


def test_side_without_moves_passes_and_both_stuck_ends(monkeypatch):
    # With cards on both sides a side always has a move, so passes need a
    # rules variant: here B is never allowed to move.
    real = Position.legal_moves
    monkeypatch.setattr(Position, "legal_moves", lambda self, p: [] if p == B else real(self, p))
    game = Game.from_layout(FULL, ply_limit=3)
    play_all(game, ["A1", "B2", "C3"])
    assert [str(t) for t in game.history] == ["A A1", "B pass", "A B2", "B pass", "A C3"]
    assert game.result is not None and game.result.end is End.PLY_LIMIT
    assert Game.load(game.save(), engine=False).history == game.history

    monkeypatch.setattr(Position, "legal_moves", lambda self, p: [])
    stuck = Game.from_layout(FULL)
    assert stuck.result is not None
    assert str(stuck.result) == "draw on material 70 to 70 (neither side can move)"
    assert stuck.history == ()


def test_refused_model_move_changes_nothing():
    game = Game.from_layout(FULL)
    before = (str(game), game.history, game.to_move)
    for move in ("A2", "A3", "A1A1", "C4C1", "a1", ""):
        with pytest.raises(IllegalMove):
            game.play(move)
    assert (str(game), game.history, game.to_move) == before


# -- live games on the engine ------------------------------------------------------


@pytest.mark.parametrize(
    "move, message",
    [
        ("", "Formato inválido."),
        ("a1", "Coordenada inválida."),
        ("D1A4", "Origem inválida."),
        ("A1A5", "Destino inválido."),
        ("B2B2", "Não podes virar a própria Figura."),
    ],
)
def test_engine_refusals_reach_the_caller_unchanged(move, message):
    game = Game(room_id="room")
    before = (str(game), game.history, game.to_move)
    with pytest.raises(ValueError) as info:
        game.play(move)
    assert info.value.args == (message,)
    assert (str(game), game.history, game.to_move) == before


def test_live_games_keep_the_model_in_step_with_the_engine():
    # Game compares its model with the engine after every move and raises
    # RefereeError on any difference; random moves reach every kind of move,
    # Figures on one's own face-up cards included.
    rng = random.Random(11)
    for number in range(40):
        game = Game(first=(A, B)[number % 2])
        assert game.layout.count("[ A") == 6 and game.layout.count("[ B") == 6
        while not game.over:
            if number % 4 == 0:
                game.play_bot(1 + number % 3)
            else:
                game.play(rng.choice(game.legal_moves()))
        result = game.result
        assert result is not None
        # With cards on both sides a side always has a move: no passes.
        assert result.end is not End.NO_MOVES and not any(t.is_pass for t in game.history)
        assert result.material == (game.material(A), game.material(B))
        if result.end is End.NO_CARDS:
            assert result.loser is not None and not game.cards(result.loser)
        occupied = 12 - str(game).count("--")
        assert len(game.cards(A)) + len(game.cards(B)) == occupied


def test_bot_move_advises_without_playing():
    game = Game()
    choice = game.bot_move(2)
    assert choice.move in game.legal_moves() and choice.seconds >= 0
    assert game.history == ()
    with pytest.raises(ValueError):
        game.bot_move(0)


def test_a_board_passed_in_must_show_every_card():
    board = Board()
    Game(board=board)  # a fresh deal is fine
    board.play(board.get_legal_moves(A)[-1], A, "")
    with pytest.raises(ValueError, match="face down"):
        Game(board=board)


# -- records ------------------------------------------------------------------------


def finished_live_game(seed: int) -> Game:
    rng = random.Random(seed)
    game = Game(first=(A, B)[seed % 2], ply_limit=60)
    while not game.over:
        game.play(rng.choice(game.legal_moves()))
    return game


@pytest.mark.parametrize("seed", range(4))
def test_save_load_replay_round_trip(seed):
    game = finished_live_game(seed)
    text = game.save()
    loaded = Game.load(text, engine=False)
    assert loaded.board is None
    assert (loaded.history, loaded.result, str(loaded)) == (game.history, game.result, str(game))
    assert loaded.save() == text

    frames = list(loaded.replay())
    assert len(frames) == len(game.history) + 1
    assert frames[0].turn is None and frames[0].board == game.layout
    assert [f.turn for f in frames[1:]] == list(game.history)
    assert frames[-1].board == str(game) and frames[-1].result == game.result
    assert all(f.result is None for f in frames[:-1])


def test_unfinished_game_round_trip_and_continues():
    game = Game.from_layout(FULL)
    play_all(game, ["A1", "C4", "B2"])
    loaded = Game.load(game.save())
    assert not loaded.over and loaded.to_move == B and str(loaded) == str(game)
    loaded.play("A1")
    assert loaded.plies == 4


SAVED = Game.from_layout(layout("AN -- -- --", "-- -- -- --", "-- -- -- BN"))
SAVED.play("A1")
SAVED.play("A1")
SAVED_TEXT = SAVED.save()


def test_record_format():
    assert SAVED_TEXT == (
        "tesko game\nversion: 1\nfirst: A\nply limit: 200\n\n"
        + layout("AN -- -- --", "-- -- -- --", "-- -- -- BN")
        + "\n1. A A1\n2. B A1\n\nresult: B wins: A has no cards left\n"
    )


@pytest.mark.parametrize(
    "old, new",
    [
        ("tesko game", "some game"),
        ("2. B A1", "2. B C3"),  # an empty slot
        ("2. B A1", "2. A A1"),  # out of turn
        ("2. B A1", "3. B A1"),  # numbering
        ("2. B A1", "2. B pass"),  # a pass with moves left
        ("result: B wins", "result: A wins"),
        ("[ AN ]", "[XXXXXX]"),  # a face-down card in the layout
        ("first: A", "first: C"),
        ("ply limit: 200", "ply limit: lots"),
    ],
)
def test_broken_records_are_refused(old, new):
    assert old in SAVED_TEXT
    with pytest.raises(RecordError):
        Game.load(SAVED_TEXT.replace(old, new, 1))


def test_record_missing_its_last_turn_still_loads_and_the_result_is_checked():
    text = SAVED_TEXT.replace("2. B A1\n", "")
    with pytest.raises(RecordError, match="the replay gives"):
        Game.load(text)
    partial = Game.load(text.replace("result: B wins: A has no cards left\n", ""), engine=False)
    assert partial.to_move == B


# -- reading a board -----------------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    [
        "",
        FULL.replace("   1   2   3   4\n", ""),
        FULL.replace("[ AN ]", "[ AX ]", 1),
        FULL.replace("[ AN ]", "", 1),
        FULL.replace("B [", "C [", 1),
    ],
)
def test_model_refuses_text_that_is_not_a_board(text):
    with pytest.raises(ValueError):
        Position.parse(text)
