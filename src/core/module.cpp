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
#include "core/remote.hpp"
#include "core/state.hpp"
#include "py_ref.hpp"

#include <string>
#include <string_view>
#include <vector>

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
    vq::core::register_package(variant, signal, bus_error, errors, log, awaitable);
    Py_RETURN_NONE;
}

using vq::core::text_argument;

PyObject *str_of(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// A new tuple (or list) of `items` as str; null with an exception set.
template <typename Strings>
PyObject *strs_of(const Strings &items, bool list) noexcept {
    const auto n = static_cast<Py_ssize_t>(items.size());
    vq::py_ref out(list ? PyList_New(n) : PyTuple_New(n));
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        PyObject *item = str_of(items[static_cast<size_t>(i)]);
        if (!item)
            return nullptr;
        if (list)
            PyList_SET_ITEM(out.get(), i, item);
        else
            PyTuple_SET_ITEM(out.get(), i, item);
    }
    return out.release();
}

PyObject *core_split_signature(PyObject *, PyObject *arg) noexcept {
    std::string_view sig;
    if (!text_argument(arg, "signature", sig))
        return nullptr;
    std::vector<std::string_view> types;
    vq::core::signature_problem why;
    if (!vq::core::split_signature(sig, &types, &why)) {
        vq::py_ref reason(vq::core::signature_problem_text(sig, why));
        if (reason)
            PyErr_SetObject(PyExc_ValueError, reason.get());
        return nullptr;
    }
    return strs_of(types, false);
}

PyObject *core_type_names(PyObject *, PyObject *) noexcept {
    const auto names = vq::core::type_names();
    vq::py_ref out(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (size_t i = 0; out && i < names.size(); ++i) {
        const auto &t = names[i];
        PyObject *item = Py_BuildValue(
            "(s#ss)", t.code.data(), static_cast<Py_ssize_t>(t.code.size()), t.python, t.expected);
        if (!item)
            return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

PyObject *core_is_address(PyObject *, PyObject *arg) noexcept {
    std::string_view text;
    if (!text_argument(arg, "text", text))
        return nullptr;
    return PyBool_FromLong(vq::core::is_address(text));
}

// The host argument read as a host for SSH, or false with ValueError (the
// text Bus.remote gives) or TypeError set.
bool host_argument(PyObject *arg, vq::core::ssh_host &host) noexcept {
    std::string_view text;
    if (!text_argument(arg, "host", text))
        return false;
    if (text.find('\0') != std::string_view::npos || !vq::core::parse_host(text, host)) {
        PyErr_Format(PyExc_ValueError, "host %R is not valid: expected [user@]host[:port]", arg);
        return false;
    }
    return true;
}

PyObject *core_parse_host(PyObject *, PyObject *arg) noexcept {
    vq::core::ssh_host host;
    if (!host_argument(arg, host))
        return nullptr;
    vq::py_ref user(host.user.empty() ? vq::py_ref::borrow(Py_None)
                                      : vq::py_ref(str_of(host.user)));
    vq::py_ref name(str_of(host.name));
    vq::py_ref port(host.port.empty() ? vq::py_ref::borrow(Py_None)
                                      : vq::py_ref(PyLong_FromString(std::string(host.port).c_str(),
                                                                     nullptr, 10)));
    if (!user || !name || !port)
        return nullptr;
    return PyTuple_Pack(3, user.get(), name.get(), port.get());
}

PyObject *core_ssh_argv(PyObject *, PyObject *arg) noexcept {
    vq::core::ssh_host host;
    if (!host_argument(arg, host))
        return nullptr;
    return strs_of(vq::core::ssh_argv(host), true);
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
    {"split_signature", core_split_signature, METH_O,
     "split_signature(signature) -> tuple of its complete types.  ValueError whose text is why it "
     "is not a valid signature."},
    {"type_names", core_type_names, METH_NOARGS,
     "type_names() -> ((code, Python annotation, what a value sent as it must be), ...)."},
    {"is_address", core_is_address, METH_O,
     "is_address(text) -> whether text has the form of a D-Bus address (transport:key=value,...)."},
    {"parse_host", core_parse_host, METH_O,
     "parse_host(host) -> (user or None, host name or IPv6 address, port or None) of a host "
     "reached over SSH.  ValueError for a host not of the form [user@]host[:port]."},
    {"ssh_argv", core_ssh_argv, METH_O,
     "ssh_argv(host) -> ssh's command line that reaches host as Bus.remote does, up to the "
     "remote command.  ValueError as parse_host."},
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
    if (vq::core::init_state() < 0)
        return nullptr;
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
