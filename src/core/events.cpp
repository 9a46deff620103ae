#include "core/events.hpp"

#include <poll.h>

#include <mutex>
#include <new>
#include <string>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "core/export.hpp"
#include "core/export_registry.hpp"
#include "core/state.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

// A call started for an event loop.  While its reply is awaited, and until
// a processing step hands it to the loop, the call holds a reference to its
// own object (taken when it is sent), so the record that the connection's
// lists point to cannot go away under them.  `owner` of the pending_call
// points back here.
//
// Exactly one party settles the call and gives that reference back: the
// processing step that hands it over, cancel(), or the loop's abandon on
// close.  Each decides under the connection lock by flipping the record's
// `settled` flag, and only the one that flipped it lets go.  The interpreter
// lock alone cannot decide it: every party releases it to take the
// connection lock, so two of them may both have seen the call in flight.
struct pending_call_object {
    PyObject_HEAD
    bus_object *bus;  // strong reference
    pending_call call;  // made in place: the object's memory is the record's
    PyObject *member;  // str, for the message of a timeout
    double timeout;
    // Not handed over yet (interpreter lock): set false by the settling
    // party, after it flipped `settled`, when it takes the reply (if it
    // still wants it) with the interpreter lock held.
    bool in_flight;
    PyObject *weakrefs;
    // The event loop's future that the outcome goes to (strong), or null:
    // set by settle(), given the outcome by the processing step that hands
    // the call over, dropped by cancel().  Interpreter lock.
    PyObject *future;
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
    Py_XDECREF(self->future);
    Py_XDECREF(self->member);
    Py_XDECREF(reinterpret_cast<PyObject *>(self->bus));
    PyObject_GC_Del(obj);
}

// Frames of the loop hold PendingCalls, which hold their bus: the collector
// has to see that edge to free a cycle through them.
int pending_call_traverse(PyObject *obj, visitproc visit, void *arg) noexcept {
    auto *self = reinterpret_cast<pending_call_object *>(obj);
    Py_VISIT(reinterpret_cast<PyObject *>(self->bus));
    Py_VISIT(self->future);
    return 0;
}

// The future's callbacks hold the task whose frame holds the call: a cycle
// that the collector breaks here.
int pending_call_clear(PyObject *obj) noexcept {
    Py_CLEAR(reinterpret_cast<pending_call_object *>(obj)->future);
    return 0;
}

// Calls the method `name` (interned) of `obj`.
PyObject *call_method(PyObject *obj, PyObject *name, PyObject *arg = nullptr) noexcept {
    PyObject *args[] = {obj, arg};
    return PyObject_VectorcallMethod(name, args, (arg ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// The outcome of a call that a processing step took out of the
// connection's lists: nothing but holders of the interpreter lock touch its
// record any more.  Its values, or null with its error raised.
PyObject *taken_outcome(pending_call_object *self) noexcept {
    if (self->call.timed_out)
        return raise_call_timeout(PyUnicode_AsUTF8(self->member), self->timeout);
    sd_bus_message *reply = std::exchange(self->call.reply, nullptr);
    if (!reply)
        return PyErr_Format(PyExc_RuntimeError, "the call's result was already taken");
    reply_ref checked = checked_reply(self->bus, reply);
    return checked ? reply_values(std::move(checked)) : nullptr;
}

// Gives `future` the outcome: `values`, or (null) the exception raised.
// Nothing is given to a future that is done already (its awaiter was
// cancelled).  False with an exception set when the future refused it.
bool give_outcome(PyObject *future, PyObject *values) noexcept {
    fetched_exception error;
    if (!values)
        error = fetched_exception::take();
    py_ref owned(values);
    const core_state &s = state();
    py_ref done(call_method(future, s.str_done));
    if (!done)
        return false;
    if (done.get() == Py_True)
        return true;
    if (values)
        return py_ref(call_method(future, s.str_set_result, values)).get() != nullptr;
    error.normalize();
    return py_ref(call_method(future, s.str_set_exception, error.value())).get() != nullptr;
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
    bool completed, closed, timed_out, settled;
    int lost;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        completed = self->call.completed;
        timed_out = self->call.timed_out;
        settled = self->call.settled;
        // Once settled, the reply is the settling party's, which reads it
        // holding the interpreter lock, not this lock.
        if (!settled)
            reply = std::exchange(self->call.reply, nullptr);
        closed = conn->closed();
        lost = conn->error();
    }
    if (settled) {
        // A step that took the call but has not handed it over yet (it
        // waits for the interpreter lock, which this thread holds) gives
        // the reply to the call's future; after the hand-over what is left
        // is this thread's to take.
        if (self->in_flight)
            return PyErr_Format(PyExc_RuntimeError, "the call has no reply yet");
        reply = std::exchange(self->call.reply, nullptr);
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
    reply_ref checked = checked_reply(self->bus, reply);
    return checked ? reply_values(std::move(checked)) : nullptr;
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
        // Settled already (by a processing step, the loop's abandon or
        // another cancel()): that party lets go.
        if (!p->settled) {
            p->settled = settled = true;
            if (!p->completed) {
                conn->cancel(*p);  // a late reply is dropped
            } else {
                conn->drop_completed(p);
                p->reply = sd_bus_message_unref(p->reply);
            }
        }
    }
    Py_CLEAR(self->future);
    if (settled) {
        self->in_flight = false;
        Py_DECREF(self_);
    }
    Py_RETURN_NONE;
}

// Makes `future` the one the call's outcome goes to; a call handed over
// already gives it its outcome at once.
PyObject *pending_call_settle(PyObject *self_, PyObject *future) noexcept {
    auto *self = reinterpret_cast<pending_call_object *>(self_);
    if (self->in_flight) {
        Py_XSETREF(self->future, py_ref::borrow(future).release());
        Py_RETURN_NONE;
    }
    if (!give_outcome(future, pending_call_result(self_, nullptr)))
        return nullptr;
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
    {"settle", pending_call_settle, METH_O,
     "settle($self, future, /)\n--\n\n"
     "Gives the call's outcome to the asyncio `future`: its values (set_result) or its error\n"
     "(set_exception), unless the future is done by then."},
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
    obj->future = nullptr;
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

// The timerfd the loop watches for the calls' deadlines (see
// connection::loop_timer_fd()).
PyObject *bus_loop_timer_fd(PyObject *self_, PyObject *) noexcept {
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self_));
    if (!conn)
        return nullptr;
    int fd;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        fd = conn->loop_timer_fd();
    }
    if (fd < 0)
        return raise_errno(fd, "cannot make the loop's timer");
    return PyLong_FromLong(fd);
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

namespace {

// What the loop waits for next: whether sd-bus has output to write, the
// time at which it wants to process again (microseconds on CLOCK_MONOTONIC,
// UINT64_MAX for none), and 0 or the negative errno of a lost connection.
struct loop_state {
    bool wants_output = false;
    uint64_t until = UINT64_MAX;
    int error = 0;
};

// Under the connection lock.
loop_state state_locked(connection &conn) noexcept {
    loop_state st;
    st.error = conn.error();
    if (conn.closed() || st.error)
        return st;
    const int events = sd_bus_get_events(conn.bus());
    if (events < 0 || sd_bus_get_timeout(conn.bus(), &st.until) < 0)
        st.until = UINT64_MAX;
    st.wants_output = events > 0 && (events & POLLOUT);
    // The calls' own deadlines, on the same clock (CLOCK_MONOTONIC).
    const steady::time_point ours = conn.next_deadline();
    if (ours != steady::time_point::max()) {
        const auto usec =
            std::chrono::duration_cast<std::chrono::microseconds>(ours.time_since_epoch()).count();
        if (usec >= 0 && static_cast<uint64_t>(usec) < st.until)
            st.until = static_cast<uint64_t>(usec);
    }
    const steady::time_point now = steady::now();
    conn.arm_loop_timer(st.until == UINT64_MAX
                            ? steady::time_point::max()
                            : steady::time_point(std::chrono::microseconds(st.until)),
                        &now);
    return st;
}

// The deadline as asyncio's loop.time() counts (seconds), or None.
PyObject *deadline_object(const loop_state &st) noexcept {
    return st.until == UINT64_MAX ? py_ref::borrow(Py_None).release()
                                  : PyFloat_FromDouble(static_cast<double>(st.until) / 1e6);
}

}  // namespace

// (wants_output, deadline, error): whether the loop must wait for the
// descriptor to be writable; the CLOCK_MONOTONIC time in seconds (the clock
// of asyncio's loop.time()) at which sd-bus wants to process again, or None;
// and 0, or the negative errno of a connection that is lost (its descriptor
// is closed then, and never becomes ready again).
PyObject *bus_loop_wants(PyObject *self_, PyObject *) noexcept {
    connection *conn = open_connection(reinterpret_cast<bus_object *>(self_));
    if (!conn)
        return nullptr;
    loop_state st;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        st = state_locked(*conn);
    }
    py_ref deadline(deadline_object(st));
    if (!deadline)
        return nullptr;
    return Py_BuildValue("(NOi)", PyBool_FromLong(st.wants_output), deadline.get(), st.error);
}

// One processing step: everything that arrived is processed, and each call
// whose reply came (or whose time ran out) is handed over, its outcome
// given to its future (a call without one keeps it for settle()).  Returns
// what _loop_wants returns, and whether incoming calls wait to be run, all
// from one hold of the connection lock.  A lost connection is raised when
// no call was handed over.
PyObject *bus_loop_process(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<bus_object *>(self_);
    connection *conn = open_connection(self);
    if (!conn)
        return nullptr;
    pending_call *completed = nullptr;
    int r = 0;
    loop_state st;
    bool incoming = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (!conn->closed()) {
            r = conn->process_once();
            completed = conn->take_completed();
        }
        st = state_locked(*conn);
        incoming = self->exports && !self->exports->queue.empty();
    }
    // Each call in the list still holds its object: hand it over, then let go.
    fetched_exception refused;
    for (pending_call *p = completed; p;) {
        pending_call *next = p->next_done;
        p->next_done = nullptr;
        auto *obj = static_cast<pending_call_object *>(p->owner);
        py_ref own(reinterpret_cast<PyObject *>(obj));
        obj->in_flight = false;
        if (PyObject *future = obj->future) {
            obj->future = nullptr;
            py_ref held(future);
            if (!give_outcome(future, taken_outcome(obj)) && !refused)
                refused = fetched_exception::take();
            PyErr_Clear();
        }
        p = next;
    }
    if (refused) {
        refused.restore();
        return nullptr;
    }
    if (r < 0 && !completed)
        return raise_errno(r, "the connection was lost");
    py_ref deadline(deadline_object(st));
    if (!deadline)
        return nullptr;
    return Py_BuildValue("(NOiN)", PyBool_FromLong(st.wants_output), deadline.get(), st.error,
                         PyBool_FromLong(incoming));
}

// Cancels every call the loop waits for and hands them over: the futures
// that await them (not done yet), for the driver to fail.
PyObject *bus_loop_abandon(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<bus_object *>(self_);
    connection *conn = self->conn;
    py_ref futures(PyList_New(0));
    if (!futures || !conn || conn->inherited())
        return futures.release();
    pending_call *dropped = nullptr;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        dropped = conn->abandon_loop_calls();
    }
    bool failed = false;
    for (pending_call *p = dropped; p;) {
        pending_call *next = p->next_done;
        p->next_done = nullptr;
        auto *obj = static_cast<pending_call_object *>(p->owner);
        py_ref own(reinterpret_cast<PyObject *>(obj));
        obj->in_flight = false;
        py_ref future(std::exchange(obj->future, nullptr));
        if (future && !failed && PyList_Append(futures.get(), future.get()) < 0)
            failed = true;
        p = next;
    }
    return failed ? nullptr : futures.release();
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
    pending_call_type.tp_clear = pending_call_clear;
    pending_call_type.tp_methods = pending_call_methods;
    pending_call_type.tp_getset = pending_call_getset;
    pending_call_type.tp_weaklistoffset = offsetof(pending_call_object, weakrefs);
    return add_type(module, &pending_call_type, "PendingCall");
}

}  // namespace vq::core
