// The varquin package's native core: the module definition.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "varquin._core",
    "The native core of the varquin package: bus connections, marshalling and dispatch.",
    -1,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModule_Create(&core_module); }
