#include "core/bus.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "core/args.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/events.hpp"
#include "core/export.hpp"
#include "core/matches.hpp"
#include "core/remote.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

// Every message that no reply callback took passes here, under the
// connection lock: the daemon's word on the names this connection owns is
// noted, signals go to the subscriptions, calls of the properties interface
// of exported objects to their queue.
int bus_filter(connection &conn, sd_bus_message *m) noexcept {
    auto *self = static_cast<bus_object *>(conn.filter_data());
    if (self->exports)
        note_name_change(*self->exports, m);
    if (self->matches)
        dispatch_signal(*self->matches, conn, m);
    if (self->exports)
        return take_properties_call(*self->exports, m);
    return 0;
}

// Raises the error of a failed open: ConnectionRefusedError, PermissionError
// or TimeoutError where the number says so, else ConnectionError.
PyObject *raise_open_error(int r, PyObject *address) noexcept {
    const int err = -r;
    PyObject *cls = err == ECONNREFUSED               ? PyExc_ConnectionRefusedError
                    : (err == EACCES || err == EPERM) ? PyExc_PermissionError
                    : err == ETIMEDOUT                ? PyExc_TimeoutError
                                                      : PyExc_ConnectionError;
    py_ref text(PyUnicode_FromFormat("cannot connect to %S: %s", address, std::strerror(err)));
    py_ref exc(text ? PyObject_CallFunction(cls, "iO", err, text.get()) : nullptr);
    if (exc)
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

// How a Bus is reached.  `manager` is the user manager's own socket in
// $XDG_RUNTIME_DIR/systemd/private: a connection to that one peer, with no
// bus daemon between (no Hello, no match rules, no senders).
enum class transport { address, system, session, remote, manager };

// The address sd-bus opens for the system or the session bus, picked as it
// picks it, for the messages of a failure, and that of the user manager's
// socket; empty when the session bus (or the manager's socket) has none
// (neither variable set).
std::string bus_address_of(transport how) {
    if (how == transport::system) {
        const char *given = secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
        return given ? given : "unix:path=/run/dbus/system_bus_socket";
    }
    if (how == transport::manager) {
        const char *dir = secure_getenv("XDG_RUNTIME_DIR");
        return dir && *dir ? "unix:path=" + address_escape(dir) + "/systemd/private"
                           : std::string();
    }
    if (const char *given = secure_getenv("DBUS_SESSION_BUS_ADDRESS"))
        return given;
    const char *dir = secure_getenv("XDG_RUNTIME_DIR");
    return dir ? "unix:path=" + address_escape(dir) + "/bus" : std::string();
}

// A connection over SSH that failed: the error says what ssh said last
// (ssh: Could not resolve hostname ...), not merely that the connection
// ended.  Leaves any other error as it is.
void explain_ssh_failure(const ssh_log &log, PyObject *host) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ConnectionError))
        return;
    const std::string line = log.last_line();
    if (line.empty())
        return;
    fetched_exception old = fetched_exception::take();
    old.normalize();
    int err = ECONNRESET;
    if (py_ref number{old.value() ? PyObject_GetAttrString(old.value(), "errno") : nullptr};
        number && PyLong_Check(number.get()))
        err = static_cast<int>(PyLong_AsLong(number.get()));
    PyErr_Clear();
    py_ref said(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
    py_ref text(
        said ? PyUnicode_FromFormat("cannot reach the bus of %S over SSH: %S", host, said.get())
             : nullptr);
    py_ref exc(text ? PyObject_CallFunction(PyExc_ConnectionError, "iO", err, text.get())
                    : nullptr);
    if (exc)
        PyErr_SetObject(PyExc_ConnectionError, exc.get());
    else if (!PyErr_Occurred())
        old.restore();  // the original error rather than none
}

// Opens a connection of the given kind and waits until the bus has
// answered (its Hello and a Ping), so that a Bus is usable, and its unique
// name known, as soon as it exists.
PyObject *open_bus(PyTypeObject *cls, transport how, PyObject *where, PyObject *timeout_obj,
                   bool user = false) noexcept {
    double timeout = default_timeout;
    if (timeout_argument(timeout_obj, default_timeout, &timeout) < 0)
        return nullptr;
    const char *text = nullptr;
    if (where) {
        if (!PyUnicode_Check(where))
            return PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s",
                                how == transport::remote ? "host" : "address",
                                Py_TYPE(where)->tp_name);
        Py_ssize_t size = 0;
        text = PyUnicode_AsUTF8AndSize(where, &size);
        if (!text)
            return nullptr;
        if (size == 0 || std::strlen(text) != static_cast<size_t>(size))
            return PyErr_Format(PyExc_ValueError, "%s %R is not valid",
                                how == transport::remote ? "host" : "address", where);
        if (how == transport::address && !is_address(text))
            return PyErr_Format(PyExc_ValueError,
                                "%R is not a D-Bus address: expected transport:key=value,... "
                                "such as 'unix:path=/run/dbus/system_bus_socket' (entries "
                                "separated by ';')",
                                where);
    }
    const bool peer = how == transport::manager;
    py_ref address;
    if (how == transport::system || how == transport::session || peer) {
        const std::string tried = bus_address_of(how);
        if (tried.empty()) {
            py_ref exc(PyObject_CallFunction(
                PyExc_ConnectionError, "is", ENOENT,
                "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set"));
            if (exc)
                PyErr_SetObject(PyExc_ConnectionError, exc.get());
            return nullptr;
        }
        address.reset(PyUnicode_FromStringAndSize(tried.data(), tried.size()));
    } else {
        address = py_ref::borrow(where);
    }
    if (!address)
        return nullptr;
    // Over SSH: ssh's messages go to a private file, read if it fails.
    std::unique_ptr<ssh_log> log;
    std::string ssh;
    if (how == transport::remote) {
        log.reset(new (std::nothrow) ssh_log);
        if (!log)
            return PyErr_NoMemory();
        if (log->path().empty())
            return raise_errno(-errno, "cannot make a file for ssh's messages");
        ssh_host host;
        if (!parse_host(text, host))
            return PyErr_Format(PyExc_ValueError,
                                "host %R is not valid: expected [user@]host[:port]", where);
        ssh = ssh_address(host, log->path(), user);
        text = ssh.c_str();
    }

    sd_bus *bus = nullptr;
    int r;
    {
        gil_released unlocked;
        switch (how) {
        case transport::system:
            r = sd_bus_open_system(&bus);
            break;
        case transport::session:
            r = sd_bus_open_user(&bus);
            break;
        default:  // an address, ssh's (see remote.hpp), or the manager's socket
            r = sd_bus_new(&bus);
            if (r >= 0)
                r = sd_bus_set_address(bus, peer ? bus_address_of(how).c_str() : text);
            if (r >= 0)
                r = sd_bus_set_bus_client(bus, peer ? 0 : 1);
            if (r >= 0)
                r = sd_bus_start(bus);
            break;
        }
        if (r < 0)
            bus = sd_bus_unref(bus);
    }
    if (r < 0) {
        raise_open_error(r, address.get());
        if (log)
            explain_ssh_failure(*log, address.get());
        return nullptr;
    }
    const char *opened = nullptr;
    if ((how == transport::system || how == transport::session || peer) &&
        sd_bus_get_address(bus, &opened) >= 0 && opened) {
        address.reset(PyUnicode_FromString(opened));
        if (!address) {
            sd_bus_close(bus);
            sd_bus_unref(bus);
            return nullptr;
        }
    }

    connection *conn = connection::adopt(bus);
    if (!conn) {
        const int err = errno;
        // Closed without flushing: flushing could wait on the socket, and
        // the interpreter lock is held here.
        sd_bus_close(bus);
        sd_bus_unref(bus);
        return raise_errno(-err, "cannot set up the connection");
    }
    py_ref obj(cls->tp_alloc(cls, 0));
    if (!obj) {
        delete conn;
        return nullptr;
    }
    auto *self = reinterpret_cast<bus_object *>(obj.get());
    self->conn = conn;
    self->address = address.release();
    self->matches = new_match_registry();
    self->exports = new_export_registry(*conn);
    if (!self->matches || !self->exports)
        return PyErr_NoMemory();
    if (peer)
        set_peer_registry(*self->matches);
    conn->set_filter(bus_filter, self);

    // The first reply comes after the bus's answer to Hello: then the
    // connection is up and its unique name is known.  GetId is a member
    // every bus policy lets anyone call (the system bus's refuses Peer.Ping
    // to the bus itself).  A peer has no bus to ask: its own Peer.Ping
    // answer says the connection is up (it has no unique name).
    plan none;
    const call_target first = peer ? call_target{nullptr, "/", "org.freedesktop.DBus.Peer", "Ping"}
                                   : call_target{"org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", "GetId"};
    reply_ref reply = call_and_wait(self, first, none, timeout);
    if (!reply) {
        if (log)
            explain_ssh_failure(*log, self->address);
        return nullptr;  // the object closes the connection as it goes
    }
    const char *unique = nullptr;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (sd_bus_get_unique_name(conn->bus(), &unique) < 0)
            unique = nullptr;
    }
    self->unique_name = PyUnicode_FromString(unique ? unique : "");
    if (!self->unique_name)
        return nullptr;
    return obj.release();
}

// --- The type ---------------------------------------------------------------------------

PyObject *bus_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) noexcept {
    static const char *keywords[] = {"address", "timeout", nullptr};
    PyObject *address = nullptr, *timeout = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Bus", const_cast<char **>(keywords),
                                     &address, &timeout))
        return nullptr;
    return open_bus(cls, transport::address, address, timeout);
}

PyObject *bus_system(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
    static const char *const names[] = {"timeout"};
    PyObject *slots[1] = {};
    if (!parse_arguments("system", args, nargs, kwnames, args + nargs, names, 1, 0, 0, slots))
        return nullptr;
    return open_bus(reinterpret_cast<PyTypeObject *>(cls), transport::system, nullptr, slots[0]);
}

PyObject *bus_session(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept {
    static const char *const names[] = {"timeout"};
    PyObject *slots[1] = {};
    if (!parse_arguments("session", args, nargs, kwnames, args + nargs, names, 1, 0, 0, slots))
        return nullptr;
    return open_bus(reinterpret_cast<PyTypeObject *>(cls), transport::session, nullptr, slots[0]);
}

// The calling user's bus, as session() finds it; when that cannot be
// reached (no user bus runs, or it refuses this caller), the user manager's
// own socket in $XDG_RUNTIME_DIR, as systemctl --user reaches the manager
// without a bus.  With manager=True the manager's socket is tried first,
// as systemctl --user does: there the manager asks no authorization of its
// own user for what changes units, which it does through the bus.  When
// both fail, the first one's error is raised.
PyObject *bus_user(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept {
    static const char *const names[] = {"timeout", "manager"};
    PyObject *slots[2] = {};
    if (!parse_arguments("user", args, nargs, kwnames, args + nargs, names, 2, 0, 0, slots))
        return nullptr;
    int manager = 0;
    if (slots[1] && (manager = PyObject_IsTrue(slots[1])) < 0)
        return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    const bool has_manager = !bus_address_of(transport::manager).empty();
    const transport first_way = manager && has_manager ? transport::manager : transport::session;
    PyObject *bus = open_bus(type, first_way, nullptr, slots[0]);
    if (bus || !PyErr_ExceptionMatches(PyExc_ConnectionError) || !has_manager)
        return bus;
    fetched_exception first = fetched_exception::take();
    const transport other =
        first_way == transport::manager ? transport::session : transport::manager;
    bus = open_bus(type, other, nullptr, slots[0]);
    if (!bus && PyErr_ExceptionMatches(PyExc_ConnectionError)) {
        PyErr_Clear();
        first.restore();
    }
    return bus;
}

PyObject *bus_remote(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
    static const char *const names[] = {"host", "user", "timeout"};
    PyObject *slots[3] = {};
    if (!parse_arguments("remote", args, nargs, kwnames, args + nargs, names, 3, 1, 1, slots))
        return nullptr;
    int user = 0;
    if (slots[1] && (user = PyObject_IsTrue(slots[1])) < 0)
        return nullptr;
    return open_bus(reinterpret_cast<PyTypeObject *>(cls), transport::remote, slots[0], slots[2],
                    user != 0);
}

void close_connection(bus_object *self) noexcept {
    connection *conn = self->conn;
    if (!conn)
        return;
    if (conn->inherited()) {
        // The parent's connection: its lock, reader and waiters may belong
        // to threads that do not exist in this process.  It is forgotten,
        // not closed (the parent still uses it), and its memory is left,
        // exported objects' records included (unexporting takes that lock).
        self->conn = nullptr;
        self->matches = nullptr;
        return;
    }
    // The exported objects leave with the connection: their handles report
    // closed and the bus no longer keeps them alive.
    clear_export_references(self->exports);
    gil_released unlocked;
    conn->close();
}

PyObject *bus_close(PyObject *self, PyObject *) noexcept {
    close_connection(reinterpret_cast<bus_object *>(self));
    Py_RETURN_NONE;
}

PyObject *bus_enter(PyObject *self, PyObject *) noexcept { return py_ref::borrow(self).release(); }

PyObject *bus_exit(PyObject *self, PyObject *const *, Py_ssize_t) noexcept {
    close_connection(reinterpret_cast<bus_object *>(self));
    Py_RETURN_FALSE;
}

void bus_dealloc(PyObject *obj) noexcept {
    auto *self = reinterpret_cast<bus_object *>(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs)
        PyObject_ClearWeakRefs(obj);
    if (self->conn && self->conn->inherited())
        close_connection(self);
    clear_export_references(self->exports);
    if (connection *conn = self->conn) {
        {
            gil_released unlocked;
            conn->close();
            std::lock_guard<std::mutex> hold(conn->lock());
            free_match_registry(self->matches, *conn);
            free_export_registry(self->exports);
            self->matches = nullptr;
            self->exports = nullptr;
        }
        self->conn = nullptr;
        gil_released unlocked;
        delete conn;
    }
    Py_XDECREF(self->address);
    Py_XDECREF(self->unique_name);
    Py_TYPE(obj)->tp_free(obj);
}

// Exported objects often hold their bus: the collector sees those cycles.
int bus_traverse(PyObject *obj, visitproc visit, void *arg) noexcept {
    return visit_exports(reinterpret_cast<bus_object *>(obj)->exports, visit, arg);
}

int bus_clear(PyObject *obj) noexcept {
    clear_export_references(reinterpret_cast<bus_object *>(obj)->exports);
    return 0;
}

PyObject *bus_get_unique_name(PyObject *self, void *) noexcept {
    PyObject *name = reinterpret_cast<bus_object *>(self)->unique_name;
    return py_ref::borrow(name ? name : Py_None).release();
}

PyObject *bus_get_address(PyObject *self, void *) noexcept {
    PyObject *address = reinterpret_cast<bus_object *>(self)->address;
    return py_ref::borrow(address ? address : Py_None).release();
}

// The bound on the calls in flight (see connection::max_in_flight()).
PyObject *bus_get_max_in_flight(PyObject *self, void *) noexcept {
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self));
    if (!conn)
        return nullptr;
    size_t n;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        n = conn->max_in_flight();
    }
    return PyLong_FromSize_t(n);
}

int bus_set_max_in_flight(PyObject *self, PyObject *value, void *) noexcept {
    if (!value || !PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "max_in_flight must be an int");
        return -1;
    }
    const long long n = PyLong_AsLongLong(value);
    if (n == -1 && PyErr_Occurred())
        return -1;
    if (n < 1) {
        PyErr_Format(PyExc_ValueError, "max_in_flight must be at least 1, not %lld", n);
        return -1;
    }
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self));
    if (!conn)
        return -1;
    gil_released unlocked;
    std::lock_guard<std::mutex> hold(conn->lock());
    conn->set_max_in_flight(static_cast<size_t>(n));
    return 0;
}

PyObject *bus_get_closed(PyObject *self, void *) noexcept {
    connection *conn = reinterpret_cast<bus_object *>(self)->conn;
    if (!conn)
        Py_RETURN_TRUE;
    if (conn->inherited())  // no thread of this process can change it
        return PyBool_FromLong(conn->closed());
    bool closed;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        closed = conn->closed();
    }
    return PyBool_FromLong(closed);
}

PyObject *bus_repr(PyObject *self) noexcept {
    auto *b = reinterpret_cast<bus_object *>(self);
    return PyUnicode_FromFormat("<%s %R %R>", Py_TYPE(self)->tp_name,
                                b->address ? b->address : Py_None,
                                b->unique_name ? b->unique_name : Py_None);
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef bus_methods[] = {
    {"system", FASTCALL_KW(bus_system), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "system($type, *, timeout=None)\n--\n\n"
     "Returns a new connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set),\n"
     "waiting up to `timeout` seconds (None: 25 s) for the bus to answer.  Raises\n"
     "ConnectionError (or a subclass) when it cannot be reached, TimeoutError when it\n"
     "does not answer.\n\n"
     "    with varquin.Bus.system() as bus:\n"
     "        print(bus.unique_name)"},
    {"session", FASTCALL_KW(bus_session), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "session($type, *, timeout=None)\n--\n\n"
     "Returns a new connection to the session bus: DBUS_SESSION_BUS_ADDRESS when set\n"
     "(and only it), else $XDG_RUNTIME_DIR/bus, the user's bus that systemd's user\n"
     "manager is on.  Raises as system() does, and ConnectionError when neither\n"
     "variable is set.\n\n"
     "    with varquin.Bus.session() as bus:\n"
     "        bus.request_name(\"org.example.Greeter\")"},
    {"user", FASTCALL_KW(bus_user), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "user($type, *, timeout=None, manager=False)\n--\n\n"
     "Returns a new connection to the calling user's bus, where the user's own\n"
     "systemd manager is: the session bus as session() finds it; when that cannot be\n"
     "reached, the manager's own socket $XDG_RUNTIME_DIR/systemd/private, a connection\n"
     "to the manager alone (no bus: no names, no unique name, signals of the manager\n"
     "only), as systemctl --user reaches it.  With manager=True the manager's socket\n"
     "is tried first, as systemctl --user does: through the bus the manager asks\n"
     "polkit before it starts, stops or runs anything, and without a polkit rule for\n"
     "the user refuses (InteractiveAuthorizationRequired).  Raises the first way's\n"
     "ConnectionError when neither can be reached, TimeoutError as system() does.\n\n"
     "    with varquin.Bus.user() as bus:\n"
     "        systemd.Manager(bus, user=True).start(\"backup.service\")"},
    {"remote", FASTCALL_KW(bus_remote), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "remote($type, host, *, user=False, timeout=None)\n--\n\n"
     "Returns a connection to the system bus of another host over SSH\n"
     "('[user@]host[:port]'; an IPv6 address as '[::1]:2222', or bare without a port):\n"
     "`ssh -xT [-p PORT] -- [USER@]HOST systemd-stdio-bridge`, ssh found on PATH, as\n"
     "sd-bus's remote transport runs it; with user=True the bus of the user ssh logs in\n"
     "as, where that user's own manager is (`systemd-stdio-bridge` on the bus in\n"
     "$XDG_RUNTIME_DIR of the login).\n"
     "Authentication is ssh's own (keys, agent,\n"
     "~/.ssh/config).  ssh's messages stay off the terminal; when the connection fails,\n"
     "the ConnectionError carries the last of them ('ssh: Could not resolve hostname\n"
     "...').  Raises ValueError for a host not of that form, and otherwise as\n"
     "system() does.\n\n"
     "    with varquin.Bus.remote(\"admin@web1\") as bus:\n"
     "        bus.get_property(\"org.freedesktop.hostname1\", \"/org/freedesktop/hostname1\",\n"
     "                         \"org.freedesktop.hostname1\", \"Hostname\")"},
    {"call", FASTCALL_KW(bus_call), METH_FASTCALL | METH_KEYWORDS, bus_call_doc},
    {"get_property", FASTCALL_KW(bus_get_property), METH_FASTCALL | METH_KEYWORDS,
     bus_get_property_doc},
    {"get_all", FASTCALL_KW(bus_get_all), METH_FASTCALL | METH_KEYWORDS, bus_get_all_doc},
    {"set_property", FASTCALL_KW(bus_set_property), METH_FASTCALL | METH_KEYWORDS,
     bus_set_property_doc},
    {"subscribe", FASTCALL_KW(bus_subscribe), METH_FASTCALL | METH_KEYWORDS, bus_subscribe_doc},
    {"_export", FASTCALL_KW(bus_export), METH_FASTCALL | METH_KEYWORDS, bus_export_doc},
    {"serve", bus_serve, METH_NOARGS, bus_serve_doc},
    {"stop", bus_stop, METH_NOARGS, bus_stop_doc},
    {"request_name", FASTCALL_KW(bus_request_name), METH_FASTCALL | METH_KEYWORDS,
     bus_request_name_doc},
    {"release_name", FASTCALL_KW(bus_release_name), METH_FASTCALL | METH_KEYWORDS,
     bus_release_name_doc},
    {"emit", FASTCALL_KW(bus_emit), METH_FASTCALL | METH_KEYWORDS, bus_emit_doc},
    // For an event loop driving the bus (varquin.aio).
    {"_loop_fd", bus_loop_fd, METH_NOARGS, "The connection's descriptor."},
    {"_loop_wake_fd", bus_loop_wake_fd, METH_NOARGS,
     "A descriptor made readable when output waits or the connection fails: read it empty."},
    {"_loop_timer_fd", bus_loop_timer_fd, METH_NOARGS,
     "A timerfd set to the earliest deadline of the calls: read it empty."},
    {"_set_loop_driven", bus_set_loop_driven, METH_O,
     "Whether an event loop reads the connection."},
    {"_loop_wants", bus_loop_wants, METH_NOARGS, "(wants_output, deadline or None, error)."},
    {"_loop_process", bus_loop_process, METH_NOARGS,
     "One processing step, replies given to their futures: (wants_output, deadline or None,\n"
     "error, incoming calls waiting)."},
    {"_loop_abandon", bus_loop_abandon, METH_NOARGS,
     "Cancels the calls the loop waits for: the futures awaiting them."},
    {"_loop_run_incoming", bus_loop_run_incoming, METH_NOARGS, "Runs the queued incoming calls."},
    {"_start_call", FASTCALL_KW(bus_start_call), METH_FASTCALL | METH_KEYWORDS,
     "call() without waiting: a PendingCall."},
    {"_subscribe_start", FASTCALL_KW(bus_subscribe_start), METH_FASTCALL | METH_KEYWORDS,
     "subscribe() without waiting: (Subscription, PendingCall of AddMatch)."},
    {"close", bus_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Closes the connection and returns None.  Calls waiting on other threads end with\n"
     "ConnectionAbortedError; later calls raise ValueError.  Closing twice is fine."},
    {"__enter__", bus_enter, METH_NOARGS, "Returns the bus."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bus_exit)),
     METH_FASTCALL, "Closes the bus."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef bus_getset[] = {
    {"unique_name", bus_get_unique_name, nullptr,
     "The connection's unique name on the bus (':1.42').", nullptr},
    {"address", bus_get_address, nullptr,
     "What the bus was opened with: the address, or the host of a remote bus.", nullptr},
    {"closed", bus_get_closed, nullptr, "Whether close() was called.", nullptr},
    {"max_in_flight", bus_get_max_in_flight, bus_set_max_in_flight,
     "How many calls wait for their replies at most (120 unless set): later calls are\n"
     "queued in order and sent as replies come, each call's timeout counting from when\n"
     "it was made.  The bus daemon refuses calls beyond its own limit (128 per\n"
     "connection on a stock system bus) with LimitsExceeded.  At least 1.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject bus_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

int bus_type_ready(PyObject *module) noexcept {
    bus_type.tp_name = "varquin.Bus";
    bus_type.tp_basicsize = sizeof(bus_object);
    bus_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    bus_type.tp_traverse = bus_traverse;
    bus_type.tp_clear = bus_clear;
    bus_type.tp_doc =
        "Bus(address, *, timeout=None)\n--\n\n"
        "A connection to a D-Bus bus: Bus(address) for any D-Bus address (unix:path=...,\n"
        "unixexec:...), Bus.system() for the system bus, Bus.session() for the session bus,\n"
        "Bus.remote(host) for another host's system bus over SSH.  Any number of threads may\n"
        "share one Bus: every wait releases the interpreter lock, and their calls are in\n"
        "flight together.  Use it as a context manager, or call close().  Raises\n"
        "ConnectionError (or a subclass) when the bus cannot be reached, TimeoutError\n"
        "when it does not answer in `timeout` seconds, ValueError for an invalid address.\n\n"
        "    with varquin.Bus(\"unix:path=/run/dbus/system_bus_socket\") as bus:\n"
        "        (names,) = bus.call(\"org.freedesktop.DBus\", \"/org/freedesktop/DBus\",\n"
        "                            \"org.freedesktop.DBus\", \"ListNames\")";
    bus_type.tp_new = bus_new;
    bus_type.tp_dealloc = bus_dealloc;
    bus_type.tp_repr = bus_repr;
    bus_type.tp_methods = bus_methods;
    bus_type.tp_getset = bus_getset;
    bus_type.tp_weaklistoffset = offsetof(bus_object, weakrefs);
    return add_type(module, &bus_type, "Bus");
}

connection *open_connection(bus_object *self) noexcept {
    connection *conn = self->conn;
    if (!conn) {
        raise_closed();
        return nullptr;
    }
    if (conn->inherited()) {
        raise_inherited();
        return nullptr;
    }
    return conn;
}

PyObject *raise_inherited() noexcept {
    py_ref exc(PyObject_CallFunction(
        PyExc_ChildProcessError, "is", ECHILD,
        "the bus was opened by the parent process: a connection cannot be used after fork(); "
        "open a new Bus in this process"));
    if (exc)
        PyErr_SetObject(PyExc_ChildProcessError, exc.get());
    return nullptr;
}

bool write_out(bus_object *self) noexcept {
    connection *conn = self->conn;
    if (!conn)
        return true;
    // Mostly sd-bus wrote everything at once: say so without letting go of
    // the interpreter lock (try_lock never waits).
    if (conn->lock().try_lock()) {
        const bool pending = !conn->closed() && conn->output_pending();
        conn->lock().unlock();
        if (!pending)
            return true;
    }
    const steady::time_point deadline = deadline_after(default_timeout);
    for (;;) {
        wait_status status;
        int lost = 0;
        {
            gil_released unlocked;
            status = conn->write_out(deadline);
            if (status == wait_status::lost) {
                std::lock_guard<std::mutex> hold(conn->lock());
                lost = conn->error();
            }
        }
        switch (status) {
        case wait_status::done:
        case wait_status::closed:  // closing wrote what it could
            return true;
        case wait_status::interrupted:
            if (PyErr_CheckSignals() < 0)
                return false;
            continue;
        case wait_status::lost:
            raise_errno(lost ? lost : -ENOTCONN,
                        "the connection was lost before its output was written");
            return false;
        case wait_status::timed_out: {
            py_ref text(PyUnicode_FromFormat(
                "the connection's output was not all written within %d s: the bus does not "
                "read it",
                static_cast<int>(default_timeout)));
            py_ref exc(text ? PyObject_CallFunction(PyExc_TimeoutError, "iO", ETIMEDOUT, text.get())
                            : nullptr);
            if (exc)
                PyErr_SetObject(PyExc_TimeoutError, exc.get());
            return false;
        }
        }
    }
}

}  // namespace vq::core
