// The extension module python_can_brenix_mf4 (limited API, abi3).
#include <Python.h>

static PyModuleDef_Slot Module_slots[] = {
    {0, nullptr},
};

static PyModuleDef Module_def = {
    PyModuleDef_HEAD_INIT,
    "python_can_brenix_mf4",
    "Reader of MDF 4 bus logs for python-can.",
    0,
    nullptr,
    Module_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyMODINIT_FUNC PyInit_python_can_brenix_mf4(void) {
  return PyModuleDef_Init(&Module_def);
}
