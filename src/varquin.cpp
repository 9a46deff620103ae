#include "varquin.hpp"

#include <array>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"
#include "sdbus.hpp"
#include "systemd_methods.hpp"
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
    vq::gil_released unlocked;  // retaken when the result has been computed
    return op();
}

using vq::py_ref;

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
    if (!PyArg_ParseTuple(args, "s|sssssss", &svc_name, &path, &if_name, &method_name, &input_sig,
                          &output_sig, &first_arg, &second_arg))
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
// systemd control.  The wrappers come in three shapes, each written once
// below; a wrapper names its format, its operation and how its data is built.

// String arguments parsed with `format`, borrowed from the argument tuple;
// an optional one that is not given stays null.
template <size_t N>
using str_args = std::array<const char *, N>;

template <size_t N>
bool parse_strings(PyObject *args, const char *format, str_args<N> &out) noexcept {
    return std::apply([&](auto &...s) { return PyArg_ParseTuple(args, format, &s...) != 0; }, out);
}

// The pair (True or False, data), taking over the reference to `data`.
// Null, with the interpreter's exception set, when a part cannot be built.
PyObject *py_pair(int ok, PyObject *data) noexcept {
    py_ref owned_data(data);
    py_ref flag(py_flag(ok));
    if (!owned_data || !flag)
        return nullptr;
    return PyTuple_Pack(2, flag.get(), owned_data.get());
}

// Shape: string arguments -> True or False.  Arguments that do not parse
// raise the parser's exception and nothing is called: above all, no reboot
// or power-off is requested after a bad argument.
template <size_t N, class Op>
PyObject *flag_call(PyObject *args, const char *format, Op op) noexcept {
    str_args<N> a{};
    if (!parse_strings(args, format, a))
        return nullptr;
    return py_flag(released([&] { return std::apply(op, a); }));
}

// Shape: string arguments -> (True or False, str or None); the operation
// hands back one heap string through its last parameter.
template <size_t N, class Op>
PyObject *flag_and_text_call(PyObject *args, const char *format, Op op) noexcept {
    str_args<N> a{};
    if (!parse_strings(args, format, a))
        return nullptr;
    char *text = nullptr;
    const int ok =
        released([&] { return std::apply([&](auto... s) { return op(s..., &text); }, a); });
    vq::heap_str owned(text);
    return py_pair(ok, py_str_or_none(text));
}

// Shape: a unit name -> (True or False, data built from three result
// slots).  The slots are freed whether or not the data could be built.
template <class Op, class Build>
PyObject *flag_and_slots_call(PyObject *args, Op op, Build build) noexcept {
    const char *unit_name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &unit_name))
        return nullptr;
    char *slots[3] = {};
    const int ok = released([&] { return op(unit_name, slots); });
    PyObject *data = build(slots);
    for (char *s : slots)
        std::free(s);
    return py_pair(ok, data);
}

// A unit file change: (type, file name, link destination).
PyObject *change_tuple(char *const *s) noexcept { return Py_BuildValue("(sss)", s[0], s[1], s[2]); }

PyObject *state_dict(char *const *s) noexcept {
    return Py_BuildValue("{s:s,s:s,s:s}", "LoadState", s[0], "ActiveState", s[1], "SubState", s[2]);
}

PyObject *varquin_unit_enable(PyObject *, PyObject *args) noexcept {
    return flag_and_slots_call(args, unit_enable, change_tuple);
}

PyObject *varquin_unit_disable(PyObject *, PyObject *args) noexcept {
    return flag_and_slots_call(args, unit_disable, change_tuple);
}

PyObject *varquin_unit_mask(PyObject *, PyObject *args) noexcept {
    return flag_and_slots_call(args, unit_mask, change_tuple);
}

PyObject *varquin_unit_unmask(PyObject *, PyObject *args) noexcept {
    return flag_and_slots_call(args, unit_unmask, change_tuple);
}

PyObject *varquin_unit_status(PyObject *, PyObject *args) noexcept {
    return flag_and_slots_call(args, unit_status, state_dict);
}

PyObject *varquin_unit_control(PyObject *, PyObject *args) noexcept {
    return flag_and_text_call<2>(args, "s|s", unit_control);
}

PyObject *varquin_set_hostname(PyObject *, PyObject *args) noexcept {
    return flag_call<2>(args, "s|s", set_hostname);
}

PyObject *varquin_get_hostname(PyObject *, PyObject *args) noexcept {
    return flag_and_text_call<1>(args, "s", get_hostname);
}

PyObject *varquin_machine_reboot(PyObject *, PyObject *args) noexcept {
    return flag_call<1>(args, "s", machine_reboot);
}

PyObject *varquin_machine_poweroff(PyObject *, PyObject *args) noexcept {
    return flag_call<1>(args, "s", machine_poweroff);
}

PyObject *varquin_set_wall_message(PyObject *, PyObject *args) noexcept {
    return flag_call<1>(args, "s", set_wall_message);
}

PyObject *varquin_set_timezone(PyObject *, PyObject *args) noexcept {
    return flag_call<1>(args, "s", set_timezone);
}

PyObject *varquin_daemon_reload(PyObject *, PyObject *) noexcept {
    return py_flag(released([] { return daemon_reload(); }));
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
        return vq::register_method(path, if_name, method_name, output_sig, input_sig,
                                   callable.get(), method_index, took_callable);
    });
    if (took_callable)
        (void)callable.release();
    return py_status(ok);
}

PyObject *varquin_listen(PyObject *, PyObject *) noexcept {
    // The loop releases the interpreter lock itself around its waits and
    // processing.  It leaves an exception set when a signal handler raised.
    const int status = listen();
    if (PyErr_Occurred())
        return nullptr;
    return py_status(status);
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
    return py_flag(released([methods_amount] { return vq::init(methods_amount); }));
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
PyDoc_STRVAR(send_docstring, "send message to bus");
PyDoc_STRVAR(unit_enable_docstring, "enables unit");
PyDoc_STRVAR(unit_disable_docstring, "disables unit");
PyDoc_STRVAR(unit_mask_docstring, "masks unit");
PyDoc_STRVAR(unit_unmask_docstring, "unmasks unit");
PyDoc_STRVAR(unit_status_docstring, "returns unit status");
PyDoc_STRVAR(unit_control_docstring, "common unit control method");
PyDoc_STRVAR(set_hostname_docstring, "sets machine hostname via systemd");
PyDoc_STRVAR(get_hostname_docstring, "get machine hostnames via systemd");
PyDoc_STRVAR(machine_reboot_docstring, "reboot the machine via systemd (logind)");
PyDoc_STRVAR(machine_poweroff_docstring, "poweroff the machine via systemd (logind)");
PyDoc_STRVAR(set_wall_message_docstring, "set wall message");
PyDoc_STRVAR(set_timezone_docstring, "set timezone in system");
PyDoc_STRVAR(daemon_reload_docstring, "reload systemd daemon");

PyMethodDef module_methods[] = {
    {"get_sd_bus_fd", varquin_get_sd_bus_fd, METH_VARARGS, get_sd_bus_fd_docstring},
    {"service_register", varquin_service_register, METH_VARARGS, service_register_docstring},
    {"get_last_error", varquin_get_last_error, METH_VARARGS, get_last_error_docstring},
    {"listen", varquin_listen, METH_VARARGS, listen_docstring},
    {"deinit_client", varquin_deinit_client, METH_VARARGS, deinit_client_docstring},
    {"deinit_server", varquin_deinit_server, METH_VARARGS, deinit_server_docstring},
    {"init", varquin_init, METH_VARARGS, init_docstring},
    {"send", varquin_send, METH_VARARGS, send_docstring},
    {"unit_enable", varquin_unit_enable, METH_VARARGS, unit_enable_docstring},
    {"unit_disable", varquin_unit_disable, METH_VARARGS, unit_disable_docstring},
    {"unit_mask", varquin_unit_mask, METH_VARARGS, unit_mask_docstring},
    {"unit_unmask", varquin_unit_unmask, METH_VARARGS, unit_unmask_docstring},
    {"unit_status", varquin_unit_status, METH_VARARGS, unit_status_docstring},
    {"unit_control", varquin_unit_control, METH_VARARGS, unit_control_docstring},
    {"set_hostname", varquin_set_hostname, METH_VARARGS, set_hostname_docstring},
    {"get_hostname", varquin_get_hostname, METH_VARARGS, get_hostname_docstring},
    {"machine_reboot", varquin_machine_reboot, METH_VARARGS, machine_reboot_docstring},
    {"machine_poweroff", varquin_machine_poweroff, METH_VARARGS, machine_poweroff_docstring},
    {"set_wall_message", varquin_set_wall_message, METH_VARARGS, set_wall_message_docstring},
    {"set_timezone", varquin_set_timezone, METH_VARARGS, set_timezone_docstring},
    {"daemon_reload", varquin_daemon_reload, METH_VARARGS, daemon_reload_docstring},
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
