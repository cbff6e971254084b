import importlib.util
import subprocess
import sys
import weakref

import pytest
import tesko
from tesko import Board, CardType, Player

CLASSES = [Player, CardType, Board]


def test_module_publishes_the_three_classes_only():
    assert tesko.__all__ == ["Player", "CardType", "Board"]
    assert tesko.__doc__ == ""
    public = {k for k, v in vars(tesko).items() if callable(v)}
    assert public == {"Player", "CardType", "Board"}
    assert not hasattr(tesko, "PanicException")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_properties(cls):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    flags = cls.__flags__
    assert not flags & (1 << 10), "subclassable"  # Py_TPFLAGS_BASETYPE
    assert not flags & (1 << 14), "collected"  # Py_TPFLAGS_HAVE_GC
    assert not flags & (1 << 8), "immutable"  # Py_TPFLAGS_IMMUTABLETYPE
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    cls.extra = 1  # attributes can be set on the class itself
    del cls.extra


@pytest.mark.parametrize("instance", [Player.A, CardType.Figure, Board()], ids=repr)
def test_instances_have_no_dict_and_no_weakrefs(instance):
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not hasattr(instance, "__dict__")


def test_docs_and_text_signatures():
    assert Board.__doc__ == ""
    assert Board.__text_signature__ == "()"
    assert Player.__doc__ is None and CardType.__doc__ is None
    signatures = {
        "play": "($self, move_str, player, _room_id)",
        "get_legal_moves": "($self, player)",
        "play_bot": "($self, player, depth)",
    }
    assert [k for k in vars(Board) if k in signatures] == list(signatures)
    for name, signature in signatures.items():
        method = getattr(Board, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None
    assert Board.__str__ is not object.__str__
    assert Board.__repr__ is object.__repr__ and Board.__eq__ is object.__eq__
    assert Board.__hash__ is object.__hash__


@pytest.mark.parametrize("cls", [Player, CardType])
def test_enum_classes_cannot_be_called(cls):
    with pytest.raises(TypeError, match=f"cannot create 'builtins.{cls.__name__}' instances"):
        cls()


def test_members_are_class_attributes_in_value_order():
    assert [k for k in vars(Player) if k in "AB"] == ["A", "B"]
    assert [k for k in vars(CardType) if k in ("Normal", "Figure")] == ["Normal", "Figure"]


def test_board_instances():
    a, b = Board(), Board()
    assert type(a) is Board and a != b and a == a
    assert repr(a).startswith("<builtins.Board object at 0x")
    assert hash(a) == hash(a)


def test_reimport_shares_the_classes():
    old = sys.modules.pop("tesko")
    try:
        import tesko as again

        assert again is not old
        assert again.__all__ == ["Player", "CardType", "Board"]
        assert again.__all__ is not old.__all__
        for name in old.__all__:
            assert getattr(again, name) is getattr(old, name)
        assert type(again.Board()) is old.Board
        assert again.Player.A is old.Player.A
    finally:
        sys.modules["tesko"] = old


def test_sub_interpreters_are_refused():
    pytest.importorskip("_xxsubinterpreters")
    code = """if 1:
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import tesko")
        except interpreters.RunFailedError as e:
            print("refused:", e)
        import tesko
        assert str(tesko.Board()).startswith("   1")
    """
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout
    assert "ImportError" in out and "only be imported in the main interpreter" in out


def fresh_module(**attributes):
    """A new module object from the extension, executed after `attributes`
    were set on it."""
    spec = importlib.util.find_spec("tesko")
    module = importlib.util.module_from_spec(spec)
    for name, value in attributes.items():
        setattr(module, name, value)
    spec.loader.exec_module(module)
    return module


def test_execution_appends_to_an_existing_all_list():
    class Listing(list):
        pass

    module = fresh_module(__all__=Listing(["extra"]))
    assert module.__all__ == ["extra", "Player", "CardType", "Board"]
    assert type(module.__all__) is Listing and module.Board is Board


def test_an_all_that_is_not_a_list_fails_execution():
    with pytest.raises(TypeError):
        fresh_module(__all__=("extra",))
