#include "lib/args.hpp"

#include <string>

#include "lib/enums.hpp"
#include "lib/errors.hpp"

namespace tesko::py {

namespace {

constexpr const char UNKNOWN_TYPE_NAME[] = "<failed to extract type name>";

// The __qualname__ of `type` as a str, or nullptr (no exception set) when
// that attribute cannot be read as text.
PyObject* qualname(PyTypeObject* type) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
    if (name && PyUnicode_Check(name) && PyUnicode_AsUTF8AndSize(name, nullptr)) return name;
    Py_XDECREF(name);
    PyErr_Clear();
    return nullptr;
}

// Puts `value` into the parameter that keyword `name` names.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** raw) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
    if (!text) PyErr_Clear();  // a name that is not UTF-8 text names no parameter
    if (text) {
        const std::string_view key(text, static_cast<std::size_t>(len));
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            if (key != sig.params[i]) continue;
            if (raw[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             sig.full_name, sig.params[i]);
                return false;
            }
            raw[i] = value;
            return true;
        }
    }
    Py_INCREF(name);  // str() of a str subclass may run code that drops it
    PyObject* shown = PyObject_Str(name);
    Py_DECREF(name);
    if (!shown) return false;
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name,
                 shown);
    Py_DECREF(shown);
    return false;
}

bool take_positional(const Signature& sig, Py_ssize_t nargs, PyObject** raw) {
    const std::size_t n = sig.params.size();
    if (static_cast<std::size_t>(nargs) > n) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     sig.full_name, n, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) raw[i] = nullptr;
    return true;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
bool check_missing(const Signature& sig, PyObject* const* raw) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.params.size(); ++i) missing += raw[i] == nullptr;
    if (missing == 0) return true;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (raw[i]) continue;
        if (listed > 0) {
            if (missing > 2) names += ',';
            names += listed + 1 == missing ? " and " : " ";
        }
        names += '\'';
        names += sig.params[i];
        names += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.full_name,
                 missing, missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** raw) {
    if (!take_positional(sig, nargs, raw)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) raw[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        if (nkw < 0) return false;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* name = PyTuple_GetItem(kwnames, k);
            if (!name || !bind_keyword(sig, name, args[nargs + k], raw)) return false;
        }
    }
    return check_missing(sig, raw);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** raw) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0 || !take_positional(sig, nargs, raw)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (!(raw[i] = PyTuple_GetItem(args, i))) return false;
    }
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (!bind_keyword(sig, name, value, raw)) return false;
        }
    }
    return check_missing(sig, raw);
}

void raise_class_mismatch(PyObject* obj, PyTypeObject* expected) {
    PyObject* want = qualname(expected);
    PyObject* want_text = want ? want : PyUnicode_FromString(UNKNOWN_TYPE_NAME);
    if (!want_text) return;
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", want_text);
    } else {
        PyObject* got = qualname(Py_TYPE(obj));
        if (got) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", got, want_text);
            Py_DECREF(got);
        } else {
            PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%U'",
                         UNKNOWN_TYPE_NAME, want_text);
        }
    }
    Py_DECREF(want_text);
}

void name_argument(const char* param) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    PyObject* cause = value ? PyException_GetCause(value) : nullptr;
    Py_XDECREF(value);
    PyObject* message = text ? PyUnicode_FromFormat("argument '%s': %U", param, text) : nullptr;
    PyObject* error =
        message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr) : nullptr;
    Py_XDECREF(text);
    Py_XDECREF(message);
    if (!error) {
        Py_XDECREF(cause);
        if (!PyErr_Occurred()) raise_panic("a failed conversion left no exception");
        return;
    }
    PyException_SetCause(error, cause);  // takes the reference to cause
    PyErr_SetObject(PyExc_TypeError, error);
    Py_DECREF(error);
}

bool to_value(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_class_mismatch(obj, &PyUnicode_Type);
        return false;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!text) return false;
    out = std::string_view(text, static_cast<std::size_t>(len));
    return true;
}

bool to_value(PyObject* obj, Player& out) {
    PyTypeObject* cls = player_class();
    expect(cls != nullptr, "the Player class is used before it exists");
    if (!PyObject_TypeCheck(obj, cls)) {
        raise_class_mismatch(obj, cls);
        return false;
    }
    out = static_cast<Player>(enum_value(obj));
    return true;
}

bool to_value(PyObject* obj, std::uint32_t& out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long>(value) > 0xFFFFFFFFUL) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace tesko::py
