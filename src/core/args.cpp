#include "core/args.hpp"

#include <cstring>

namespace vq::core {

bool parse_arguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject *const *kwvalues, const char *const *names,
                     int count, int max_positional, int required, PyObject **slots) noexcept {
    if (nargs > max_positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional arguments (%zd given)",
                     function, max_positional, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const char *key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
        if (!key)
            return false;
        int at = -1;
        for (int i = 0; i < count; ++i)
            if (std::strcmp(key, names[i]) == 0)
                at = i;
        if (at < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function,
                         key);
            return false;
        }
        if (slots[at]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         key);
            return false;
        }
        slots[at] = kwvalues[k];
    }
    for (int i = 0; i < required; ++i)
        if (!slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function,
                         names[i]);
            return false;
        }
    return true;
}

int timeout_argument(PyObject *value, double fallback, double *seconds) noexcept {
    if (!value || value == Py_None) {
        *seconds = fallback;
        return 0;
    }
    if (!PyFloat_Check(value) && !PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "timeout must be a number of seconds or None, not %.200s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    const double s = PyFloat_AsDouble(value);
    if (s == -1.0 && PyErr_Occurred())
        return -1;
    if (!(s > 0)) {  // also NaN
        PyErr_Format(PyExc_ValueError, "timeout must be a positive number of seconds, not %R",
                     value);
        return -1;
    }
    *seconds = s;
    return 0;
}

int add_type(PyObject *module, PyTypeObject *type, const char *name) noexcept {
    if (PyType_Ready(type) < 0)
        return -1;
    if (!name)
        return 0;
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject *>(type)) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

}  // namespace vq::core
