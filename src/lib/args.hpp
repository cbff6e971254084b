// Argument binding and conversion, the one way every callable of the module
// takes its arguments.
//
// A callable is described once by a Signature: the name that its messages
// use ("Board.play()") and its parameter names. All parameters are required
// and may be given by position or by keyword. A call then runs in two steps,
// with the board borrowed in between:
//
//   PyObject* raw[3];
//   if (!bind(PLAY, args, nargs, kwnames, raw)) return nullptr;   // TypeError
//   ... borrow the board ...
//   if (!convert(PLAY, raw, text, player, room)) return nullptr;  // in order
//
// `bind` produces the interpreter's usual texts: too many positional
// arguments, an unexpected keyword, multiple values for one parameter,
// missing parameters. `convert` turns each bound object into the C++ value
// of the matching output, in parameter order, stopping at the first failure;
// a failure raised as TypeError exactly (not a subclass) is raised again as
// TypeError "argument '<name>': <text>" so that the caller learns which
// argument was wrong. Other exceptions pass through unchanged.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/grid.hpp"

namespace tesko::py {

struct Signature {
    const char* full_name;
    std::span<const char* const> params;
};

// Binds a vectorcall-style call (METH_FASTCALL | METH_KEYWORDS): `nargs`
// positional values in `args`, followed by one value per name in `kwnames`
// (nullptr when there are none). On success raw[i] is a borrowed reference
// for parameter i.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** raw);

// Binds a tuple-and-dict call (a type's tp_new); `kwargs` may be nullptr.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** raw);

// Converters: true on success, false with a Python exception set.
// A str (or subclass) as its UTF-8 text; the view lives as long as `obj`.
bool to_value(PyObject* obj, std::string_view& out);
// A member of the Player class.
bool to_value(PyObject* obj, Player& out);
// An integer (through __index__) from 0 to 4294967295.
bool to_value(PyObject* obj, std::uint32_t& out);

// TypeError "'<type>' object is not an instance of '<expected>'", or
// "'None' is not an instance of '<expected>'".
void raise_class_mismatch(PyObject* obj, PyTypeObject* expected);

// Re-raises the current exception naming `param` if it is exactly a TypeError.
void name_argument(const char* param);

template <class... Out>
bool convert(const Signature& sig, PyObject* const* raw, Out&... out) {
    static_assert(sizeof...(Out) > 0);
    std::size_t i = 0;
    const auto one = [&](auto& value) {
        const std::size_t at = i++;
        if (to_value(raw[at], value)) return true;
        name_argument(sig.params[at]);
        return false;
    };
    return (one(out) && ...);
}

}  // namespace tesko::py
