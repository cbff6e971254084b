#include <Python.h>

static PyModuleDef_Slot slots[] = {{0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_tesko_testing", "", 0, nullptr, slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__tesko_testing(void) { return PyModuleDef_Init(&def); }
