#include "lib/errors.hpp"

#include <cstring>

#include "lib/once.hpp"

namespace tesko::py {

namespace {

constexpr const char PANIC_DOC[] =
    "Raised when the native code of tesko faults (a broken internal invariant).\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it is normally not caught and propagates to the top, ending the\n"
    "interpreter.";

constexpr const char GENERIC_FAULT[] = "tesko: internal fault in native code";

OnceCell<PyObject*> panic_class;

PyObject* get_panic_class() {
    const auto* cls = panic_class.get_or_init([](PyObject*& out) {
        out = PyErr_NewExceptionWithDoc("tesko.PanicException", PANIC_DOC, PyExc_BaseException,
                                        nullptr);
        return out != nullptr;
    });
    return cls ? *cls : nullptr;
}

}  // namespace

void raise_panic(const char* message) noexcept {
    try {
        PyObject* cls = get_panic_class();
        if (!cls) return;  // the error of making the class stays set
        const char* text = (message && *message) ? message : GENERIC_FAULT;
        PyObject* arg =
            PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
        if (!arg) return;
        PyErr_SetObject(cls, arg);
        Py_DECREF(arg);
    } catch (...) {
        Py_FatalError("uncaught panic at ffi boundary");
    }
}

void raise_with_cause(const char* message) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* error = PyObject_CallFunction(PyExc_RuntimeError, "s", message);
    if (!error) {
        Py_XDECREF(value);
        return;
    }
    PyException_SetCause(error, value);  // takes the reference to value
    PyErr_SetObject(PyExc_RuntimeError, error);
    Py_DECREF(error);
}

}  // namespace tesko::py
