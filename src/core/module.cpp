// The varquin package's native core: the module definition.  The package
// registers its Python classes here once at import (_setup).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/bus.hpp"
#include "core/daemon.hpp"
#include "core/errors.hpp"
#include "core/events.hpp"
#include "core/export.hpp"
#include "core/journal.hpp"
#include "core/marshal.hpp"
#include "core/matches.hpp"
#include "core/proxy.hpp"

namespace {

PyObject *core_setup(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
    static const char *keywords[] = {"variant", "signal",    "bus_error", "errors",
                                     "log",     "awaitable", nullptr};
    PyObject *variant, *signal, *bus_error, *errors, *log, *awaitable;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$OOOO!OO:_setup", const_cast<char **>(keywords),
                                     &variant, &signal, &bus_error, &PyDict_Type, &errors, &log,
                                     &awaitable))
        return nullptr;
    if (!PyType_Check(variant) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(variant), &PyTuple_Type))
        return PyErr_Format(PyExc_TypeError, "variant must be a tuple subclass");
    vq::core::set_variant_type(variant);
    vq::core::set_signal_type(signal);
    vq::core::set_error_classes(bus_error, errors);
    vq::core::set_service_hooks(log, awaitable);
    Py_RETURN_NONE;
}

PyMethodDef core_methods[] = {
    {"_setup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_setup)),
     METH_VARARGS | METH_KEYWORDS,
     "Registers the package's Variant, Signal and error classes and its service hooks."},
    {"notify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vq::core::daemon_notify)),
     METH_FASTCALL | METH_KEYWORDS,
     "notify(state, fds=())\n--\n\nSends `state` with the descriptors `fds` to the service "
     "manager: True when sent, False without $NOTIFY_SOCKET."},
    {"listen_fds",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vq::core::daemon_listen_fds)),
     METH_FASTCALL | METH_KEYWORDS,
     "listen_fds(lookup=True)\n--\n\nThe (descriptor, name) pairs the service manager passed "
     "to this process; `lookup=False` reads the names without the library's function."},
    {"watchdog_usec", vq::core::daemon_watchdog_usec, METH_NOARGS,
     "watchdog_usec()\n--\n\nThe watchdog timeout the manager expects pings within, in µs; 0 "
     "when none."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "varquin._core",
    "The native core of the varquin package: bus connections, marshalling and dispatch.",
    -1,
    core_methods,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) noexcept {
    PyObject *module = PyModule_Create(&core_module);
    if (!module)
        return nullptr;
    if (vq::core::bus_type_ready(module) < 0 || vq::core::subscription_type_ready(module) < 0 ||
        vq::core::export_type_ready(module) < 0 || vq::core::pending_call_type_ready(module) < 0 ||
        vq::core::proxy_method_type_ready(module) < 0 || vq::core::journal_type_ready(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
