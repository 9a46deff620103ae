// request_name() and release_name(): owning well-known names, tracked so
// that a callable calling its own service is refused at once.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/args.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/export.hpp"
#include "core/export_registry.hpp"
#include "core/marshal.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

// RequestName: do not queue for a name another connection owns.
constexpr uint32_t name_do_not_queue = 4;

}  // namespace

const char bus_request_name_doc[] =
    "request_name($self, name, *, timeout=None)\n"
    "--\n"
    "\n"
    "Makes this connection the owner of the well-known bus name `name`, so that calls\n"
    "addressed to it reach the objects this bus exports, and returns None.  Owning it\n"
    "already is fine.  The name is released with release_name() or when the bus\n"
    "closes.  `timeout` as for call().\n"
    "\n"
    "Raises ValueError for an invalid bus name (a unique name ':1.42' included);\n"
    "varquin.NameTaken (a BusError) when another connection owns it; AccessDenied\n"
    "when the bus's policy forbids owning it; otherwise what call() raises.\n"
    "\n"
    "    bus.export(\"/org/example/Greeter\", Greeter())\n"
    "    bus.request_name(\"org.example.Greeter\")";

namespace {

// RequestName or ReleaseName of the bus for request_name()/release_name():
// the name (a well-known one) and the answer, a uint32; 0 on failure with
// an exception set.  `name` receives the name's text.
uint32_t name_call(PyObject *self_, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   const char *function, const char *member, const char *&name) noexcept {
    static const char *const names[] = {"name", "timeout"};
    PyObject *slots[2] = {};
    if (!parse_arguments(function, args, nargs, kwnames, args + nargs, names, 2, 1, 1, slots))
        return 0;
    name = name_argument(slots[0], "name", bus_name_is_valid);
    if (!name)
        return 0;
    if (name[0] == ':') {
        PyErr_Format(PyExc_ValueError, "%s is a unique name: only well-known names are owned",
                     name);
        return 0;
    }
    double timeout = default_timeout;
    if (timeout_argument(slots[1], default_timeout, &timeout) < 0)
        return 0;
    const bool request = std::strcmp(member, "RequestName") == 0;
    py_ref flags(PyLong_FromUnsignedLong(name_do_not_queue));
    PyObject *values[2] = {slots[0], flags.get()};
    plan p;
    if (!flags || !p.add(request ? "su" : "s", values, request ? 2 : 1, "argument"))
        return 0;
    const call_target to{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         member};
    auto *self = reinterpret_cast<bus_object *>(self_);
    reply_ref reply = call_and_wait(self, to, p, timeout);
    if (!reply)
        return 0;
    uint32_t answer = 0;
    const int r = sd_bus_message_read_basic(reply.get(), 'u', &answer);
    if (r < 0 || answer == 0) {
        raise_errno(r < 0 ? r : -EBADMSG, "cannot read the bus's answer");
        return 0;
    }
    return answer;
}

}  // namespace

PyObject *bus_request_name(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    const char *name = nullptr;
    const uint32_t answer =
        name_call(self_, args, nargs, kwnames, "request_name", "RequestName", name);
    if (answer == 0)
        return nullptr;
    // 1: now the primary owner; 4: already it.  3: another owns it (not queued).
    if (answer != 1 && answer != 4) {
        std::string text = std::string("The name ") + name + " is owned by another connection.";
        const sd_bus_error taken = {"org.varquin.Error.NameTaken", text.c_str(), 0};
        return raise_bus_error(&taken);
    }
    auto &owned = reinterpret_cast<bus_object *>(self_)->exports->owned_names;
    if (std::find(owned.begin(), owned.end(), name) == owned.end())
        owned.emplace_back(name);
    Py_RETURN_NONE;
}

const char bus_release_name_doc[] =
    "release_name($self, name, *, timeout=None)\n"
    "--\n"
    "\n"
    "Gives up the well-known bus name `name` and returns None; a name this connection\n"
    "does not own is left as it is.  `timeout` as for call().\n"
    "\n"
    "Raises ValueError for an invalid bus name; otherwise what call() raises.\n"
    "\n"
    "    bus.release_name(\"org.example.Greeter\")";

PyObject *bus_release_name(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    const char *name = nullptr;
    if (name_call(self_, args, nargs, kwnames, "release_name", "ReleaseName", name) == 0)
        return nullptr;
    auto &owned = reinterpret_cast<bus_object *>(self_)->exports->owned_names;
    owned.erase(std::remove(owned.begin(), owned.end(), name), owned.end());
    Py_RETURN_NONE;
}

}  // namespace vq::core
