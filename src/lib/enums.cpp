#include "lib/enums.hpp"

#include <array>
#include <string>

#include "lib/errors.hpp"
#include "lib/once.hpp"

namespace tesko::py {

namespace {

struct EnumInfo {
    const char* type_name;               // "builtins.Player": module builtins
    const char* name;                    // "Player"
    std::array<const char*, 2> members;  // by value: "A", "B"
    std::array<const char*, 2> reprs;    // "Player.A", "Player.B"
};

struct EnumClass {
    PyTypeObject* type;
    std::array<PyObject*, 2> members;
};

constexpr EnumInfo PLAYER{"builtins.Player", "Player", {"A", "B"}, {"Player.A", "Player.B"}};
constexpr EnumInfo CARD_TYPE{
    "builtins.CardType", "CardType", {"Normal", "Figure"}, {"CardType.Normal", "CardType.Figure"}};

template <const EnumInfo& Info>
PyObject* enum_repr(PyObject* self) noexcept {
    return boundary([&] { return PyUnicode_FromString(Info.reprs[enum_value(self) ? 1 : 0]); });
}

PyObject* enum_int(PyObject* self) noexcept {
    return boundary([&] { return PyLong_FromLong(enum_value(self)); });
}

// Equality with members of the same class and with integers of the same
// value; everything else, orderings included, is left to the interpreter.
// Never raises.
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return boundary([&]() -> PyObject* {
        if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
        bool equal;
        if (PyObject_TypeCheck(other, Py_TYPE(self))) {
            equal = enum_value(self) == enum_value(other);
        } else {
            const long theirs = PyLong_AsLong(other);  // runs other.__index__
            if (theirs == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
            equal = static_cast<long>(enum_value(self)) == theirs;
        }
        if (op == Py_EQ) return PyBool_FromLong(equal);
        if (op == Py_NE) return PyBool_FromLong(!equal);
        Py_RETURN_NOTIMPLEMENTED;
    });
}

// Members live as long as the process; this runs only if making a class
// fails halfway.
void member_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

// The class from its PyType_Spec, then its two members as class
// attributes, value 0 first.
template <const EnumInfo& Info>
bool make_enum_class(EnumClass& out) {
    static PyType_Slot slots[] = {
        {Py_tp_repr, reinterpret_cast<void*>(&enum_repr<Info>)},
        {Py_nb_int, reinterpret_cast<void*>(&enum_int)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&member_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        .name = Info.type_name,
        .basicsize = static_cast<int>(sizeof(EnumObject)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        .slots = slots,
    };
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return false;
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    std::array<PyObject*, 2> members{};
    const auto fail = [&](const std::string& what) {
        raise_with_cause(("An error occurred while initializing `" + what + "`").c_str());
        for (PyObject* m : members) Py_XDECREF(m);
        Py_DECREF(type);
        return false;
    };
    for (std::uint8_t v = 0; v < 2; ++v) {
        PyObject* member = alloc ? alloc(cls, 0) : nullptr;
        if (!member) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return fail(std::string(Info.name) + "." + Info.members[v]);
        }
        reinterpret_cast<EnumObject*>(member)->value = v;
        members[v] = member;
    }
    for (std::uint8_t v = 0; v < 2; ++v) {
        if (PyObject_SetAttrString(type, Info.members[v], members[v]) < 0)
            return fail(std::string(Info.name) + ".__dict__");
    }
    out = EnumClass{cls, members};
    return true;
}

OnceCell<EnumClass> player_cell;
OnceCell<EnumClass> card_type_cell;

}  // namespace

PyTypeObject* make_player_class() {
    const EnumClass* c = player_cell.get_or_init(make_enum_class<PLAYER>);
    return c ? c->type : nullptr;
}

PyTypeObject* make_card_type_class() {
    const EnumClass* c = card_type_cell.get_or_init(make_enum_class<CARD_TYPE>);
    return c ? c->type : nullptr;
}

PyTypeObject* player_class() noexcept {
    const EnumClass* c = player_cell.get();
    return c ? c->type : nullptr;
}

}  // namespace tesko::py
