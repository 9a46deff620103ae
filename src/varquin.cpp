#include "varquin.hpp"

#include <type_traits>
#include <utility>

#include "connect.hpp"
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

// An int status as a new int.
PyObject *py_status(int status) noexcept { return Py_BuildValue("i", status); }

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
// The service host.  Whatever waits for the server connection's lock does so
// without the interpreter lock: the listen loop holds the server lock while
// it processes, and a callable it runs needs the interpreter lock.

PyObject *varquin_get_sd_bus_fd(PyObject *, PyObject *) noexcept {
    return py_status(released([] { return get_sd_bus_fd(); }));
}

PyObject *varquin_service_register(PyObject *, PyObject *args) noexcept {
    const char *path = nullptr, *if_name = nullptr, *method_name = nullptr;
    const char *output_sig = nullptr, *input_sig = nullptr;
    PyObject *python_method = nullptr;
    int method_index = 0;
    // Only the path is required by the parser; the checks below name what is missing.
    if (!PyArg_ParseTuple(args, "s|ssssOi", &path, &if_name, &method_name, &output_sig, &input_sig,
                          &python_method, &method_index))
        return nullptr;
    for (const char *s : {path, if_name, method_name, output_sig, input_sig}) {
        if (!s || !*s) {
            PyErr_SetString(PyExc_AttributeError,
                            "service_register() is called without required arguments");
            return nullptr;
        }
    }
    if (python_method && !PyCallable_Check(python_method)) {
        PyErr_SetString(PyExc_AttributeError,
                        "service_register() argument `python_method` must be callable");
        return nullptr;
    }
    // The reference that the slot keeps; given back here if no slot took it.
    py_ref callable(Py_XNewRef(python_method));
    bool took_callable = false;
    const int ok = released([&] {
        // Held across both calls, so that the connection registered on is
        // the one acquired even if deinit_server runs on another thread.
        vq::bus_guard lock(vq::server_bus_lock());
        return vq::service_register(acquire_server_bus(), path, if_name, method_name, output_sig,
                                    input_sig, callable.get(), method_index, took_callable);
    });
    if (took_callable)
        (void)callable.release();
    return py_status(ok);
}

PyObject *varquin_listen(PyObject *, PyObject *) noexcept {
    // The loop releases the interpreter lock itself around its waits and
    // processing.
    return py_status(listen());
}

PyObject *varquin_deinit_server(PyObject *, PyObject *) noexcept {
    // Writes the wake-up under the interpreter lock, then releases it while
    // it waits for the server lock, and gives the callables back under it.
    deinit_server();
    Py_RETURN_TRUE;
}

PyObject *varquin_init(PyObject *, PyObject *args) noexcept {
    int methods_amount = 0;
    if (!PyArg_ParseTuple(args, "i", &methods_amount))
        return nullptr;
    released([methods_amount] { init(methods_amount); });
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------
// The module record and its table.

PyDoc_STRVAR(module_docstring,
             "Drive systemd over the D-Bus system bus through sd-bus, make generic bus "
             "calls, and serve Python callables as bus methods.");
PyDoc_STRVAR(get_sd_bus_fd_docstring, "get sd-bus descriptor");
PyDoc_STRVAR(service_register_docstring, "Register service");
PyDoc_STRVAR(get_last_error_docstring, "Get last error text");
PyDoc_STRVAR(listen_docstring, "Listen the bus");
PyDoc_STRVAR(deinit_client_docstring, "client destructor");
PyDoc_STRVAR(deinit_server_docstring, "server destructor");
PyDoc_STRVAR(init_docstring, "constructor");

PyMethodDef module_methods[] = {
    {"get_sd_bus_fd", varquin_get_sd_bus_fd, METH_VARARGS, get_sd_bus_fd_docstring},
    {"service_register", varquin_service_register, METH_VARARGS, service_register_docstring},
    {"get_last_error", varquin_get_last_error, METH_VARARGS, get_last_error_docstring},
    {"listen", varquin_listen, METH_VARARGS, listen_docstring},
    {"deinit_client", varquin_deinit_client, METH_VARARGS, deinit_client_docstring},
    {"deinit_server", varquin_deinit_server, METH_VARARGS, deinit_server_docstring},
    {"init", varquin_init, METH_VARARGS, init_docstring},
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
