// _tesko_testing: a private module that exposes the engine and the search
// below the public API, for tests and benchmarks only. It is built from the
// same sources as `tesko` when the build sets TESKO_TESTING.
//
// A grid crosses this boundary as a tuple of 12 slots in slot order, each
// None (empty) or a tuple (face_down, owner, kind) of small ints; moves cross
// as move text ("A1", "A1A4").
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "engine/chacha.hpp"
#include "engine/deal.hpp"
#include "engine/grid.hpp"
#include "engine/rules.hpp"
#include "search/search.hpp"
#include "search/zobrist.hpp"

namespace {

using namespace tesko;

bool to_grid(PyObject* obj, Grid& g) {
    PyObject* seq = PySequence_Fast(obj, "grid must be a sequence of 12 slots");
    if (!seq) return false;
    bool ok = PySequence_Fast_GET_SIZE(seq) == SLOTS;
    if (!ok) PyErr_SetString(PyExc_ValueError, "grid must have 12 slots");
    g = Grid{};
    for (int i = 0; ok && i < SLOTS; ++i) {
        PyObject* slot = PySequence_Fast_GET_ITEM(seq, i);
        if (slot == Py_None) continue;
        int down, owner, kind;
        if (!PyArg_ParseTuple(slot, "iii", &down, &owner, &kind)) {
            ok = false;
        } else if ((down | owner | kind) & ~1) {
            PyErr_SetString(PyExc_ValueError, "slot fields must be 0 or 1");
            ok = false;
        } else {
            g.put(i, Card{down != 0, static_cast<Player>(owner), static_cast<CardType>(kind)});
        }
    }
    Py_DECREF(seq);
    // The engine's move lists are sized for the cards of one deal: at most
    // four Normal cards and two Figures per side.
    for (Player p : {Player::A, Player::B}) {
        const unsigned own = g.owned_by(p);
        if (ok && (popcount12(own & g.figure) > 2 || popcount12(own & ~g.figure) > 4)) {
            PyErr_SetString(PyExc_ValueError, "more cards than a deal holds");
            ok = false;
        }
    }
    return ok;
}

PyObject* from_grid(const Grid& g) {
    PyObject* t = PyTuple_New(SLOTS);
    if (!t) return nullptr;
    for (int i = 0; i < SLOTS; ++i) {
        PyObject* item;
        if (const auto c = g.card(i)) {
            item = Py_BuildValue("(iii)", int{c->face_down}, int(c->owner), int(c->kind));
            if (!item) {
                Py_DECREF(t);
                return nullptr;
            }
        } else {
            item = Py_NewRef(Py_None);
        }
        PyTuple_SET_ITEM(t, i, item);
    }
    return t;
}

bool to_player(int v, Player& p) {
    if (v != 0 && v != 1) {
        PyErr_SetString(PyExc_ValueError, "player must be 0 or 1");
        return false;
    }
    p = static_cast<Player>(v);
    return true;
}

PyObject* text_of(Action a) {
    char buf[4];
    const std::size_t n = move_text(a, buf);
    return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(n));
}

PyObject* list_of(const ActionList& list) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(list.size()));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < list.size(); ++i) {
        PyObject* s = text_of(list[i]);
        if (!s) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), s);
    }
    return out;
}

// Move text to an Action, without checking it against any grid.
bool to_action(PyObject* obj, Action& a) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;
    if (n == 2 || n == 4) {
        const auto from = parse_slot(s[0], s[1]);
        const auto to = n == 4 ? parse_slot(s[2], s[3]) : std::optional<int>{0};
        if (from && to) {
            a = n == 2 ? Action::single(*from) : Action::figure_on(*from, *to);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "not move text: %R", obj);
    return false;
}

PyObject* py_flip(PyObject*, PyObject* args) {
    PyObject* go;
    int row, col;
    Grid g;
    if (!PyArg_ParseTuple(args, "Oii", &go, &row, &col) || !to_grid(go, g)) return nullptr;
    if (row < 0 || row >= ROWS || col < 0 || col >= COLS)
        return PyErr_Format(PyExc_ValueError, "no slot at %d, %d", row, col);
    flip(g, row, col);
    return from_grid(g);
}

PyObject* py_apply_action(PyObject*, PyObject* args) {
    PyObject *go, *mo;
    Grid g;
    Action a;
    if (!PyArg_ParseTuple(args, "OU", &go, &mo) || !to_grid(go, g) || !to_action(mo, a))
        return nullptr;
    apply_action(g, a);
    return from_grid(g);
}

template <ActionList (*Generate)(const Grid&, Player) noexcept>
PyObject* py_moves(PyObject*, PyObject* args) {
    PyObject* go;
    int pv;
    Grid g;
    Player p;
    if (!PyArg_ParseTuple(args, "Oi", &go, &pv) || !to_grid(go, g) || !to_player(pv, p))
        return nullptr;
    return list_of(Generate(g, p));
}

// bot_may_play(grid, player, move) -> bool: the search's quick check of a
// remembered move, without making the move list.
PyObject* py_bot_may_play(PyObject*, PyObject* args) {
    PyObject *go, *mo;
    int pv;
    Grid g;
    Player p;
    Action a;
    if (!PyArg_ParseTuple(args, "OiU", &go, &pv, &mo) || !to_grid(go, g) || !to_player(pv, p) ||
        !to_action(mo, a))
        return nullptr;
    return PyBool_FromLong(bot_may_play(g, p, a));
}

PyObject* py_check_play(PyObject*, PyObject* args) {
    PyObject* go;
    int pv;
    const char* text;
    Py_ssize_t len;
    Grid g;
    Player p;
    if (!PyArg_ParseTuple(args, "Oiz#", &go, &pv, &text, &len) || !to_grid(go, g) ||
        !to_player(pv, p))
        return nullptr;
    Action a;
    const PlayError e = check_play(g, p, std::string_view(text, static_cast<std::size_t>(len)), a);
    if (e != PlayError::None) {
        const std::string_view m = play_error_message(e);
        return Py_BuildValue("(Os#)", Py_False, m.data(), static_cast<Py_ssize_t>(m.size()));
    }
    return Py_BuildValue("(ON)", Py_True, text_of(a));
}

PyObject* py_render(PyObject*, PyObject* go) {
    Grid g;
    if (!to_grid(go, g)) return nullptr;
    char buf[RENDER_MAX];
    const std::size_t n = render(g, buf);
    return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(n));
}

// A word source over a Python sequence of ints; running out is an error.
struct Words {
    std::vector<std::uint32_t> words;
    std::size_t used = 0;
    bool exhausted = false;
    std::uint32_t next_u32() {
        if (used == words.size()) {
            exhausted = true;
            return 0;
        }
        return words[used++];
    }
};

bool to_words(PyObject* obj, Words& w) {
    PyObject* seq = PySequence_Fast(obj, "words must be a sequence of ints");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned long v = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(seq, i));
        if (PyErr_Occurred()) {
            Py_DECREF(seq);
            return false;
        }
        if (v > 0xFFFFFFFFUL) {
            Py_DECREF(seq);
            PyErr_SetString(PyExc_OverflowError, "words are 32-bit");
            return false;
        }
        w.words.push_back(static_cast<std::uint32_t>(v));
    }
    Py_DECREF(seq);
    return true;
}

PyObject* py_deal(PyObject*, PyObject* wo) {
    Words w;
    if (!to_words(wo, w)) return nullptr;
    const Grid g = deal(w);
    if (w.exhausted) return PyErr_Format(PyExc_ValueError, "ran out of words");
    return Py_BuildValue("(Nn)", from_grid(g), static_cast<Py_ssize_t>(w.used));
}

PyObject* py_uniform_index(PyObject*, PyObject* args) {
    PyObject* wo;
    unsigned int n;
    Words w;
    if (!PyArg_ParseTuple(args, "OI", &wo, &n) || !to_words(wo, w)) return nullptr;
    if (n < 2 || n > SLOTS) return PyErr_Format(PyExc_ValueError, "n must be 2 to 12");
    const std::uint32_t j = uniform_index(w, n);
    if (w.exhausted) return PyErr_Format(PyExc_ValueError, "ran out of words");
    return Py_BuildValue("(kn)", static_cast<unsigned long>(j), static_cast<Py_ssize_t>(w.used));
}

PyObject* py_uniform_zone(PyObject*, PyObject* args) {
    unsigned int n;
    if (!PyArg_ParseTuple(args, "I", &n)) return nullptr;
    if (n < 2 || n > SLOTS) return PyErr_Format(PyExc_ValueError, "n must be 2 to 12");
    return PyLong_FromUnsignedLong(uniform_zone(n));
}

PyObject* py_position_key(PyObject*, PyObject* go) {
    Grid g;
    if (!to_grid(go, g)) return nullptr;
    return PyLong_FromUnsignedLongLong(position_key(g));
}

// key_after(grid, move): the child's key derived from the parent's.
PyObject* py_key_after(PyObject*, PyObject* args) {
    PyObject *go, *mo;
    Grid g;
    Action a;
    if (!PyArg_ParseTuple(args, "OU", &go, &mo) || !to_grid(go, g) || !to_action(mo, a))
        return nullptr;
    return PyLong_FromUnsignedLongLong(key_after(key_deltas(), g, position_key(g), a));
}

PyObject* py_zobrist(PyObject*, PyObject*) {
    const ZobristTable& z = zobrist();
    PyObject* out = PyList_New(SLOTS);
    if (!out) return nullptr;
    for (int s = 0; s < SLOTS; ++s) {
        PyObject* row = PyList_New(SLOT_STATES);
        if (!row) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, s, row);
        for (int k = 0; k < SLOT_STATES; ++k) {
            PyObject* v = PyLong_FromUnsignedLongLong(
                z[static_cast<std::size_t>(s)][static_cast<std::size_t>(k)]);
            if (!v) {
                Py_DECREF(out);
                return nullptr;
            }
            PyList_SET_ITEM(row, k, v);
        }
    }
    return out;
}

// Fixed keys for benchmarks and tests: the 108 keys drawn in table order
// from a Mersenne Twister seeded with `seed`. The benchmark's node counts
// depend on the keys (through which positions share a table place), so this
// recipe stays as it is.
PyObject* py_seed_zobrist(PyObject*, PyObject* args) {
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "K", &seed)) return nullptr;
    std::mt19937_64 gen(seed);
    ZobristTable keys;
    for (auto& slot : keys)
        for (auto& key : slot) key = gen();
    return PyBool_FromLong(set_zobrist(keys));
}

// Bytes to little-endian words: `n` words from exactly 4 x n bytes.
bool to_le_words(PyObject* obj, std::uint32_t* out, std::size_t n, const char* what) {
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
    if (static_cast<std::size_t>(len) != 4 * n) {
        PyErr_Format(PyExc_ValueError, "%s must be %zu bytes", what, 4 * n);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(data + 4 * i);
        out[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                 std::uint32_t{b[3]} << 24;
    }
    return true;
}

// chacha20_block(key, counter, nonce) -> 64 bytes: the block function on the
// standard cipher's input (a 32-byte key, a 32-bit block counter and a
// 12-byte nonce), its words serialised little-endian.
PyObject* py_chacha20_block(PyObject*, PyObject* args) {
    PyObject *ko, *no;
    unsigned int counter;
    if (!PyArg_ParseTuple(args, "SIS", &ko, &counter, &no)) return nullptr;
    ChaChaWords in{};
    for (std::size_t i = 0; i < 4; ++i) in[i] = CHACHA_CONSTANTS[i];
    in[12] = counter;
    if (!to_le_words(ko, &in[4], 8, "key") || !to_le_words(no, &in[13], 3, "nonce")) return nullptr;
    const ChaChaWords out = chacha_block(in);
    unsigned char bytes[64];
    for (std::size_t i = 0; i < 16; ++i)
        for (std::size_t j = 0; j < 4; ++j)
            bytes[4 * i + j] = static_cast<unsigned char>(out[i] >> (8 * j));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// chacha_stream(key, n32, n64) -> [int]: n32 32-bit words and then n64
// 64-bit words drawn from the random source's stream under a 32-byte key.
PyObject* py_chacha_stream(PyObject*, PyObject* args) {
    PyObject* ko;
    Py_ssize_t n32, n64;
    if (!PyArg_ParseTuple(args, "Snn", &ko, &n32, &n64)) return nullptr;
    if (n32 < 0 || n64 < 0) return PyErr_Format(PyExc_ValueError, "counts must be >= 0");
    ChaChaKey key;
    if (!to_le_words(ko, key.data(), key.size(), "key")) return nullptr;
    ChaChaStream stream;
    stream.rekey(key);
    PyObject* out = PyList_New(n32 + n64);
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n32 + n64; ++i) {
        PyObject* v = i < n32 ? PyLong_FromUnsignedLong(stream.next_u32())
                              : PyLong_FromUnsignedLongLong(stream.next_u64());
        if (!v) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, i, v);
    }
    return out;
}

// Table: a transposition table that tests fill, probe and search with.
struct TableObject {
    PyObject_HEAD
    TranspositionTable* table;
};

PyObject* table_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<TableObject*>(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    self->table = new (std::nothrow) TranspositionTable;
    if (!self->table || !self->table->acquire()) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void table_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<TableObject*>(obj);
    delete self->table;
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_Free(obj);
    Py_DECREF(type);
}

// probe(key) -> None or (depth, score, bound, best move text or None)
PyObject* table_probe(PyObject* obj, PyObject* args) {
    unsigned long long key;
    if (!PyArg_ParseTuple(args, "K", &key)) return nullptr;
    const auto e = reinterpret_cast<TableObject*>(obj)->table->probe(key);
    if (!e) Py_RETURN_NONE;
    PyObject* best = e->best_action.is_none() ? Py_NewRef(Py_None) : text_of(e->best_action);
    if (!best) return nullptr;
    return Py_BuildValue("(kiiN)", static_cast<unsigned long>(e->depth), e->score, int(e->bound),
                         best);
}

// store(key, depth, score, bound, best move text or None)
PyObject* table_store(PyObject* obj, PyObject* args) {
    unsigned long long key;
    unsigned int depth;
    int score, bound;
    PyObject* best;
    if (!PyArg_ParseTuple(args, "KIiiO", &key, &depth, &score, &bound, &best)) return nullptr;
    if (bound < 0 || bound > 2) return PyErr_Format(PyExc_ValueError, "bound must be 0 to 2");
    TableEntry e{key, depth, score, static_cast<Bound>(bound), Action::none()};
    if (best != Py_None && !to_action(best, e.best_action)) return nullptr;
    reinterpret_cast<TableObject*>(obj)->table->store(e);
    Py_RETURN_NONE;
}

// minimax(grid, depth, maximizing, to_move, bot, alpha, beta) -> (score, nodes)
PyObject* table_minimax(PyObject* obj, PyObject* args) {
    PyObject* go;
    unsigned int depth;
    int maximizing, tm, bv, alpha, beta;
    Grid g;
    Player to_move, bot;
    if (!PyArg_ParseTuple(args, "OIpiiii", &go, &depth, &maximizing, &tm, &bv, &alpha, &beta) ||
        !to_grid(go, g) || !to_player(tm, to_move) || !to_player(bv, bot))
        return nullptr;
    Search search(*reinterpret_cast<TableObject*>(obj)->table);
    const std::int32_t score = search.minimax(g, depth, maximizing != 0, to_move, bot, alpha, beta);
    if (search.out_of_memory()) return PyErr_NoMemory();
    return Py_BuildValue("(iK)", score, static_cast<unsigned long long>(search.nodes()));
}

PyMethodDef table_methods[] = {
    {"probe", table_probe, METH_VARARGS, nullptr},
    {"store", table_store, METH_VARARGS, nullptr},
    {"minimax", table_minimax, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_methods, table_methods},
    {0, nullptr},
};

PyType_Spec table_spec = {"_tesko_testing.Table", sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT,
                          table_slots};

// bot_turn(grid, player, depth) -> (move text or "", nodes, passes)
PyObject* py_bot_turn(PyObject*, PyObject* args) {
    PyObject* go;
    int pv;
    unsigned int depth;
    Grid g;
    Player p;
    if (!PyArg_ParseTuple(args, "OiI", &go, &pv, &depth) || !to_grid(go, g) || !to_player(pv, p))
        return nullptr;
    const BotResult r = bot_turn(g, p, depth);
    if (r.status == BotResult::Status::OutOfMemory) return PyErr_NoMemory();
    PyObject* text =
        r.status == BotResult::Status::Move ? text_of(r.action) : PyUnicode_FromString("");
    if (!text) return nullptr;
    return Py_BuildValue("(NKk)", text, static_cast<unsigned long long>(r.nodes),
                         static_cast<unsigned long>(r.passes));
}

PyMethodDef methods[] = {
    {"flip", py_flip, METH_VARARGS, "flip(grid, row, col) -> grid"},
    {"apply_action", py_apply_action, METH_VARARGS, "apply_action(grid, move) -> grid"},
    {"legal_moves", py_moves<legal_moves>, METH_VARARGS, "legal_moves(grid, player) -> [move]"},
    {"bot_actions", py_moves<get_bot_actions>, METH_VARARGS,
     "bot_actions(grid, player) -> [move], in search order"},
    {"bot_may_play", py_bot_may_play, METH_VARARGS,
     "bot_may_play(grid, player, move) -> whether move is among bot_actions(grid, player)"},
    {"check_play", py_check_play, METH_VARARGS,
     "check_play(grid, player, text) -> (True, move) or (False, message)"},
    {"render", py_render, METH_O, "render(grid) -> str"},
    {"deal", py_deal, METH_O, "deal(words) -> (grid, words used)"},
    {"uniform_index", py_uniform_index, METH_VARARGS, "uniform_index(words, n) -> (j, used)"},
    {"uniform_zone", py_uniform_zone, METH_VARARGS, "uniform_zone(n) -> int"},
    {"position_key", py_position_key, METH_O, "position_key(grid) -> int"},
    {"key_after", py_key_after, METH_VARARGS,
     "key_after(grid, move) -> the key after the move, derived incrementally"},
    {"zobrist", py_zobrist, METH_NOARGS, "zobrist() -> 12 x 9 keys"},
    {"seed_zobrist", py_seed_zobrist, METH_VARARGS,
     "seed_zobrist(seed) -> whether the keys were built from it"},
    {"chacha20_block", py_chacha20_block, METH_VARARGS,
     "chacha20_block(key, counter, nonce) -> 64 bytes of the ChaCha20 block function"},
    {"chacha_stream", py_chacha_stream, METH_VARARGS,
     "chacha_stream(key, n32, n64) -> n32 32-bit and then n64 64-bit words of the stream"},
    {"bot_turn", py_bot_turn, METH_VARARGS,
     "bot_turn(grid, player, depth) -> (move, nodes, passes)"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* m) {
    PyObject* table_type = PyType_FromSpec(&table_spec);
    if (!table_type) return -1;
    const int rc = PyModule_AddObjectRef(m, "Table", table_type);
    Py_DECREF(table_type);
    if (rc < 0) return -1;
    return PyModule_AddIntConstant(m, "TABLE_SIZE",
                                   static_cast<long>(TranspositionTable::TABLE_SIZE));
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_tesko_testing",
                          "Engine internals, for tests and benchmarks only.",
                          0,
                          methods,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tesko_testing(void) { return PyModuleDef_Init(&module_def); }
