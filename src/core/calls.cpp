#include "core/calls.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "core/export.hpp"
#include "core/state.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";
}  // namespace

PyObject *raise_call_timeout(const char *member, double timeout) noexcept {
    py_ref seconds(PyFloat_FromDouble(timeout));
    py_ref text(seconds ? PyUnicode_FromFormat("no reply to %s within %S s", member, seconds.get())
                        : nullptr);
    py_ref exc(text ? PyObject_CallFunction(PyExc_TimeoutError, "iO", ETIMEDOUT, text.get())
                    : nullptr);
    if (exc)
        PyErr_SetObject(PyExc_TimeoutError, exc.get());
    return nullptr;
}

namespace {

// Sends the call registering `p` for its reply.  Connection lock held,
// interpreter lock not held.  0, 1 when the bus is closed, or a negative
// errno.
int send_locked(connection &conn, const call_target &to, const plan &args,
                pending_call &p) noexcept {
    if (conn.closed())
        return 1;
    if (conn.error())
        return conn.error();
    vq::message_ptr m;
    int r = sd_bus_message_new_method_call(conn.bus(), vq::out(m), to.destination, to.path,
                                           to.interface, to.member);
    if (r >= 0)
        r = args.apply(m.get());
    if (r >= 0)
        r = conn.start_call(m.get(), p);
    return r < 0 ? r : 0;
}

// Raises what send_locked() reported.  sd-bus refuses an invalid name with
// EINVAL; only then are the names checked here, to say which one it was.
bool sent(int r, const call_target &to) noexcept {
    if (r == 0)
        return true;
    if (r == 1) {
        raise_closed();
        return false;
    }
    if (r == -EINVAL) {
        const char *what = nullptr, *value = nullptr;
        if (to.destination && !bus_name_is_valid(to.destination))
            what = "destination", value = to.destination;
        else if (!object_path_is_valid(to.path))
            what = "path", value = to.path;
        else if (to.interface && !interface_name_is_valid(to.interface))
            what = "interface", value = to.interface;
        else if (!member_name_is_valid(to.member))
            what = "member", value = to.member;
        if (what) {
            PyErr_Format(PyExc_ValueError, "%s '%s' is not valid", what, value);
            return false;
        }
    }
    raise_errno(
        r, r == -EINVAL ? "cannot make the call (sd-bus refused a value)" : "cannot send the call");
    return false;
}

bool refuse_own_service(const call_target &to) noexcept {
    if (!calls_own_service(to.destination))
        return false;
    // The thread that would answer is this one, busy running the caller.
    PyErr_Format(PyExc_RuntimeError,
                 "%s is served by this thread's serve(), which is running the caller: the call "
                 "could never be answered",
                 to.destination);
    return true;
}

}  // namespace

bool send_call(bus_object *self, const call_target &to, const plan &args, double timeout,
               pending_call &p) noexcept {
    connection *conn = open_connection(self);
    if (!conn || refuse_own_service(to))
        return false;
    int r;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        p.deadline = deadline_after(timeout);
        r = send_locked(*conn, to, args, p);
    }
    return sent(r, to);
}

reply_ref call_and_wait(bus_object *self, const call_target &to, const plan &args,
                        double timeout) noexcept {
    connection *conn = open_connection(self);
    if (!conn || refuse_own_service(to))
        return {};
    py_ref keep = py_ref::borrow(reinterpret_cast<PyObject *>(self));
    waiter w;
    pending_call p;
    p.w = &w;
    const steady::time_point deadline = deadline_after(timeout);

    // Sending, waiting and taking the reply run in one release of the
    // interpreter lock; only a signal interrupting the wait takes it back
    // (to run the interpreter's handlers), then the wait goes on.
    int r = 0;
    bool sending = true;
    wait_status status = wait_status::done;
    sd_bus_message *reply = nullptr;
    int lost = 0;
    for (;;) {
        {
            gil_released unlocked;
            if (sending) {
                std::lock_guard<std::mutex> hold(conn->lock());
                r = send_locked(*conn, to, args, p);
            }
            if (r == 0) {
                status = conn->wait(w, deadline);
                if (status != wait_status::interrupted) {
                    std::lock_guard<std::mutex> hold(conn->lock());
                    if (p.completed) {
                        reply = p.reply;  // also when it came just after the deadline
                        p.reply = nullptr;
                    } else {
                        conn->cancel(p);
                        lost = conn->error();
                    }
                }
            }
        }
        if (sending && !sent(r, to))
            return {};
        sending = false;
        if (status != wait_status::interrupted)
            break;
        if (PyErr_CheckSignals() < 0) {
            // A handler raised (KeyboardInterrupt): the call is abandoned.
            gil_released unlocked;
            std::lock_guard<std::mutex> hold(conn->lock());
            conn->cancel(p);
            reply = std::exchange(p.reply, nullptr);
            break;
        }
    }
    if (PyErr_Occurred()) {  // interrupted; a reply that is in is dropped
        conn->release(reply);
        return {};
    }
    if (!reply) {
        switch (status) {
        case wait_status::closed:
            raise_errno(-ECONNABORTED, "the bus was closed while the call waited for its reply");
            return {};
        case wait_status::lost:
            raise_errno(lost ? lost : -ENOTCONN, "the connection was lost");
            return {};
        default:
            raise_call_timeout(to.member, timeout);
            return {};
        }
    }
    return checked_reply(self, reply);
}

reply_ref checked_reply(bus_object *self, sd_bus_message *reply) noexcept {
    reply_ref owned(self->conn, reply);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        raise_bus_error(sd_bus_message_get_error(reply));
        return {};
    }
    return owned;
}

PyObject *reply_values(reply_ref reply) noexcept { return read_body(reply.get()); }

// --- Bus.call ---------------------------------------------------------------------------

const char bus_call_doc[] =
    "call($self, destination, path, interface, member, signature='', *args, timeout=None)\n"
    "--\n"
    "\n"
    "Calls `member` of `interface` on the object `path` of the service `destination`,\n"
    "with `args` sent as the complete types of `signature`, and returns the reply's\n"
    "values as a tuple (() when the reply has none).  `destination` may be None on a\n"
    "peer-to-peer connection (no bus daemon to route the call); `interface` may be\n"
    "None, and the message then names no interface.  `timeout` is in seconds: None is\n"
    "the library's default (25 s), math.inf waits for ever.\n"
    "\n"
    "Raises, before anything is sent, OverflowError, TypeError, ValueError or\n"
    "UnicodeEncodeError naming the argument and the type `signature` expects, and\n"
    "ValueError for an invalid signature or name.  An error reply raises\n"
    "varquin.BusError, or its subclass for the error's name (ServiceUnknown,\n"
    "UnknownMethod, AccessDenied, ...); no reply in time raises TimeoutError; a\n"
    "connection that is gone raises ConnectionError; a closed bus raises ValueError;\n"
    "calling a service that this thread's own serve() answers raises RuntimeError.\n"
    "The wait releases the interpreter lock, so other threads' calls on the same bus\n"
    "are in flight at the same time.\n"
    "\n"
    "    (names,) = bus.call(\"org.freedesktop.DBus\", \"/org/freedesktop/DBus\",\n"
    "                        \"org.freedesktop.DBus\", \"ListNames\")\n"
    "    bus.call(\"org.freedesktop.systemd1\", \"/org/freedesktop/systemd1\",\n"
    "             \"org.freedesktop.systemd1.Manager\", \"StartUnit\", \"ss\",\n"
    "             \"foo.service\", \"replace\", timeout=10)";

bool parse_call(const char *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                call_target &to, plan &values, double &timeout) noexcept {
    static const char *const names[] = {"destination", "path",      "interface",
                                        "member",      "signature", "timeout"};
    PyObject *slots[6] = {};
    // The first five may come by position; positional values after the
    // signature are the call's arguments.
    const Py_ssize_t fixed = nargs < 5 ? nargs : 5;
    if (!parse_arguments(function, args, fixed, kwnames, args + nargs, names, 6, 5, 4, slots))
        return false;
    // Texts without NUL here; sd-bus checks the names as it builds the
    // message, and a refusal is explained then (see sent()).
    if (!(to.destination = name_argument(slots[0], "destination", nullptr, true)) &&
        PyErr_Occurred())
        return false;
    if (!(to.path = name_argument(slots[1], "path", nullptr)))
        return false;
    if (!(to.interface = name_argument(slots[2], "interface", nullptr, true)) && PyErr_Occurred())
        return false;
    if (!(to.member = name_argument(slots[3], "member", nullptr)))
        return false;
    to.member_name = slots[3];
    std::string_view sig;
    if (slots[4]) {
        if (!PyUnicode_Check(slots[4])) {
            PyErr_Format(PyExc_TypeError, "signature must be a str, not %.200s",
                         Py_TYPE(slots[4])->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(slots[4], &size);
        if (!text)
            return false;
        sig = std::string_view(text, static_cast<size_t>(size));
    }
    timeout = default_timeout;
    if (timeout_argument(slots[5], default_timeout, &timeout) < 0)
        return false;
    return values.add(sig, args + fixed, static_cast<size_t>(nargs - fixed), "argument");
}

PyObject *bus_call(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept {
    call_target to{};
    plan values;
    double timeout;
    if (!parse_call("call", args, nargs, kwnames, to, values, timeout))
        return nullptr;
    auto *self = reinterpret_cast<bus_object *>(self_);
    reply_ref reply = call_and_wait(self, to, values, timeout);
    return reply ? reply_values(std::move(reply)) : nullptr;
}

// --- Properties ---------------------------------------------------------------------------

namespace {

// The destination, path and interface that the property methods share,
// checked; `interface` is the one whose property is meant.
bool property_target(PyObject *const *slots, call_target &to) noexcept {
    if (!(to.destination = name_argument(slots[0], "destination", bus_name_is_valid, true)) &&
        PyErr_Occurred())
        return false;
    if (!(to.path = name_argument(slots[1], "path", object_path_is_valid)))
        return false;
    if (!name_argument(slots[2], "interface", interface_name_is_valid))
        return false;
    to.interface = properties_interface;
    return true;
}

}  // namespace

const char bus_get_property_doc[] =
    "get_property($self, destination, path, interface, name, *, timeout=None)\n"
    "--\n"
    "\n"
    "Returns the value of the property `name` of `interface` on the object `path` of\n"
    "`destination` (org.freedesktop.DBus.Properties.Get), converted as its signature\n"
    "says: the variant is unwrapped.  `destination` may be None on a peer-to-peer\n"
    "connection; `timeout` as for call().\n"
    "\n"
    "Raises varquin.UnknownProperty or UnknownInterface when the object has no such\n"
    "property, ValueError for an invalid name and when the reply is not one value,\n"
    "and otherwise what call() raises.\n"
    "\n"
    "    version = bus.get_property(\"org.freedesktop.systemd1\", \"/org/freedesktop/systemd1\",\n"
    "                               \"org.freedesktop.systemd1.Manager\", \"Version\")";

PyObject *bus_get_property(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    static const char *const names[] = {"destination", "path", "interface", "name", "timeout"};
    PyObject *slots[5] = {};
    if (!parse_arguments("get_property", args, nargs, kwnames, args + nargs, names, 5, 4, 4, slots))
        return nullptr;
    call_target to{};
    if (!property_target(slots, to) || !name_argument(slots[3], "name", member_name_is_valid))
        return nullptr;
    to.member = "Get";
    double timeout = default_timeout;
    if (timeout_argument(slots[4], default_timeout, &timeout) < 0)
        return nullptr;
    plan values;
    if (!values.add("ss", slots + 2, 2, "argument"))
        return nullptr;
    auto *self = reinterpret_cast<bus_object *>(self_);
    reply_ref reply = call_and_wait(self, to, values, timeout);
    if (!reply)
        return nullptr;
    py_ref tuple(reply_values(std::move(reply)));
    if (!tuple)
        return nullptr;
    if (PyTuple_GET_SIZE(tuple.get()) != 1)
        return PyErr_Format(PyExc_ValueError, "the reply to Get has %zd values, not one",
                            PyTuple_GET_SIZE(tuple.get()));
    return py_ref::borrow(PyTuple_GET_ITEM(tuple.get(), 0)).release();
}

const char bus_get_all_doc[] =
    "get_all($self, destination, path, interface, *, timeout=None)\n"
    "--\n"
    "\n"
    "Returns every property of `interface` on the object `path` of `destination` as a\n"
    "dict from name to value (org.freedesktop.DBus.Properties.GetAll), each value\n"
    "converted as its signature says.  `destination` may be None on a peer-to-peer\n"
    "connection; `timeout` as for call().\n"
    "\n"
    "Raises ValueError for an invalid name and when the reply is not of signature\n"
    "a{sv}, and otherwise what call() raises (UnknownInterface, UnknownObject, ...).\n"
    "\n"
    "    props = bus.get_all(\"org.freedesktop.hostname1\", \"/org/freedesktop/hostname1\",\n"
    "                        \"org.freedesktop.hostname1\")\n"
    "    props[\"Hostname\"]";

PyObject *bus_get_all(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept {
    static const char *const names[] = {"destination", "path", "interface", "timeout"};
    PyObject *slots[4] = {};
    if (!parse_arguments("get_all", args, nargs, kwnames, args + nargs, names, 4, 3, 3, slots))
        return nullptr;
    call_target to{};
    if (!property_target(slots, to))
        return nullptr;
    to.member = "GetAll";
    double timeout = default_timeout;
    if (timeout_argument(slots[3], default_timeout, &timeout) < 0)
        return nullptr;
    plan values;
    if (!values.add("s", slots + 2, 1, "argument"))
        return nullptr;
    auto *self = reinterpret_cast<bus_object *>(self_);
    reply_ref reply = call_and_wait(self, to, values, timeout);
    if (!reply)
        return nullptr;
    const int r = sd_bus_message_has_signature(reply.get(), "a{sv}");
    if (r <= 0) {
        return PyErr_Format(PyExc_ValueError, "the reply to GetAll is not of signature a{sv}");
    }
    py_ref tuple(reply_values(std::move(reply)));
    if (!tuple)
        return nullptr;
    return py_ref::borrow(PyTuple_GET_ITEM(tuple.get(), 0)).release();
}

const char bus_set_property_doc[] =
    "set_property($self, destination, path, interface, name, signature, value, *, timeout=None)\n"
    "--\n"
    "\n"
    "Sets the property `name` of `interface` on the object `path` of `destination` to\n"
    "`value`, sent as `signature` (one complete type) in a variant\n"
    "(org.freedesktop.DBus.Properties.Set), and returns None.  `destination` may be\n"
    "None on a peer-to-peer connection; `timeout` as for call().\n"
    "\n"
    "Raises what call() raises for the value and the call: TypeError, ValueError or\n"
    "OverflowError when `value` does not fit `signature` or `signature` is not one\n"
    "complete type, and the error reply's BusError (PropertyReadOnly, AccessDenied,\n"
    "InvalidArgs, ...).\n"
    "\n"
    "    bus.set_property(\"org.example.Thing\", \"/org/example/Thing\", \"org.example.Thing\",\n"
    "                     \"Level\", \"u\", 3)";

PyObject *bus_set_property(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    static const char *const names[] = {"destination", "path",  "interface", "name",
                                        "signature",   "value", "timeout"};
    PyObject *slots[7] = {};
    if (!parse_arguments("set_property", args, nargs, kwnames, args + nargs, names, 7, 6, 6, slots))
        return nullptr;
    call_target to{};
    if (!property_target(slots, to) || !name_argument(slots[3], "name", member_name_is_valid))
        return nullptr;
    to.member = "Set";
    double timeout = default_timeout;
    if (timeout_argument(slots[6], default_timeout, &timeout) < 0)
        return nullptr;
    PyObject *vtype = state().variant_type;
    if (!vtype)
        return PyErr_Format(PyExc_RuntimeError, "varquin.Variant is not registered");
    py_ref variant(PyObject_CallFunctionObjArgs(vtype, slots[4], slots[5], nullptr));
    if (!variant)
        return nullptr;
    PyObject *value = variant.get();
    plan values;
    if (!values.add("ss", slots + 2, 2, "argument") || !values.add("v", &value, 1, "value"))
        return nullptr;
    auto *self = reinterpret_cast<bus_object *>(self_);
    reply_ref reply = call_and_wait(self, to, values, timeout);
    if (!reply)
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace vq::core
