import collections
import threading

import game_model as model
from tesko import Board

DECK = sorted(model.Card(False, o, k) for o in "AB" for k in "NNNNFF")


def test_deals_are_full_face_up_and_uniform():
    deals = 3000
    figures, owned_by_a = collections.Counter(), collections.Counter()
    layouts = set()
    for _ in range(deals):
        text = str(Board())
        lines = text.split("\n")
        assert [len(line) for line in lines] == [16, 26, 26, 26, 0]
        assert "\t" not in text and "\r" not in text and " \n" not in text
        grid = model.parse_deal(text)  # every cell a face-up card
        assert sorted(grid) == DECK
        layouts.add(grid)
        for slot, card in enumerate(grid):
            figures[slot] += card.kind == "F"
            owned_by_a[slot] += card.owner == "A"
    for slot in range(12):  # 6 standard deviations or so
        assert abs(figures[slot] / deals - 1 / 3) < 0.05
        assert abs(owned_by_a[slot] / deals - 1 / 2) < 0.055
    assert len(layouts) > deals * 0.95  # 207,900 layouts: few repeats


def test_deals_on_several_threads():
    texts, errors = [], []

    def deal():
        try:
            texts.extend(str(Board()) for _ in range(200))
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=deal) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(set(texts)) > 700
    assert all(sorted(model.parse_deal(t)) == DECK for t in texts)


def test_rendering_is_stable(board):
    assert str(board) == str(board)
    assert str(board).startswith(model.HEADER) and str(board).endswith("]\n")
