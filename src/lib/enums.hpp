// The enumeration classes Player and CardType.
//
// Each class has exactly two members, made together with the class and kept
// for the life of the process, so `Player.A is Player.A` always holds. A
// member holds its one-byte value and nothing else; it converts to int,
// compares equal to itself and to integers of the same value (never to a
// member of the other class), cannot be ordered and cannot be hashed.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tesko::py {

struct EnumObject {
    PyObject_HEAD
    std::uint8_t value;
};

// The class, made (with its members) if it does not exist yet; nullptr with
// a Python exception set when it cannot be made.
PyTypeObject* make_player_class();
PyTypeObject* make_card_type_class();

// The class if it has been made, else nullptr.
PyTypeObject* player_class() noexcept;

inline std::uint8_t enum_value(PyObject* member) noexcept {
    return reinterpret_cast<EnumObject*>(member)->value;
}

}  // namespace tesko::py
