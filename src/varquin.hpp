// The module definition, its method table and the wrappers that turn
// Python arguments into native values and results back into objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern "C" PyMODINIT_FUNC PyInit__varquin(void) noexcept;
