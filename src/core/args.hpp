// Argument parsing for the core's fast-call methods (timeouts included), and
// adding the core's types to its module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq::core {

// Fills slots[i] (borrowed) with the argument named names[i]: the first
// `max_positional` by position (args[0..nargs)) or keyword (the values of
// `kwnames` follow the whole positional vector: `kwvalues`), the rest by
// keyword only; the
// first `required` must be given.  Slots not given stay null.  False with
// TypeError set on a missing, repeated or unknown argument.
bool parse_arguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject *const *kwvalues, const char *const *names,
                     int count, int max_positional, int required, PyObject **slots) noexcept;

// A timeout argument: None gives `fallback`; otherwise a positive number of
// seconds (math.inf for no limit).  -1 with an exception set when invalid.
int timeout_argument(PyObject *value, double fallback, double *seconds) noexcept;

// Readies `type` and adds it to `module` as `name` (null: ready only).
// 0, or -1 with an exception set.
int add_type(PyObject *module, PyTypeObject *type, const char *name) noexcept;

}  // namespace vq::core
