#include "varquin.hpp"

#include <type_traits>
#include <utility>

#include "owners.hpp"
#include "sdbus.hpp"
#include "variant.hpp"
#include "vq_error_handling.hpp"

namespace {

// ---------------------------------------------------------------------------
// The wrapper shape, written once.  Every wrapper parses its positional
// arguments, runs one operation with the interpreter lock released, takes
// the lock back, builds its result and frees what the operation handed back.

// Runs `op` with the interpreter lock released.  Nothing of the interpreter
// may be touched inside `op`: arguments are plain C values (borrowed UTF-8
// buffers of argument objects stay valid, the objects being held by the
// caller's argument tuple).
template <class F>
auto released(F &&op) noexcept {
    PyThreadState *ts = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(op())>) {
        op();
        PyEval_RestoreThread(ts);
    } else {
        auto result = op();
        PyEval_RestoreThread(ts);
        return result;
    }
}

// A counted reference owned by the scope that holds it.
class py_ref {
public:
    explicit py_ref(PyObject *o = nullptr) noexcept : o_(o) {}
    ~py_ref() { Py_XDECREF(o_); }
    py_ref(const py_ref &) = delete;
    py_ref &operator=(const py_ref &) = delete;
    PyObject *get() const noexcept { return o_; }
    PyObject *release() noexcept { return std::exchange(o_, nullptr); }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    PyObject *o_;
};

// An int success flag as a new reference to True or False.
PyObject *py_flag(int ok) noexcept { return PyBool_FromLong(ok != 0); }

// A native string as a new str decoded from UTF-8, or None for null.
PyObject *py_str_or_none(const char *s) noexcept { return Py_BuildValue("s", s); }

// ---------------------------------------------------------------------------
// Core runtime: the error state and the client connection.

PyObject *varquin_get_last_error(PyObject *, PyObject *args) noexcept {
    int code = 0;
    if (!PyArg_ParseTuple(args, "i", &code))
        return nullptr;
    vq::heap_str text(released([code] { return get_last_error(code); }));
    // No memory for the text: None, and the state stays recorded.
    return py_str_or_none(text.get());
}

PyObject *varquin_deinit_client(PyObject *, PyObject *) noexcept {
    // deinit_client waits for the client connection's lock, which a call on
    // another thread may hold for as long as its timeout: wait without the
    // interpreter lock.
    released([] { deinit_client(); });
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------
// Generic method call.

// One decoded element as a new object: int, str, or None for a position
// that got no value (including a string whose copy failed).
PyObject *py_variant(variant_t v) noexcept {
    if (variant_is_int(v))
        return PyLong_FromLongLong(variant_get_int(v));
    if (variant_is_str(v) && variant_get_str(v))
        return PyUnicode_FromString(variant_get_str(v));
    Py_RETURN_NONE;
}

// (status, item 1, ..., item n): one item per output signature character.
PyObject *py_send_result(int status, const variant_array_t &data) noexcept {
    const size_t n = variant_array_get_size(data);
    py_ref tuple(PyTuple_New(static_cast<Py_ssize_t>(n) + 1));
    if (!tuple)
        return nullptr;
    PyObject *item = PyLong_FromLong(status);
    if (!item)
        return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, item);
    for (size_t i = 0; i < n; ++i) {
        if (!(item = py_variant(data.variants[i])))
            return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i) + 1, item);
    }
    return tuple.release();
}

PyObject *varquin_send(PyObject *, PyObject *args) noexcept {
    const char *svc_name = nullptr, *path = nullptr, *if_name = nullptr, *method_name = nullptr,
               *input_sig = nullptr, *output_sig = nullptr, *first_arg = nullptr,
               *second_arg = nullptr;
    // One required str and seven optional ones.  (The parser sets its count
    // of required arguments at every '|', so "s|s|s|s|s|s|s|s" would demand
    // seven.)
    if (!PyArg_ParseTuple(args, "s|sssssss", &svc_name, &path, &if_name, &method_name,
                          &input_sig, &output_sig, &first_arg, &second_arg))
        return nullptr;
    for (const char *required : {svc_name, path, if_name, method_name, input_sig, output_sig}) {
        if (!required || !*required) {
            PyErr_SetString(PyExc_AttributeError, "send() is called without required arguments");
            return nullptr;
        }
    }
    vq::variant_array_owner data;
    const int status = released([&] {
        return client(svc_name, path, if_name, method_name, input_sig, output_sig, first_arg,
                      second_arg, &data.record);
    });
    if (status < 0)
        return Py_BuildValue("(i)", status);
    // A successful call always yields an allocated array (output_sig is not
    // empty); its first value must be the method's integer return code.
    if (!variant_array_is_allocated(data.record) || !variant_is_int(data.record.variants[0])) {
        PyErr_SetString(PyExc_AttributeError, "First return argument must be int return code.");
        return nullptr;
    }
    return py_send_result(status, data.record);
}

// ---------------------------------------------------------------------------
// The module record and its table.

PyDoc_STRVAR(module_docstring,
             "Drive systemd over the D-Bus system bus through sd-bus, make generic bus "
             "calls, and serve Python callables as bus methods.");
PyDoc_STRVAR(get_last_error_docstring, "Get last error text");
PyDoc_STRVAR(deinit_client_docstring, "client destructor");
PyDoc_STRVAR(send_docstring, "send message to bus");

PyMethodDef module_methods[] = {
    {"get_last_error", varquin_get_last_error, METH_VARARGS, get_last_error_docstring},
    {"deinit_client", varquin_deinit_client, METH_VARARGS, deinit_client_docstring},
    {"send", varquin_send, METH_VARARGS, send_docstring},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef _coremodule = {
    PyModuleDef_HEAD_INIT,
    "_varquin",
    module_docstring,
    -1,  // all state is process-wide; no sub-interpreters
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit__varquin(void) noexcept {
    return PyModule_Create2(&_coremodule, 1013);
}
