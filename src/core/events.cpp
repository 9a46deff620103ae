#include "core/events.hpp"

#include <poll.h>

#include <mutex>
#include <new>
#include <string>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "core/export.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

// A call started for an event loop.  While its reply is awaited, and until
// a processing step hands it to the loop, the call holds a reference to its
// own object (taken when it is sent, given back by the step or by cancel()),
// so the record that the connection's lists point to cannot go away under
// them.  `owner` of the pending_call points back here.
struct pending_call_object {
    PyObject_HEAD
    bus_object *bus;  // strong reference
    pending_call call;  // made in place: the object's memory is the record's
    PyObject *member;  // str, for the message of a timeout
    double timeout;
    bool in_flight;  // holds the reference to itself (interpreter lock)
    PyObject *weakrefs;
};

PyTypeObject pending_call_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void pending_call_dealloc(PyObject *obj) noexcept {
    auto *self = reinterpret_cast<pending_call_object *>(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs)
        PyObject_ClearWeakRefs(obj);
    // Not in flight any more (else it would still hold itself): only its
    // reply may be left.
    if (self->call.reply) {
        connection *conn = self->bus->conn;
        if (conn && !conn->inherited()) {
            gil_released unlocked;
            std::lock_guard<std::mutex> hold(conn->lock());
            self->call.reply = sd_bus_message_unref(self->call.reply);
        }
    }
    self->call.~pending_call();
    Py_XDECREF(self->member);
    Py_XDECREF(reinterpret_cast<PyObject *>(self->bus));
    PyObject_GC_Del(obj);
}

// Frames of the loop hold PendingCalls, which hold their bus: the collector
// has to see that edge to free a cycle through them.
int pending_call_traverse(PyObject *obj, visitproc visit, void *arg) noexcept {
    Py_VISIT(reinterpret_cast<PyObject *>(reinterpret_cast<pending_call_object *>(obj)->bus));
    return 0;
}

// The call's values, or its error raised.  Only once the call is done.
PyObject *pending_call_result(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<pending_call_object *>(self_);
    connection *conn = self->bus->conn;
    if (!conn)
        return raise_closed();
    if (conn->inherited())
        return raise_inherited();
    sd_bus_message *reply = nullptr;
    bool completed, closed, timed_out;
    int lost;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        completed = self->call.completed;
        timed_out = self->call.timed_out;
        reply = std::exchange(self->call.reply, nullptr);
        closed = conn->closed();
        lost = conn->error();
    }
    if (timed_out)
        return raise_call_timeout(PyUnicode_AsUTF8(self->member), self->timeout);
    if (!completed) {
        if (closed)
            return raise_errno(-ECONNABORTED,
                               "the bus was closed while the call waited for its reply");
        if (lost)
            return raise_errno(lost, "the connection was lost");
        return PyErr_Format(PyExc_RuntimeError, "the call has no reply yet");
    }
    if (!reply)
        return PyErr_Format(PyExc_RuntimeError, "the call's result was already taken");
    reply = checked_reply(self->bus, reply);
    return reply ? reply_values(self->bus, reply) : nullptr;
}

PyObject *pending_call_cancel(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<pending_call_object *>(self_);
    connection *conn = self->bus->conn;
    // A call inherited across fork() is left alone: the parent's.
    if (!conn || !self->in_flight || conn->inherited())
        Py_RETURN_NONE;
    bool settled = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        pending_call *p = &self->call;
        if (!p->completed) {
            conn->cancel(*p);  // a late reply is dropped
            settled = true;
        } else if (!p->taken) {
            conn->drop_completed(p);
            p->reply = sd_bus_message_unref(p->reply);
            settled = true;
        }
        // Taken by a processing step: that step hands it over and lets go.
    }
    if (settled) {
        self->in_flight = false;
        Py_DECREF(self_);
    }
    Py_RETURN_NONE;
}

PyObject *pending_call_get_done(PyObject *self_, void *) noexcept {
    auto *self = reinterpret_cast<pending_call_object *>(self_);
    connection *conn = self->bus->conn;
    if (!conn || conn->inherited())  // no reply ever comes here
        Py_RETURN_TRUE;
    bool done;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        done = self->call.completed || conn->closed() || conn->error();
    }
    return PyBool_FromLong(done);
}

PyMethodDef pending_call_methods[] = {
    {"result", pending_call_result, METH_NOARGS,
     "result($self, /)\n--\n\n"
     "Returns the reply's values as a tuple, or raises the error as Bus.call raises it."},
    {"cancel", pending_call_cancel, METH_NOARGS,
     "cancel($self, /)\n--\n\nForgets the call: its reply is dropped."},
    {nullptr, nullptr, 0, nullptr},
};

// When the call gives up, on the clock of asyncio's loop.time(), and
// whether the loop must wait for the connection to take its output.
PyObject *pending_call_get_deadline(PyObject *self_, void *) noexcept {
    auto *self = reinterpret_cast<pending_call_object *>(self_);
    if (self->call.deadline == steady::time_point::max())
        Py_RETURN_NONE;
    return PyFloat_FromDouble(
        std::chrono::duration<double>(self->call.deadline.time_since_epoch()).count());
}

PyObject *pending_call_get_wants_output(PyObject *self_, void *) noexcept {
    return PyBool_FromLong(reinterpret_cast<pending_call_object *>(self_)->call.output_waiting);
}

PyGetSetDef pending_call_getset[] = {
    {"deadline", pending_call_get_deadline, nullptr,
     "When the call gives up (seconds on CLOCK_MONOTONIC), or None.", nullptr},
    {"wants_output", pending_call_get_wants_output, nullptr,
     "Whether sd-bus still had output to write when the call was sent.", nullptr},
    {"done", pending_call_get_done, nullptr, "Whether the reply came (or the bus is gone).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject *start_pending_call(bus_object *self, const call_target &to, const plan &args,
                             double timeout) noexcept {
    auto *obj = PyObject_GC_New(pending_call_object, &pending_call_type);
    if (!obj)
        return nullptr;
    new (&obj->call) pending_call();
    obj->bus = reinterpret_cast<bus_object *>(
        py_ref::borrow(reinterpret_cast<PyObject *>(self)).release());
    obj->member =
        to.member_name ? py_ref::borrow(to.member_name).release() : PyUnicode_FromString(to.member);
    obj->timeout = timeout;
    obj->in_flight = false;
    obj->weakrefs = nullptr;
    obj->call.owner = obj;
    py_ref owned(reinterpret_cast<PyObject *>(obj));
    if (!obj->member)
        return nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(obj));
    if (!send_call(self, to, args, timeout, obj->call))
        return nullptr;
    obj->in_flight = true;
    Py_INCREF(obj);  // the call's own reference, until it is handed over
    return owned.release();
}

PyObject *bus_start_call(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) noexcept {
    call_target to{};
    plan values;
    double timeout;
    if (!parse_call("call", args, nargs, kwnames, to, values, timeout))
        return nullptr;
    return start_pending_call(reinterpret_cast<bus_object *>(self_), to, values, timeout);
}

PyObject *bus_loop_fd(PyObject *self_, PyObject *) noexcept {
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self_));
    if (!conn)
        return nullptr;
    int fd;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        fd = conn->closed() ? -EBADF : sd_bus_get_fd(conn->bus());
    }
    if (fd < 0)
        return raise_errno(fd, "the connection has no descriptor");
    return PyLong_FromLong(fd);
}

PyObject *bus_loop_wake_fd(PyObject *self_, PyObject *) noexcept {
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self_));
    return conn ? PyLong_FromLong(conn->wake_fd()) : nullptr;
}

PyObject *bus_set_loop_driven(PyObject *self_, PyObject *on) noexcept {
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self_));
    if (!conn)
        return nullptr;
    const int flag = PyObject_IsTrue(on);
    if (flag < 0)
        return nullptr;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        conn->set_loop_driven(flag != 0);
    }
    Py_RETURN_NONE;
}

// (wants_output, deadline, error): whether the loop must wait for the
// descriptor to be writable; the CLOCK_MONOTONIC time in seconds (the clock
// of asyncio's loop.time()) at which sd-bus wants to process again, or None;
// and 0, or the negative errno of a connection that is lost (its descriptor
// is closed then, and never becomes ready again).
PyObject *bus_loop_wants(PyObject *self_, PyObject *) noexcept {
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self_));
    if (!conn)
        return nullptr;
    int events = 0;
    int error = 0;
    uint64_t until = UINT64_MAX;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        error = conn->error();
        if (!conn->closed() && !error) {
            events = sd_bus_get_events(conn->bus());
            if (events < 0 || sd_bus_get_timeout(conn->bus(), &until) < 0)
                until = UINT64_MAX;
            // The calls' own deadlines, on the same clock (CLOCK_MONOTONIC).
            const steady::time_point ours = conn->next_deadline();
            if (ours != steady::time_point::max()) {
                const auto usec =
                    std::chrono::duration_cast<std::chrono::microseconds>(ours.time_since_epoch())
                        .count();
                if (usec >= 0 && static_cast<uint64_t>(usec) < until)
                    until = static_cast<uint64_t>(usec);
            }
        }
    }
    py_ref deadline(until == UINT64_MAX ? py_ref::borrow(Py_None).release()
                                        : PyFloat_FromDouble(static_cast<double>(until) / 1e6));
    if (!deadline)
        return nullptr;
    return Py_BuildValue("(NOi)", PyBool_FromLong(events > 0 && (events & POLLOUT)), deadline.get(),
                         error);
}

// One processing step: everything that arrived is processed; returns the
// PendingCalls whose replies came.  A lost connection is raised.
PyObject *bus_loop_process(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<bus_object *>(self_);
    connection *conn = open_connection(self);
    if (!conn)
        return nullptr;
    py_ref done(PyList_New(0));
    if (!done)
        return nullptr;
    pending_call *completed = nullptr;
    int r = 0;
    bool closed;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        closed = conn->closed();
        if (!closed) {
            r = conn->process_once();
            completed = conn->take_completed();
        }
    }
    // Each call in the list still holds its object: hand it over, then let go.
    bool failed = false;
    for (pending_call *p = completed; p;) {
        pending_call *next = p->next_done;
        p->next_done = nullptr;
        auto *obj = static_cast<pending_call_object *>(p->owner);
        if (!failed && PyList_Append(done.get(), reinterpret_cast<PyObject *>(obj)) < 0)
            failed = true;
        obj->in_flight = false;
        Py_DECREF(reinterpret_cast<PyObject *>(obj));
        p = next;
    }
    if (failed)
        return nullptr;
    if (r < 0 && PyList_GET_SIZE(done.get()) == 0)
        return raise_errno(r, "the connection was lost");
    return done.release();
}

PyObject *bus_loop_run_incoming(PyObject *self_, PyObject *) noexcept {
    return run_incoming(reinterpret_cast<bus_object *>(self_));
}

int pending_call_type_ready(PyObject *module) noexcept {
    pending_call_type.tp_name = "varquin._core.PendingCall";
    pending_call_type.tp_basicsize = sizeof(pending_call_object);
    pending_call_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    pending_call_type.tp_doc = "A call started for an event loop: result(), cancel(), done.";
    pending_call_type.tp_dealloc = pending_call_dealloc;
    pending_call_type.tp_traverse = pending_call_traverse;
    pending_call_type.tp_methods = pending_call_methods;
    pending_call_type.tp_getset = pending_call_getset;
    pending_call_type.tp_weaklistoffset = offsetof(pending_call_object, weakrefs);
    return add_type(module, &pending_call_type, "PendingCall");
}

}  // namespace vq::core
