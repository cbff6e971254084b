import random

import game_model as model
import pytest
from game_model import M
from tesko import Player

TEXTS = {
    "format": ["", "A", "A1A", "A1A4B", " A1", "A1 ", "A1 A4", "€"],
    "coordinate": ["a1", "D1", "A0", "A5", "1A", "é"],
    "origin": ["a1a4", "D1A4", "Aé1", "AéA", "éé"],  # AéA: a character across bytes 1 and 2
    "destination": ["A1A5", "A1a4", "A1é"],
    "same_slot": ["B2B2", "A1A1"],
}


@pytest.mark.parametrize("text, name", [(t, name) for name, ts in TEXTS.items() for t in ts])
def test_text_checks(board, refused, text, name):
    for player in (Player.A, Player.B):
        error = refused(
            board, lambda player=player: board.play(text, player, "room"), ValueError, M[name]
        )
        assert error.args == (M[name],)


def test_every_text_in_many_positions_agrees_with_the_model():
    """All 156 slot texts for both sides in positions reached by random play:
    each refusal carries the model's message and changes nothing."""
    rng, seen = random.Random(1234), set()
    for _ in range(12):
        game = model.Game()
        while True:
            before = str(game.board)
            for letter in "AB":
                for text in model.MOVE_TEXTS:
                    error, _ = model.check(game.grid, letter, text)
                    if error is not None:
                        seen.add(error)
                        with pytest.raises(ValueError) as info:
                            game.board.play(text, game.player(letter), "room")
                        assert info.value.args == (error,), text
            assert str(game.board) == before
            options = [(p, m) for p in "AB" for m in model.legal_moves(game.grid, p)]
            if not options:
                break
            game.play(*rng.choice(options))
    assert seen == {M[k] for k in M} - {M[k] for k in TEXTS if k != "same_slot"}


def face_down_slots(board):
    cells = str(board).replace("][", "]|[").replace("\n", "|").split("|")
    cells = [c[2:] if c[:1] in "ABC" else c for c in cells if "[" in c]
    return {model.SLOT_TEXTS[i] for i, c in enumerate(cells) if c == "[XXXXXX]"}


@pytest.mark.parametrize(
    "slot, turned",
    [
        ("A1", {"A2", "B1"}),
        ("A2", {"A1", "A3", "B2"}),
        ("B2", {"A2", "C2", "B1", "B3"}),
        ("C4", {"B4", "C3"}),
    ],
)
def test_playing_a_normal_card_turns_its_neighbours(slot, turned):
    game = model.Game()
    while (card := game.grid[model.SLOT_TEXTS.index(slot)]).kind != "N":
        game = model.Game()
    game.play(card.owner, slot)
    assert face_down_slots(game.board) == {slot} | turned
    # Taking a face-down card off touches nothing else, whoever owns it.
    neighbour = min(turned)
    game.play(model.other(card.owner), neighbour)
    assert face_down_slots(game.board) == {slot} | turned - {neighbour}
