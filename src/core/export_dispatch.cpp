#include "core/export_dispatch.hpp"

#include <cstring>
#include <mutex>
#include <vector>

#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/export.hpp"
#include "core/export_types.hpp"
#include "core/state.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

// The bus served by the calling thread, while it runs that bus's callables.
thread_local bus_object *t_serving = nullptr;

}  // namespace

bool calls_own_service(const char *destination) noexcept {
    bus_object *serving = t_serving;
    if (!serving || !destination)
        return false;
    if (serving->unique_name &&
        PyUnicode_CompareWithASCIIString(serving->unique_name, destination) == 0)
        return true;
    if (!serving->exports)
        return false;
    for (const std::string &name : serving->exports->owned_names)
        if (name == destination)
            return true;
    std::lock_guard<std::mutex> hold(serving->exports->names_lock);
    for (const std::string &name : serving->exports->acquired_names)
        if (name == destination)
            return true;
    return false;
}

namespace {

void log_failure(PyObject *text, PyObject *exc) noexcept {
    PyObject *log = state().log;
    if (!log)
        return;
    vq::saved_exception pending;
    py_ref r(PyObject_CallFunctionObjArgs(log, text, exc ? exc : Py_None, nullptr));
    if (!r)
        PyErr_WriteUnraisable(log);
}

std::string utf8_of(PyObject *o) noexcept {
    py_ref s(PyObject_Str(o));
    const char *text = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

}  // namespace

void answer_exception(reply_plan &out, const char *what, py_ref &fatal) noexcept {
    vq::fetched_exception raised = vq::fetched_exception::take();
    raised.normalize();
    if (raised.traceback() && raised.value())
        PyException_SetTraceback(raised.value(), raised.traceback());
    py_ref exc = py_ref::borrow(raised.value());
    raised.clear();
    out.what = reply_plan::kind::error;
    out.error_name = error_failed;
    PyObject *bus_error = state().bus_error;
    if (exc && bus_error && PyObject_IsInstance(exc.get(), bus_error) == 1) {
        py_ref name(PyObject_GetAttrString(exc.get(), "name"));
        py_ref message(PyObject_GetAttrString(exc.get(), "message"));
        const char *n =
            name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
        PyErr_Clear();
        if (n && interface_name_is_valid(n)) {
            out.error_name = n;
            out.error_text = message ? utf8_of(message.get()) : "";
            return;
        }
    }
    PyErr_Clear();
    const char *type_name = exc ? Py_TYPE(exc.get())->tp_name : "Exception";
    if (const char *dot = std::strrchr(type_name, '.'))
        type_name = dot + 1;
    out.error_text = std::string(type_name) + ": " + (exc ? utf8_of(exc.get()) : "");
    if (exc && (PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit) ||
                PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt))) {
        fatal = std::move(exc);
        return;
    }
    py_ref text(PyUnicode_FromFormat("%s failed", what));
    log_failure(text.get(), exc.get());
}

namespace {

// A result that did not fit: the plan's exception becomes the reply's text.
void answer_mismatch(reply_plan &out, PyObject *result, const std::string &out_sig,
                     const char *what) noexcept {
    vq::fetched_exception raised = vq::fetched_exception::take();
    raised.normalize();
    py_ref exc = py_ref::borrow(raised.value());
    raised.clear();
    py_ref shown(PyObject_Repr(result));
    out.what = reply_plan::kind::error;
    out.error_name = error_failed;
    out.error_text = "result " + (shown ? utf8_of(shown.get()) : std::string("?")) +
                     " does not match output signature \"" + out_sig + "\"" +
                     (exc ? ": " + utf8_of(exc.get()) : std::string());
    PyErr_Clear();
    py_ref text(PyUnicode_FromFormat("%s: %s", what, out.error_text.c_str()));
    log_failure(text.get(), exc.get());
}

}  // namespace

bool add_result(reply_plan &out, PyObject *result, const std::string &out_sig,
                naming &what) noexcept {
    const size_t n = complete_type_count(out_sig);
    bool ok;
    if (n == 0) {
        ok = result == Py_None;
        if (!ok)
            PyErr_Format(PyExc_TypeError, "a method without output returns None");
    } else if (n == 1) {
        ok = out.body.add(out_sig, &result, 1, "result");
    } else if (!PyTuple_Check(result) || static_cast<size_t>(PyTuple_GET_SIZE(result)) != n) {
        PyErr_Format(PyExc_TypeError, "expected a tuple of %zu values", n);
        ok = false;
    } else {
        ok = out.body.add(out_sig, &PyTuple_GET_ITEM(result, 0), n, "result");
    }
    if (!ok) {
        out.body.clear();
        answer_mismatch(out, result, out_sig, what.c_str());
        return false;
    }
    out.what = reply_plan::kind::value;
    return true;
}

namespace {

PyObject *make_variant(const std::string &sig, PyObject *value) noexcept {
    py_ref s(PyUnicode_FromStringAndSize(sig.data(), static_cast<Py_ssize_t>(sig.size())));
    if (!s)
        return nullptr;
    return PyObject_CallFunctionObjArgs(state().variant_type, s.get(), value, nullptr);
}

// The value of a property as a Variant: `getter` called with `obj`, both
// held by the caller.  Null with an exception set.
PyObject *property_value(const property_export &p, PyObject *getter, PyObject *obj) noexcept {
    py_ref value(PyObject_CallOneArg(getter, obj));
    if (!value)
        return nullptr;
    return make_variant(p.sig, value.get());
}

void answer_unknown_object(const object_export *o, reply_plan &out) noexcept {
    out.body.clear();
    out.changed.clear();
    out.what = reply_plan::kind::error;
    out.error_name = error_unknown_object;
    out.error_text = "Object " + o->path + " was unexported.";
}

// Whether the object was unexported while its call ran (a callable lets
// other threads run): the rest of the call is answered UnknownObject.
bool went_away(const object_export *o, reply_plan &out) noexcept {
    if (!o->dead.load())
        return false;
    answer_unknown_object(o, out);
    return true;
}

// One function per kind of call: each plans the answer in `out`, leaving a
// SystemExit or KeyboardInterrupt of a callable in `fatal`.  The object and
// every callable a call runs are held from its start to its end: another
// thread may unexport the object meanwhile, which drops the record's own
// references.  A callable that started finishes and its answer stands; a
// call with callables still to run answers UnknownObject.  Interpreter lock
// held.

void dispatch_method(bus_object *self, incoming &item, PyObject *obj, reply_plan &out,
                     py_ref &fatal) noexcept {
    naming what{&item, {}};
    py_ref func = py_ref::borrow(item.method->func);
    py_ref args(read_body(item.m));
    if (!args)
        return answer_exception(out, what.c_str(), fatal);
    // The object, then one argument per complete type; a slot in front
    // lets the callee prepend without copying.
    const Py_ssize_t n = PyTuple_GET_SIZE(args.get());
    PyObject *few[16];
    std::vector<PyObject *> many;
    PyObject **vec = few;
    if (n + 2 > 16) {
        many.resize(static_cast<size_t>(n) + 2);
        vec = many.data();
    }
    vec[1] = obj;
    for (Py_ssize_t i = 0; i < n; ++i)
        vec[i + 2] = PyTuple_GET_ITEM(args.get(), i);
    py_ref result(PyObject_Vectorcall(
        func.get(), vec + 1, static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result)
        return answer_exception(out, what.c_str(), fatal);
    if (PyCoro_CheckExact(result.get()) ||
        (Py_TYPE(result.get())->tp_as_async && Py_TYPE(result.get())->tp_as_async->am_await)) {
        // An async method: an event loop runs it and answers later.
        PyObject *awaitable = state().awaitable;
        if (awaitable && self->conn->loop_driven()) {
            py_ref reply(new_pending_reply(self, item.m, item.method->out_sig, what.c_str()));
            if (reply) {
                item.m = nullptr;  // the reply object owns the message now
                py_ref r(PyObject_CallFunctionObjArgs(awaitable, reinterpret_cast<PyObject *>(self),
                                                      result.get(), reply.get(), nullptr));
                if (r)
                    return;  // out stays none: nothing is sent now
            }
            return answer_exception(out, what.c_str(), fatal);
        }
        py_ref close(PyObject_CallMethod(result.get(), "close", nullptr));
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s is a coroutine function: serve it with varquin.aio",
                     what.c_str());
        return answer_exception(out, what.c_str(), fatal);
    }
    add_result(out, result.get(), item.method->out_sig, what);
}

void dispatch_get(incoming &item, PyObject *obj, reply_plan &out, py_ref &fatal) noexcept {
    naming what{&item, {}};
    py_ref getter = py_ref::borrow(item.property->getter);
    py_ref variant(property_value(*item.property, getter.get(), obj));
    PyObject *v = variant.get();
    if (!v || !out.body.add("v", &v, 1, "property")) {
        out.body.clear();
        return answer_exception(out, what.c_str(), fatal);
    }
    out.what = reply_plan::kind::value;
}

void dispatch_get_all(incoming &item, PyObject *obj, reply_plan &out, py_ref &fatal) noexcept {
    naming what{&item, {}};
    std::vector<py_ref> getters;
    getters.reserve(item.iface->properties.size());
    for (const property_export &p : item.iface->properties)
        getters.push_back(py_ref::borrow(p.getter));
    py_ref all(PyDict_New());
    if (!all)
        return answer_exception(out, what.c_str(), fatal);
    size_t k = 0;
    for (const property_export &p : item.iface->properties) {
        if (went_away(item.target, out))
            return;
        py_ref variant(property_value(p, getters[k++].get(), obj));
        if (!variant || PyDict_SetItemString(all.get(), p.name.c_str(), variant.get()) < 0)
            return answer_exception(out, what.c_str(), fatal);
    }
    PyObject *d = all.get();
    if (!out.body.add("a{sv}", &d, 1, "properties")) {
        out.body.clear();
        return answer_exception(out, what.c_str(), fatal);
    }
    out.what = reply_plan::kind::value;
}

void dispatch_set(incoming &item, PyObject *obj, reply_plan &out, py_ref &fatal) noexcept {
    naming what{&item, {}};
    const property_export &p = *item.property;
    py_ref setter = py_ref::borrow(p.setter);
    py_ref getter = py_ref::borrow(p.getter);
    char kind = 0;
    const char *contents = nullptr;
    int r = sd_bus_message_skip(item.m, "ss");
    if (r >= 0)
        r = sd_bus_message_peek_type(item.m, &kind, &contents);
    if (r < 0 || kind != 'v' || !contents || p.sig != contents) {
        out.what = reply_plan::kind::error;
        out.error_name = error_invalid_args;
        out.error_text = "Property " + p.name + " takes '" + p.sig + "', not '" +
                         (contents ? contents : "") + "'.";
        return;
    }
    py_ref value(read_value(item.m, "v"));
    if (!value)
        return answer_exception(out, what.c_str(), fatal);
    py_ref done(PyObject_CallFunctionObjArgs(setter.get(), obj, value.get(), nullptr));
    if (!done)
        return answer_exception(out, what.c_str(), fatal);
    out.what = reply_plan::kind::value;  // an empty return
    // Everyone watching hears of the change as the property's annotation
    // says: with the value now held, or only its name; an object unexported
    // meanwhile announces nothing any more.
    using emits = property_export::emits;
    if (item.target->dead.load() || p.announce == emits::never || p.announce == emits::nothing)
        return;
    const bool with_value = p.announce == emits::value;
    py_ref variant(with_value ? property_value(p, getter.get(), obj) : nullptr);
    py_ref changed(variant || !with_value ? PyDict_New() : nullptr);
    py_ref iface(PyUnicode_FromString(item.iface->name.c_str()));
    py_ref invalidated(PyList_New(0));
    bool ok = changed && iface && invalidated;
    if (ok && with_value)
        ok = PyDict_SetItemString(changed.get(), p.name.c_str(), variant.get()) == 0;
    if (ok && !with_value) {
        py_ref name(PyUnicode_FromString(p.name.c_str()));
        ok = name && PyList_Append(invalidated.get(), name.get()) == 0;
    }
    if (ok) {
        PyObject *vals[3] = {iface.get(), changed.get(), invalidated.get()};
        if (!out.changed.add("sa{sv}as", vals, 3, "PropertiesChanged"))
            out.changed.clear();
    }
    if (PyErr_Occurred()) {
        py_ref text(
            PyUnicode_FromFormat("%s: reading the value after it was set failed", what.c_str()));
        vq::fetched_exception failed = vq::fetched_exception::take();
        log_failure(text.get(), failed.value());
        out.changed.clear();
    }
}

// Runs one incoming call.  Interpreter lock held.
void dispatch(bus_object *self, incoming &item, reply_plan &out, py_ref &fatal) noexcept {
    py_ref obj = py_ref::borrow(item.target->obj);
    if (!obj || item.target->dead.load())
        return answer_unknown_object(item.target, out);
    switch (item.what) {
    case incoming::kind::method:
        return dispatch_method(self, item, obj.get(), out, fatal);
    case incoming::kind::get:
        return dispatch_get(item, obj.get(), out, fatal);
    case incoming::kind::get_all:
        return dispatch_get_all(item, obj.get(), out, fatal);
    case incoming::kind::set:
        return dispatch_set(item, obj.get(), out, fatal);
    }
}

}  // namespace

void send_reply(connection &conn, sd_bus_message *call, reply_plan &out,
                const std::string &path) noexcept {
    if (conn.closed())
        return;
    if (out.what != reply_plan::kind::none && call && sd_bus_message_get_expect_reply(call)) {
        if (out.what == reply_plan::kind::value) {
            vq::message_ptr reply;
            int r = sd_bus_message_new_method_return(call, vq::out(reply));
            if (r >= 0)
                r = out.body.apply(reply.get());
            if (r >= 0)
                r = conn.send(reply.get());
            if (r < 0)
                (void)sd_bus_reply_method_errorf(
                    call, error_failed, "The reply could not be sent: %s", std::strerror(-r));
        } else {
            // sd-bus refuses text holding a Unicode noncharacter: the
            // caller would wait for a reply that never leaves.
            const std::string text = without_noncharacters(out.error_text);
            (void)sd_bus_reply_method_errorf(call, out.error_name.c_str(), "%s", text.c_str());
        }
    }
    if (!out.changed.empty()) {
        vq::message_ptr signal;
        int r = sd_bus_message_new_signal(conn.bus(), vq::out(signal), path.c_str(),
                                          properties_interface, "PropertiesChanged");
        if (r >= 0)
            r = out.changed.apply(signal.get());
        if (r >= 0)
            (void)conn.send(signal.get());
    }
}

PyObject *run_incoming(bus_object *self) noexcept {
    connection *conn = self->conn;
    export_registry *reg = self->exports;
    if (!conn || !reg)
        Py_RETURN_NONE;
    // serve() and an event loop's driver may both run the calls of one
    // core, each with the interpreter lock released while it waits for the
    // connection lock: the first one here borrows the spare storage, any
    // other uses its own.
    std::vector<incoming> own;
    const bool borrowed = !reg->spare_taken;
    std::vector<incoming> &batch = borrowed ? reg->spare : own;
    reg->spare_taken = true;
    struct give_back {
        export_registry *reg;
        bool borrowed;
        ~give_back() {
            if (borrowed)
                reg->spare_taken = false;
        }
    } returned{reg, borrowed};
    batch.clear();
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        batch.swap(reg->queue);
    }
    if (batch.empty())
        Py_RETURN_NONE;

    std::vector<reply_plan> outs(batch.size());
    py_ref fatal;
    size_t ran = 0;
    bus_object *outer = t_serving;
    t_serving = self;
    for (; ran < batch.size(); ++ran) {
        dispatch(self, batch[ran], outs[ran], fatal);
        if (fatal) {
            ++ran;
            break;
        }
    }
    t_serving = outer;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        for (size_t i = 0; i < ran; ++i) {
            incoming &item = batch[i];
            send_reply(*conn, item.m, outs[i], item.target->path);
            sd_bus_message_unref(item.m);
            --item.target->in_flight;
            maybe_free(*reg, item.target);
        }
        // Calls not run because a callable ended serve(): the next serve()
        // runs them, in their order.
        if (ran < batch.size())
            reg->queue.insert(reg->queue.begin(), batch.begin() + static_cast<std::ptrdiff_t>(ran),
                              batch.end());
    }
    outs.clear();  // the plans give their references back here, with the interpreter lock
    if (fatal) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(fatal.get())), fatal.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace vq::core
