#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_runner.hpp"

#include <cstring>

namespace {

// Prints the pending exception with its traceback to the interpreter's
// standard error and clears it, so that it never surfaces later in code
// that has nothing to do with it.  (A SystemExit ends the process here.)
void print_and_clear() noexcept {
    if (PyErr_Occurred())
        PyErr_PrintEx(1);
}

// The Python value of one argument read for type code `code`: a new
// reference, or null with an exception set.
PyObject *arg_value(char code, const vq_arg_cell &cell) noexcept {
    switch (code) {
    case 's':
    case 'o':
    case 'g':
        return cell.s ? PyUnicode_FromString(cell.s) : Py_NewRef(Py_None);
    case 'b':
        return PyBool_FromLong(cell.b);
    case 'd':
        return PyFloat_FromDouble(cell.d);
    case 'y':
        return PyLong_FromUnsignedLong(cell.y);
    case 'n':
        return PyLong_FromLong(cell.n);
    case 'q':
        return PyLong_FromUnsignedLong(cell.q);
    case 'i':
        return PyLong_FromLong(cell.i);
    case 'u':
        return PyLong_FromUnsignedLong(cell.u);
    case 'x':
        return PyLong_FromLongLong(cell.x);
    case 't':
        return PyLong_FromUnsignedLongLong(cell.t);
    case 'h':
        return PyLong_FromLong(cell.h);
    default:
        // Containers are never read into a cell (the read fails first);
        // a position is never left unset all the same.
        return Py_NewRef(Py_None);
    }
}

// Turns the items of the non-empty tuple `res` into `results`, position by
// position: ints (bool included) as integers, strs as their UTF-8 text,
// anything else left empty.  Returns item 0 as a 32-bit integer, or -1.
int convert_results(PyObject *res, variant_array_t *results) noexcept {
    const Py_ssize_t size = PyTuple_GET_SIZE(res);
    variant_array_t *record = results;
    allocate_variant_array(&record, static_cast<size_t>(size));
    if (!variant_array_is_allocated(*results))
        return -1;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *item = PyTuple_GET_ITEM(res, i);
        variant_t *slot = &results->variants[i];
        if (PyLong_Check(item)) {
            const long v = PyLong_AsLong(item);
            if (v == -1 && PyErr_Occurred())
                print_and_clear();  // beyond 64 bits: the position stays empty
            else
                variant_set_int(slot, v);
        } else if (PyUnicode_Check(item)) {
            // Strict UTF-8; a str holding a lone surrogate cannot be encoded
            // and its position stays empty.
            const char *text = PyUnicode_AsUTF8(item);
            if (text)
                variant_set_str(slot, text);
            else
                print_and_clear();
        }
    }
    const variant_t first = results->variants[0];
    if (!variant_is_int(first))
        return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(variant_get_int(first)));
}

int call_and_convert(const char *args_fmt, PyObject *func, vq_arg_cell *args,
                     variant_array_t *results) noexcept {
    const Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(args_fmt));
    PyObject *tuple = PyTuple_New(n);
    if (!tuple)
        return -1;
    if (!parse_args(args_fmt, args, n, tuple)) {
        Py_DECREF(tuple);
        return -1;
    }
    PyObject *res = PyObject_CallObject(func, tuple);
    Py_DECREF(tuple);
    if (!res)
        return -1;
    // An empty tuple, or anything that is not a tuple, yields no results.
    int code = -1;
    if (PyTuple_Check(res) && PyTuple_GET_SIZE(res) > 0)
        code = convert_results(res, results);
    Py_DECREF(res);
    return code;
}

}  // namespace

extern "C" int run_python_func(const char *args_fmt, void *func, vq_arg_cell *args,
                               variant_array_t *results) noexcept {
    const PyGILState_STATE gil = PyGILState_Ensure();
    int code = -1;
    if (py_signals_need_iterrupt())
        code = -2000;
    else if (func)
        code = call_and_convert(args_fmt, static_cast<PyObject *>(func), args, results);
    // The one exit: whatever a path left set (a signal handler's exception,
    // the callable's, a failed argument) is printed and cleared here.
    print_and_clear();
    PyGILState_Release(gil);
    return code;
}

extern "C" int parse_args(const char *args_fmt, vq_arg_cell *arg_values, ssize_t size,
                          PyObject *func_args_tuple) noexcept {
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *value = arg_value(args_fmt[i], arg_values[i]);
        if (!value)
            return 0;  // the caller drops the tuple; unset positions are null and skipped
        PyTuple_SET_ITEM(func_args_tuple, i, value);
    }
    return 1;
}

extern "C" int py_signals_need_iterrupt(void) noexcept { return PyErr_CheckSignals() != 0 ? 1 : 0; }

extern "C" void set_py_interrupt(void) noexcept { PyErr_SetInterrupt(); }

namespace vq {
void release_python_object(void *obj) noexcept { Py_XDECREF(static_cast<PyObject *>(obj)); }
}  // namespace vq
