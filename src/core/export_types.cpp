#include "core/export_types.hpp"

#include <mutex>
#include <new>
#include <utility>

#include "core/args.hpp"
#include "core/bus.hpp"
#include "core/errors.hpp"
#include "core/export.hpp"
#include "core/export_dispatch.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace vq::core {

PyTypeObject export_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// --- Replies of async methods ------------------------------------------------------------

namespace {

struct pending_reply_object {
    PyObject_HEAD
    bus_object *bus;  // strong reference
    sd_bus_message *m;  // own reference until answered
    std::string *out_sig;
    std::string *what;
};

PyTypeObject pending_reply_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

PyObject *new_pending_reply(bus_object *bus, sd_bus_message *m, const std::string &out_sig,
                            const std::string &what) noexcept {
    auto *r = PyObject_GC_New(pending_reply_object, &pending_reply_type);
    if (!r)
        return nullptr;
    r->bus =
        reinterpret_cast<bus_object *>(py_ref::borrow(reinterpret_cast<PyObject *>(bus)).release());
    r->m = m;
    r->out_sig = new (std::nothrow) std::string(out_sig);
    r->what = new (std::nothrow) std::string(what);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(r));
    if (!r->out_sig || !r->what) {
        r->m = nullptr;  // the caller keeps the message
        Py_DECREF(r);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject *>(r);
}

namespace {

// Sends `out` for the held call, once.
PyObject *pending_reply_answer(pending_reply_object *self, reply_plan &out) noexcept {
    sd_bus_message *m = std::exchange(self->m, nullptr);
    connection *conn = self->bus->conn;
    if (m && conn) {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        send_reply(*conn, m, out, std::string());
        sd_bus_message_unref(m);
    }
    Py_RETURN_NONE;
}

// Whether the call was received by the parent process: after fork() the
// connection's lock may be held by a thread that does not exist here, so
// the call is neither answered nor released in this process.
bool received_by_parent(pending_reply_object *self) noexcept {
    return self->bus->conn && self->bus->conn->inherited();
}

PyObject *pending_reply_send(PyObject *self_, PyObject *result) noexcept {
    auto *self = reinterpret_cast<pending_reply_object *>(self_);
    if (!self->m)
        Py_RETURN_NONE;
    if (received_by_parent(self))
        return raise_inherited();
    reply_plan out;
    naming what{nullptr, *self->what};
    add_result(out, result, *self->out_sig, what);
    return pending_reply_answer(self, out);
}

PyObject *pending_reply_fail(PyObject *self_, PyObject *exc) noexcept {
    auto *self = reinterpret_cast<pending_reply_object *>(self_);
    if (!self->m)
        Py_RETURN_NONE;
    if (received_by_parent(self))
        return raise_inherited();
    reply_plan out;
    py_ref fatal;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
    answer_exception(out, self->what->c_str(), fatal);
    PyObject *done = pending_reply_answer(self, out);
    if (fatal && done) {  // the loop, not this call, decides about SystemExit
        Py_DECREF(done);
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(fatal.get())), fatal.get());
        return nullptr;
    }
    return done;
}

void pending_reply_dealloc(PyObject *obj) noexcept {
    auto *self = reinterpret_cast<pending_reply_object *>(obj);
    PyObject_GC_UnTrack(obj);
    if (self->m && !received_by_parent(self)) {
        // Never answered (its task was cancelled): the caller is told.
        reply_plan out;
        out.what = reply_plan::kind::error;
        out.error_name = error_failed;
        out.error_text = "The method was cancelled before it answered.";
        py_ref r(pending_reply_answer(self, out));
    }
    delete self->out_sig;
    delete self->what;
    Py_XDECREF(reinterpret_cast<PyObject *>(self->bus));
    PyObject_GC_Del(obj);
}

int pending_reply_traverse(PyObject *obj, visitproc visit, void *arg) noexcept {
    Py_VISIT(reinterpret_cast<PyObject *>(reinterpret_cast<pending_reply_object *>(obj)->bus));
    return 0;
}

PyMethodDef pending_reply_methods[] = {
    {"send", pending_reply_send, METH_O,
     "send(result): answers the call with the method's result."},
    {"fail", pending_reply_fail, METH_O, "fail(exception): answers the call with an error reply."},
    {nullptr, nullptr, 0, nullptr},
};

// --- The Export handle -----------------------------------------------------------------------

void unexport(export_object *self) noexcept {
    object_export *o = std::exchange(self->target, nullptr);
    if (!o)
        return;
    export_registry *reg = self->bus->exports;
    connection *conn = self->bus->conn;
    if (!reg || !conn)
        return;
    if (conn->inherited()) {
        // After fork(): the parent's connection lock may be held by a thread
        // that does not exist here; the references go, the record stays.
        drop_references(*reg, o);
        return;
    }
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        unregister(*reg, o);
    }
    drop_references(*reg, o);
    gil_released unlocked;
    std::lock_guard<std::mutex> hold(conn->lock());
    --o->handles;
    maybe_free(*reg, o);
}

PyObject *export_close(PyObject *self, PyObject *) noexcept {
    unexport(reinterpret_cast<export_object *>(self));
    Py_RETURN_NONE;
}

PyObject *export_enter(PyObject *self, PyObject *) noexcept {
    return py_ref::borrow(self).release();
}

PyObject *export_exit(PyObject *self, PyObject *const *, Py_ssize_t) noexcept {
    unexport(reinterpret_cast<export_object *>(self));
    Py_RETURN_FALSE;
}

PyObject *export_get_closed(PyObject *self, void *) noexcept {
    auto *e = reinterpret_cast<export_object *>(self);
    return PyBool_FromLong(!e->target || e->target->dead.load());
}

PyObject *export_get_path(PyObject *self, void *) noexcept {
    return py_ref::borrow(reinterpret_cast<export_object *>(self)->path).release();
}

PyObject *export_get_bus(PyObject *self, void *) noexcept {
    return py_ref::borrow(
               reinterpret_cast<PyObject *>(reinterpret_cast<export_object *>(self)->bus))
        .release();
}

void export_dealloc(PyObject *obj) noexcept {
    auto *self = reinterpret_cast<export_object *>(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs)
        PyObject_ClearWeakRefs(obj);
    // Dropping the handle keeps the object exported: only close() ends it.
    if (object_export *o = std::exchange(self->target, nullptr)) {
        connection *conn = self->bus->conn;
        if (conn && !conn->inherited()) {
            gil_released unlocked;
            std::lock_guard<std::mutex> hold(conn->lock());
            --o->handles;
            maybe_free(*self->bus->exports, o);
        }
    }
    Py_CLEAR(self->path);
    Py_CLEAR(self->bus);
    Py_TYPE(obj)->tp_free(obj);
}

int export_traverse(PyObject *obj, visitproc visit, void *arg) noexcept {
    Py_VISIT(reinterpret_cast<PyObject *>(reinterpret_cast<export_object *>(obj)->bus));
    return 0;
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef export_methods[] = {
    {"close", export_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Unexports the object and returns None: its interfaces leave the bus; calls already\n"
     "queued are answered with UnknownObject.  Closing twice is fine."},
    {"__enter__", export_enter, METH_NOARGS, "Returns the export."},
    {"__exit__", FASTCALL(export_exit), METH_FASTCALL, "Unexports the object."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef export_getset[] = {
    {"path", export_get_path, nullptr, "The object path it is exported at.", nullptr},
    {"bus", export_get_bus, nullptr, "The bus it is exported on.", nullptr},
    {"closed", export_get_closed, nullptr, "Whether it was unexported.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int export_type_ready(PyObject *module) noexcept {
    pending_reply_type.tp_name = "varquin._core.PendingReply";
    pending_reply_type.tp_basicsize = sizeof(pending_reply_object);
    pending_reply_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    pending_reply_type.tp_doc = "The answer still owed to a call that an async method serves.";
    pending_reply_type.tp_dealloc = pending_reply_dealloc;
    pending_reply_type.tp_traverse = pending_reply_traverse;
    pending_reply_type.tp_methods = pending_reply_methods;
    if (add_type(module, &pending_reply_type, nullptr) < 0)
        return -1;

    export_type.tp_name = "varquin.Export";
    export_type.tp_basicsize = sizeof(export_object);
    export_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    export_type.tp_doc =
        "An object exported by Bus.export(): close() (or the end of a `with` block)\n"
        "unexports it; dropping it does not.\n\n"
        "    with bus.export(\"/org/example/Greeter\", Greeter()) as handle:\n"
        "        bus.serve()";
    export_type.tp_dealloc = export_dealloc;
    export_type.tp_traverse = export_traverse;
    export_type.tp_methods = export_methods;
    export_type.tp_getset = export_getset;
    export_type.tp_weaklistoffset = offsetof(export_object, weakrefs);
    return add_type(module, &export_type, "Export");
}

}  // namespace vq::core
