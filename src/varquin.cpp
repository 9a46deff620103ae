#include "varquin.hpp"

#include <type_traits>
#include <utility>

#include "owners.hpp"
#include "sdbus.hpp"
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
// The module record and its table.

PyDoc_STRVAR(module_docstring,
             "Drive systemd over the D-Bus system bus through sd-bus, make generic bus "
             "calls, and serve Python callables as bus methods.");
PyDoc_STRVAR(get_last_error_docstring, "Get last error text");
PyDoc_STRVAR(deinit_client_docstring, "client destructor");

PyMethodDef module_methods[] = {
    {"get_last_error", varquin_get_last_error, METH_VARARGS, get_last_error_docstring},
    {"deinit_client", varquin_deinit_client, METH_VARARGS, deinit_client_docstring},
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
