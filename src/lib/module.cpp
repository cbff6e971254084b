// tesko: the engine of a two-player card game on a 3 x 4 grid.
//
// What Python sees:
//
//   tesko.__all__ == ["Player", "CardType", "Board"]
//   Player.A, Player.B, CardType.Normal, CardType.Figure
//       single objects; int() gives 0 or 1; equal to themselves and to ints
//       of the same value; not orderable, not hashable, not instantiable
//   Board()                       a new shuffled deal, all twelve cards face up
//   str(board)                    the grid as text
//   board.play(move_str, player, _room_id) -> None
//       plays "B3" or "A1A4" for player; a move against the rules raises
//       ValueError with a message for the player and changes nothing
//   board.get_legal_moves(player) -> list[str]
//       exactly the moves play accepts, in grid order
//   board.play_bot(player, depth) -> str
//       the engine's move for player (or "" when there is none); reads only
//
// Wrong arguments raise TypeError or OverflowError with the interpreter's
// usual texts; a board used by a call that is still running raises
// RuntimeError. A fault of the native code raises tesko.PanicException, a
// BaseException; no C++ exception ever reaches the interpreter.
//
// The classes are made once per process and shared by every module object,
// so importing the module again yields the same classes. They live in the
// main interpreter only; the module refuses to load in a sub-interpreter.
#include <Python.h>

#include "lib/board.hpp"
#include "lib/enums.hpp"
#include "lib/errors.hpp"

namespace tesko::py {

namespace {

struct PublishedClass {
    const char* name;
    PyTypeObject* (*make)();
};

constexpr PublishedClass CLASSES[] = {
    {"Player", make_player_class},
    {"CardType", make_card_type_class},
    {"Board", make_board_class},
};

// The module's __all__ list, created empty when the module has none yet.
PyObject* all_list(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) return nullptr;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return nullptr;
        }
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return nullptr;
    }
    return all;
}

bool add_class(PyObject* module, const PublishedClass& entry) {
    PyTypeObject* cls = entry.make();
    if (!cls) return false;
    PyObject* all = all_list(module);
    if (!all) return false;
    PyObject* name = PyUnicode_FromString(entry.name);
    const bool listed = name && PyList_Append(all, name) == 0;
    Py_XDECREF(name);
    Py_DECREF(all);
    return listed &&
           PyObject_SetAttrString(module, entry.name, reinterpret_cast<PyObject*>(cls)) == 0;
}

int tesko_exec(PyObject* module) noexcept {
    return boundary([&] {
        if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
            PyErr_SetString(PyExc_ImportError,
                            "tesko can only be imported in the main interpreter");
            return -1;
        }
        for (const PublishedClass& entry : CLASSES) {
            if (!add_class(module, entry)) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot tesko_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&tesko_exec)},
    {0, nullptr},
};

PyModuleDef tesko_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tesko",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = tesko_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace tesko::py

PyMODINIT_FUNC PyInit_tesko(void) { return PyModuleDef_Init(&tesko::py::tesko_module); }
