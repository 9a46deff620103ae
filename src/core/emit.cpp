// emit(): sending a signal from this connection.
#include <mutex>
#include <string_view>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "core/export.hpp"
#include "core/marshal.hpp"
#include "gil.hpp"
#include "owners.hpp"

namespace vq::core {

const char bus_emit_doc[] =
    "emit($self, path, interface, member, signature='', *args)\n"
    "--\n"
    "\n"
    "Emits the signal `member` of `interface` from the object `path` of this\n"
    "connection, with `args` sent as the complete types of `signature`, and returns\n"
    "None once the message is queued.  A signal of an exported varquin.Interface is\n"
    "usually emitted by calling its varquin.signal method instead.\n"
    "\n"
    "Raises ValueError for an invalid path, interface, member or signature (the\n"
    "interface cannot be None here), the value errors of call() (TypeError,\n"
    "OverflowError, ValueError naming the argument), ConnectionError when the\n"
    "connection is gone and ValueError when the bus is closed.\n"
    "\n"
    "    bus.emit(\"/org/example/Thing\", \"org.example.Thing\", \"Changed\", \"u\", 3)";

PyObject *bus_emit(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept {
    static const char *const names[] = {"path", "interface", "member", "signature"};
    PyObject *slots[4] = {};
    const Py_ssize_t fixed = nargs < 4 ? nargs : 4;
    if (!parse_arguments("emit", args, fixed, kwnames, args + nargs, names, 4, 4, 3, slots))
        return nullptr;
    auto *self = reinterpret_cast<bus_object *>(self_);
    const char *path = name_argument(slots[0], "path", object_path_is_valid);
    const char *iface =
        path ? name_argument(slots[1], "interface", interface_name_is_valid) : nullptr;
    const char *member = iface ? name_argument(slots[2], "member", member_name_is_valid) : nullptr;
    if (!member)
        return nullptr;
    std::string_view sig;
    if (slots[3]) {
        if (!PyUnicode_Check(slots[3]))
            return PyErr_Format(PyExc_TypeError, "signature must be a str");
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(slots[3], &size);
        if (!text)
            return nullptr;
        sig = std::string_view(text, static_cast<size_t>(size));
    }
    plan values;
    if (!values.add(sig, args + fixed, static_cast<size_t>(nargs - fixed), "argument"))
        return nullptr;
    connection *conn = open_connection(self);
    if (!conn)
        return nullptr;
    int r = 0;
    bool closed = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (conn->closed()) {
            closed = true;
        } else {
            vq::message_ptr m;
            r = sd_bus_message_new_signal(conn->bus(), vq::out(m), path, iface, member);
            if (r >= 0)
                r = values.apply(m.get());
            if (r >= 0)
                r = conn->send(m.get());
        }
    }
    if (closed)
        return raise_closed();
    if (r < 0)
        return raise_errno(r, "cannot emit the signal");
    return write_out(self) ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace vq::core
