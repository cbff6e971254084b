#include <Python.h>

static PyModuleDef_Slot tesko_slots[] = {{0, nullptr}};
static PyModuleDef tesko_module = {PyModuleDef_HEAD_INIT, "tesko", "", 0, nullptr, tesko_slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_tesko(void) { return PyModuleDef_Init(&tesko_module); }
