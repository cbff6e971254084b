#include "lib/board.hpp"

#include <new>

#include "engine/deal.hpp"
#include "engine/grid.hpp"
#include "engine/random.hpp"
#include "engine/rules.hpp"
#include "lib/args.hpp"
#include "lib/borrow.hpp"
#include "lib/errors.hpp"
#include "lib/once.hpp"
#include "search/search.hpp"

namespace tesko::py {

namespace {

// What a Board instance holds besides the object header. Made with
// placement new right after allocation and destroyed before the memory is
// freed; it refers to no Python object.
struct BoardState {
    Grid grid;
    BorrowFlag borrow;
};

struct BoardObject {
    PyObject_HEAD
    BoardState state;
};

BoardState& state_of(PyObject* self) noexcept {
    return reinterpret_cast<BoardObject*>(self)->state;
}

PyObject* text_result(const char* text, std::size_t len) {
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(len));
}

// -- Board() ----------------------------------------------------------------

constexpr Signature NEW{"Board.__new__()", {}};

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return boundary([&]() -> PyObject* {
        if (!bind(NEW, args, kwargs, nullptr)) return nullptr;
        RandomSource* source = RandomSource::for_this_thread();
        if (!source) return PyErr_SetFromErrno(PyExc_OSError);
        const Grid grid = deal(*source);
        const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        expect(alloc != nullptr, "Board has no allocator");
        PyObject* self = alloc(type, 0);
        if (!self) return nullptr;
        BoardState* state = new (&state_of(self)) BoardState{};
        state->grid = grid;
        return self;
    });
}

void board_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    state_of(self).~BoardState();
    const auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// -- str(board) ---------------------------------------------------------------

PyObject* board_str(PyObject* self) noexcept {
    return boundary([&]() -> PyObject* {
        BoardState& board = state_of(self);
        const ReadBorrow borrow(board.borrow);
        if (!borrow.ok()) return nullptr;
        char text[RENDER_MAX];
        return text_result(text, render(board.grid, text));
    });
}

// -- play(move_str, player, _room_id) ---------------------------------------

constexpr const char* PLAY_PARAMS[] = {"move_str", "player", "_room_id"};
constexpr Signature PLAY{"Board.play()", PLAY_PARAMS};

PyObject* board_play(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* raw[3];
        if (!bind(PLAY, args, nargs, kwnames, raw)) return nullptr;
        BoardState& board = state_of(self);
        const WriteBorrow borrow(board.borrow);
        if (!borrow.ok()) return nullptr;
        std::string_view move;
        Player player;
        std::string_view room_id;  // accepted, checked and never used
        if (!convert(PLAY, raw, move, player, room_id)) return nullptr;

        Action action = Action::none();
        const PlayError refused = check_play(board.grid, player, move, action);
        if (refused != PlayError::None) {
            const std::string_view message = play_error_message(refused);
            PyObject* text = PyUnicode_DecodeUTF8(
                message.data(), static_cast<Py_ssize_t>(message.size()), "strict");
            if (!text) return nullptr;
            PyErr_SetObject(PyExc_ValueError, text);
            Py_DECREF(text);
            return nullptr;
        }
        expect(!action.is_none(), "an accepted move produced no action");
        apply_action(board.grid, action);
        expect(board.grid.valid(), "a move broke the grid");
        Py_RETURN_NONE;
    });
}

// -- get_legal_moves(player) ---------------------------------------------------

constexpr const char* LEGAL_PARAMS[] = {"player"};
constexpr Signature LEGAL{"Board.get_legal_moves()", LEGAL_PARAMS};

PyObject* board_get_legal_moves(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* raw[1];
        if (!bind(LEGAL, args, nargs, kwnames, raw)) return nullptr;
        BoardState& board = state_of(self);
        const ReadBorrow borrow(board.borrow);
        if (!borrow.ok()) return nullptr;
        Player player;
        if (!convert(LEGAL, raw, player)) return nullptr;

        const ActionList moves = legal_moves(board.grid, player);
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(moves.size()));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < moves.size(); ++i) {
            char text[4];
            PyObject* item = text_result(text, move_text(moves[i], text));
            if (!item || PyList_SetItem(list, static_cast<Py_ssize_t>(i), item) < 0) {
                Py_DECREF(list);
                return nullptr;
            }
        }
        return list;
    });
}

// -- play_bot(player, depth) ---------------------------------------------------

constexpr const char* BOT_PARAMS[] = {"player", "depth"};
constexpr Signature BOT{"Board.play_bot()", BOT_PARAMS};

// Lets Ctrl-C, or an exception raised by a Python signal handler, end a
// long search; the exception is then what play_bot raises.
bool signals_pending(void*) noexcept { return PyErr_CheckSignals() < 0; }

PyObject* board_play_bot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return boundary([&]() -> PyObject* {
        PyObject* raw[2];
        if (!bind(BOT, args, nargs, kwnames, raw)) return nullptr;
        BoardState& board = state_of(self);
        const ReadBorrow borrow(board.borrow);
        if (!borrow.ok()) return nullptr;
        Player player;
        std::uint32_t depth;
        if (!convert(BOT, raw, player, depth)) return nullptr;  // may run depth.__index__

        const BotResult result =
            bot_turn(board.grid, player, depth, Interrupt{signals_pending, nullptr});
        switch (result.status) {
            case BotResult::Status::Move: {
                expect(!result.action.is_none(), "the bot chose no move");
                char text[4];
                return text_result(text, move_text(result.action, text));
            }
            case BotResult::Status::NoMove: return text_result("", 0);
            case BotResult::Status::OutOfMemory: return PyErr_NoMemory();
            case BotResult::Status::Interrupted:
                expect(PyErr_Occurred() != nullptr, "the search stopped without an exception");
                return nullptr;
        }
        throw Fault("the bot returned an unknown status");
    });
}

// -- the class -------------------------------------------------------------------

template <auto Method>
constexpr PyCFunction fastcall() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef board_methods[] = {
    {
        .ml_name = "play",
        .ml_meth = fastcall<board_play>(),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "play($self, move_str, player, _room_id)\n--\n\n",
    },
    {
        .ml_name = "get_legal_moves",
        .ml_meth = fastcall<board_get_legal_moves>(),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "get_legal_moves($self, player)\n--\n\n",
    },
    {
        .ml_name = "play_bot",
        .ml_meth = fastcall<board_play_bot>(),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "play_bot($self, player, depth)\n--\n\n",
    },
    {nullptr, nullptr, 0, nullptr},
};

bool create_board_class(PyTypeObject*& out) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Board()\n--\n\n")},
        {Py_tp_methods, board_methods},
        {Py_tp_new, reinterpret_cast<void*>(&board_new)},
        {Py_tp_str, reinterpret_cast<void*>(&board_str)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&board_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        .name = "builtins.Board",
        .basicsize = static_cast<int>(sizeof(BoardObject)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
    out = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return out != nullptr;
}

OnceCell<PyTypeObject*> board_cell;

}  // namespace

PyTypeObject* make_board_class() {
    const auto* cls = board_cell.get_or_init(create_board_class);
    return cls ? *cls : nullptr;
}

}  // namespace tesko::py
