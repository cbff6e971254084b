// The Board class: one dealt game, its grid and its borrow state.
#pragma once

#include <Python.h>

namespace tesko::py {

// The class, made if it does not exist yet; nullptr with a Python exception
// set when it cannot be made.
PyTypeObject* make_board_class();

}  // namespace tesko::py
