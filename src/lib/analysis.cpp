// tesko_tools._analysis: the engine's search on a position given as plain
// values, with the score that Board.play_bot does not return.
//
//   search(cells, side, depth) -> (score, move)
//   think(cells, side, depth, seconds) -> (score, move, depth_done)
//
// `cells` holds the twelve slots A1 .. C4 row by row, each None (empty) or
// a tuple (owner, kind, face_down): owner 0 for A and 1 for B, kind 0 for
// Normal and 1 for Figure, face_down a bool. A side holds at most the cards
// of a deal (4 Normal, 2 Figures). `side` is the side to move, 0 or 1.
//
// search runs exactly the bot turn of Board.play_bot(side, depth): the same
// passes of growing depth over one transposition table, the same move order,
// the same move. `score` is that move's score from `side`'s view: material
// (10 a Normal, 15 a Figure, the side's less the opponent's) at the search's
// horizon, or WIN_SCORE (10000) plus the plies left at a won end (minus that
// for a lost one). Where play_bot returns "" (depth 0, or a side without a
// move) the move is "" and the score is the position's own value: +-(10000 +
// depth) when only one side has cards, else the material difference.
//
// think does the same, but stops at a deadline `seconds` after the call
// (a float, inf for none) and returns the last finished pass: its score,
// move and depth. The first pass always finishes; depth_done is 0 only
// when there was nothing to search.
//
// Both release the interpreter lock while they search, so other threads
// run meanwhile. Nothing Python reaches the engine: the arguments are
// turned into a grid first. A search cannot be interrupted by a signal.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstdint>

#include "engine/grid.hpp"
#include "engine/rules.hpp"
#include "lib/errors.hpp"
#include "search/search.hpp"

#ifdef TESKO_TESTING
#include <random>

#include "search/zobrist.hpp"
#endif

namespace tesko::py {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* SLOT_NAMES[SLOTS] = {"A1", "A2", "A3", "A4", "B1", "B2",
                                           "B3", "B4", "C1", "C2", "C3", "C4"};
constexpr int MAX_NORMALS = 4;
constexpr int MAX_FIGURES = 2;

// TypeError "<what> must be <expected>, not '<type name>'".
void wrong_type(const char* what, const char* expected, PyObject* obj) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "%s must be %s, not '%U'", what, expected, name);
    Py_DECREF(name);
}

// An int that is not a bool, from `low` to `high`; TypeError or ValueError
// naming `what` otherwise.
bool small_int(PyObject* obj, const char* what, long long low, long long high, long long& out) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        wrong_type(what, "an int", obj);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < low || v > high) {
        if (low == 0 && high == 1)
            PyErr_Format(PyExc_ValueError, "%s must be 0 or 1, not %R", what, obj);
        else
            PyErr_Format(PyExc_ValueError, "%s must be from %lld to %lld, not %R", what, low, high,
                         obj);
        return false;
    }
    out = v;
    return true;
}

bool to_side(PyObject* obj, Player& out) {
    long long v;
    if (!small_int(obj, "side", 0, 1, v)) return false;
    out = static_cast<Player>(v);
    return true;
}

bool to_depth(PyObject* obj, std::uint32_t& out) {
    long long v;
    if (!small_int(obj, "depth", 0, 4294967295LL, v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

// Seconds from now: a finite or infinite number, not negative.
bool to_seconds(PyObject* obj, double& out) {
    if ((!PyLong_Check(obj) && !PyFloat_Check(obj)) || PyBool_Check(obj)) {
        wrong_type("seconds", "an int or a float", obj);
        return false;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(v) || v < 0) {
        PyErr_Format(PyExc_ValueError, "seconds must be 0 or more, not %R", obj);
        return false;
    }
    out = v;
    return true;
}

// One cell: None, or (owner, kind, face_down).
bool put_cell(Grid& grid, int slot, PyObject* cell) {
    if (cell == Py_None) return true;
    const char* name = SLOT_NAMES[slot];
    char what[40];
    PyOS_snprintf(what, sizeof what, "cell %s", name);
    if (!PyTuple_Check(cell)) {
        wrong_type(what, "None or a tuple (owner, kind, face_down)", cell);
        return false;
    }
    const Py_ssize_t n = PyTuple_Size(cell);
    if (n != 3) {
        PyErr_Format(PyExc_ValueError,
                     "cell %s must be a tuple (owner, kind, face_down) of 3 items, not %zd", name,
                     n);
        return false;
    }
    PyObject* owner = PyTuple_GetItem(cell, 0);
    PyObject* kind = PyTuple_GetItem(cell, 1);
    PyObject* down = PyTuple_GetItem(cell, 2);
    if (!owner || !kind || !down) return false;
    long long o, k;
    PyOS_snprintf(what, sizeof what, "cell %s: owner", name);
    if (!small_int(owner, what, 0, 1, o)) return false;
    PyOS_snprintf(what, sizeof what, "cell %s: kind", name);
    if (!small_int(kind, what, 0, 1, k)) return false;
    if (!PyBool_Check(down)) {
        PyOS_snprintf(what, sizeof what, "cell %s: face_down", name);
        wrong_type(what, "a bool", down);
        return false;
    }
    grid.put(slot, Card{down == Py_True, static_cast<Player>(o), static_cast<CardType>(k)});
    return true;
}

// The twelve cells to a grid holding no more cards per side than a deal (the
// engine's move lists are sized for that).
bool to_grid(PyObject* obj, Grid& grid) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
        !PySequence_Check(obj)) {
        wrong_type("cells", "a sequence of 12 cells", obj);
        return false;
    }
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    if (n != SLOTS) {
        PyErr_Format(PyExc_ValueError, "cells must hold 12 cells (A1 to C4), not %zd", n);
        return false;
    }
    grid = Grid{};
    for (int i = 0; i < SLOTS; ++i) {
        PyObject* cell = PySequence_GetItem(obj, i);
        if (!cell) return false;
        const bool ok = put_cell(grid, i, cell);
        Py_DECREF(cell);
        if (!ok) return false;
    }
    for (Player p : {Player::A, Player::B}) {
        const unsigned own = grid.owned_by(p);
        const int figures = popcount12(own & grid.figure);
        const int normals = popcount12(own & ~grid.figure);
        if (figures > MAX_FIGURES || normals > MAX_NORMALS) {
            PyErr_Format(PyExc_ValueError,
                         "cells give %s %d Normal cards and %d Figures; a side holds at most %d "
                         "and %d",
                         p == Player::A ? "A" : "B", normals, figures, MAX_NORMALS, MAX_FIGURES);
            return false;
        }
    }
    return true;
}

struct Deadline {
    Clock::time_point at;
};

bool past(void* data) noexcept { return Clock::now() >= static_cast<Deadline*>(data)->at; }

// The bot turn with the interpreter lock released.
BotResult run(const Grid& grid, Player side, std::uint32_t depth, Interrupt interrupt) {
    BotResult result;
    Py_BEGIN_ALLOW_THREADS
    result = bot_turn(grid, side, depth, interrupt);
    Py_END_ALLOW_THREADS
    return result;
}

// (score, move) of a finished turn, and the depth it reached.
PyObject* outcome(const BotResult& r, const Grid& grid, Player side, std::uint32_t depth,
                  bool with_depth) {
    if (r.status == BotResult::Status::OutOfMemory) return PyErr_NoMemory();
    char text[4];
    std::size_t len = 0;
    std::int32_t score;
    std::uint32_t done = 0;
    if (r.depth_done == 0) {
        expect(r.status == BotResult::Status::NoMove, "a search stopped before its first pass");
        score = static_score(grid, side, depth);
    } else {
        expect(!r.action.is_none(), "the search chose no move");
        len = move_text(r.action, text);
        score = r.score;
        done = r.depth_done;
    }
    if (with_depth)
        return Py_BuildValue("(is#k)", static_cast<int>(score), text, static_cast<Py_ssize_t>(len),
                             static_cast<unsigned long>(done));
    return Py_BuildValue("(is#)", static_cast<int>(score), text, static_cast<Py_ssize_t>(len));
}

char* SEARCH_PARAMS[] = {const_cast<char*>("cells"), const_cast<char*>("side"),
                         const_cast<char*>("depth"), nullptr};

PyObject* analysis_search(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* raw[3];
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:search", SEARCH_PARAMS, &raw[0],
                                         &raw[1], &raw[2]))
            return nullptr;
        Grid grid;
        Player side;
        std::uint32_t depth;
        if (!to_grid(raw[0], grid) || !to_side(raw[1], side) || !to_depth(raw[2], depth))
            return nullptr;
        const BotResult r = run(grid, side, depth, Interrupt{});
        expect(r.status != BotResult::Status::Interrupted, "a search without a deadline stopped");
        return outcome(r, grid, side, depth, false);
    });
}

char* THINK_PARAMS[] = {const_cast<char*>("cells"), const_cast<char*>("side"),
                        const_cast<char*>("depth"), const_cast<char*>("seconds"), nullptr};

PyObject* analysis_think(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&]() -> PyObject* {
        const Clock::time_point start = Clock::now();
        PyObject* raw[4];
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:think", THINK_PARAMS, &raw[0], &raw[1],
                                         &raw[2], &raw[3]))
            return nullptr;
        Grid grid;
        Player side;
        std::uint32_t depth;
        double seconds;
        if (!to_grid(raw[0], grid) || !to_side(raw[1], side) || !to_depth(raw[2], depth) ||
            !to_seconds(raw[3], seconds))
            return nullptr;
        // A year stands for no deadline (and keeps the clock's arithmetic in range).
        constexpr double LONGEST = 365.0 * 24 * 3600;
        Deadline deadline{start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(std::min(seconds, LONGEST)))};
        const BotResult r = run(grid, side, depth, Interrupt{past, &deadline, 2, true});
        return outcome(r, grid, side, depth, true);
    });
}

#ifdef TESKO_TESTING
// _seed_zobrist(seed) -> bool: the keys that _tesko_testing.seed_zobrist
// makes of the same seed, if no search has run in this process yet. Test
// builds only: it lets a test compare searches with equal keys.
PyObject* analysis_seed_zobrist(PyObject*, PyObject* arg) noexcept {
    return boundary([&]() -> PyObject* {
        const unsigned long long seed = PyLong_AsUnsignedLongLong(arg);
        if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        std::mt19937_64 gen(seed);
        ZobristTable keys;
        for (auto& slot : keys)
            for (auto& key : slot) key = gen();
        return PyBool_FromLong(set_zobrist(keys));
    });
}
#endif

template <auto Method>
constexpr PyCFunction with_keywords() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef analysis_methods[] = {
    {
        .ml_name = "search",
        .ml_meth = with_keywords<analysis_search>(),
        .ml_flags = METH_VARARGS | METH_KEYWORDS,
        .ml_doc = "search($module, cells, side, depth)\n--\n\n"
                  "The engine's best move for side on cells, by Board.play_bot's search,\n"
                  "and its score from side's view: (score, move).",
    },
    {
        .ml_name = "think",
        .ml_meth = with_keywords<analysis_think>(),
        .ml_flags = METH_VARARGS | METH_KEYWORDS,
        .ml_doc = "think($module, cells, side, depth, seconds)\n--\n\n"
                  "search() that stops at a deadline seconds from the call:\n"
                  "(score, move, depth_done) of the deepest finished pass.",
    },
#ifdef TESKO_TESTING
    {
        .ml_name = "_seed_zobrist",
        .ml_meth = analysis_seed_zobrist,
        .ml_flags = METH_O,
        .ml_doc = "_seed_zobrist($module, seed)\n--\n\nFixed search keys (test builds).",
    },
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot analysis_slots[] = {
    {0, nullptr},
};

PyModuleDef analysis_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tesko_tools._analysis",
    .m_doc = "The engine's search on a given position, with its score.",
    .m_size = 0,
    .m_methods = analysis_methods,
    .m_slots = analysis_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace tesko::py

PyMODINIT_FUNC PyInit__analysis(void) { return PyModuleDef_Init(&tesko::py::analysis_module); }
