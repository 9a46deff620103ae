#include "core/export.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/args.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/marshal.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";
constexpr char error_failed[] = "org.freedesktop.DBus.Error.Failed";
constexpr char error_unknown_object[] = "org.freedesktop.DBus.Error.UnknownObject";
constexpr char error_unknown_interface[] = "org.freedesktop.DBus.Error.UnknownInterface";
constexpr char error_unknown_property[] = "org.freedesktop.DBus.Error.UnknownProperty";
constexpr char error_invalid_args[] = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr char error_read_only[] = "org.freedesktop.DBus.Error.PropertyReadOnly";
// RequestName: do not queue for a name another connection owns.
constexpr uint32_t name_do_not_queue = 4;

PyObject *g_log = nullptr;
PyObject *g_awaitable = nullptr;

}  // namespace

struct object_export;
struct interface_export;

// The Python parts (functions, the object) are touched only with the
// interpreter lock; everything else only under the connection lock.
struct method_export {
    std::string name, in_sig, out_sig;
    PyObject *func = nullptr;  // the function, called with the object first
    interface_export *iface = nullptr;
};

struct property_export {
    std::string name, sig;
    PyObject *getter = nullptr;
    PyObject *setter = nullptr;  // null: read-only
};

struct signal_export {
    std::string name, sig;
};

struct interface_export {
    std::string name;
    std::vector<method_export> methods;  // never resized once the vtable is built
    std::vector<property_export> properties;
    std::vector<signal_export> signals;
    std::vector<sd_bus_vtable> vtable;
    sd_bus_slot *slot = nullptr;
    object_export *object = nullptr;
};

struct object_export {
    std::string path;
    PyObject *obj = nullptr;  // interpreter lock; null once unexported
    std::vector<std::unique_ptr<interface_export>> interfaces;
    export_registry *registry = nullptr;
    std::atomic<bool> dead{false};  // unexported: calls still queued are refused
    std::atomic<int> in_flight{0};  // queued or running calls that name it
    std::atomic<int> handles{0};  // Export objects that point at it
};

struct incoming {
    enum class kind : uint8_t { method, get, get_all, set };
    sd_bus_message *m;  // own reference
    kind what;
    object_export *target;
    interface_export *iface;
    method_export *method;  // kind::method
    property_export *property;  // kind::get and kind::set
};

struct export_registry {
    connection *conn = nullptr;
    std::vector<object_export *> objects;  // connection lock: live and dead ones not yet freed
    std::vector<object_export *> holding;  // interpreter lock: those holding Python references
    std::vector<incoming> queue;  // connection lock, oldest first
    std::vector<incoming> spare;  // interpreter lock: serve()'s batch, kept for its capacity
    waiter *server = nullptr;  // connection lock: serve()'s waiter while it sleeps
    bool stop = false;  // connection lock: stop() was called
    bool serving = false;  // interpreter lock: serve() runs
    std::vector<std::string> owned_names;  // interpreter lock: names request_name obtained
};

namespace {

// The bus served by the calling thread, while it runs that bus's callables.
thread_local bus_object *t_serving = nullptr;

// --- Registry bookkeeping (connection lock) -----------------------------------------

void maybe_free(export_registry &reg, object_export *o) noexcept {
    if (!o->dead.load() || o->in_flight.load() > 0 || o->handles.load() > 0)
        return;
    reg.objects.erase(std::remove(reg.objects.begin(), reg.objects.end(), o), reg.objects.end());
    delete o;
}

// Takes the vtables off the bus and answers the calls still queued for the
// object.  Connection lock held.
void unregister(export_registry &reg, object_export *o) noexcept {
    if (o->dead.exchange(true))
        return;
    for (auto &i : o->interfaces)
        i->slot = sd_bus_slot_unref(i->slot);
    for (auto it = reg.queue.begin(); it != reg.queue.end();) {
        if (it->target != o) {
            ++it;
            continue;
        }
        if (!reg.conn->closed())
            (void)sd_bus_reply_method_errorf(it->m, error_unknown_object,
                                             "Object %s was unexported.", o->path.c_str());
        sd_bus_message_unref(it->m);
        --o->in_flight;
        it = reg.queue.erase(it);
    }
}

// Drops the object's Python references.  Interpreter lock held.
void drop_references(export_registry &reg, object_export *o) noexcept {
    for (auto &i : o->interfaces) {
        for (auto &m : i->methods)
            Py_CLEAR(m.func);
        for (auto &p : i->properties) {
            Py_CLEAR(p.getter);
            Py_CLEAR(p.setter);
        }
    }
    Py_CLEAR(o->obj);
    reg.holding.erase(std::remove(reg.holding.begin(), reg.holding.end(), o), reg.holding.end());
}

void queue_call(export_registry &reg, incoming item) noexcept {
    ++item.target->in_flight;
    reg.queue.push_back(item);
    if (reg.server)
        reg.conn->wake(*reg.server);
}

// --- Handlers (connection lock, during processing) ---------------------------------------

int on_method_call(sd_bus_message *m, void *userdata, sd_bus_error *) noexcept {
    auto *method = static_cast<method_export *>(userdata);
    object_export *o = method->iface->object;
    queue_call(*o->registry,
               {sd_bus_message_ref(m), incoming::kind::method, o, method->iface, method, nullptr});
    return 1;  // answered later, by the serving thread
}

// Properties are served through the Properties interface by take_properties_call;
// sd-bus never reads them through the vtable, whose entries are there for
// introspection.  Should it ever ask, it gets an error, never memory.
int refuse_get(sd_bus *, const char *, const char *, const char *property, sd_bus_message *, void *,
               sd_bus_error *error) noexcept {
    return sd_bus_error_setf(error, error_failed, "Property %s is served by its object.", property);
}

int refuse_set(sd_bus *, const char *, const char *, const char *property, sd_bus_message *, void *,
               sd_bus_error *error) noexcept {
    return sd_bus_error_setf(error, error_failed, "Property %s is served by its object.", property);
}

}  // namespace

int take_properties_call(export_registry &reg, sd_bus_message *m) noexcept {
    if (!sd_bus_message_is_method_call(m, properties_interface, nullptr))
        return 0;
    const char *path = sd_bus_message_get_path(m);
    const char *member = sd_bus_message_get_member(m);
    if (!path || !member)
        return 0;
    std::vector<object_export *> here;
    for (object_export *o : reg.objects)
        if (!o->dead.load() && o->path == path)
            here.push_back(o);
    if (here.empty())
        return 0;  // not ours: sd-bus answers

    incoming::kind what;
    const char *want_sig;
    if (std::strcmp(member, "Get") == 0) {
        what = incoming::kind::get;
        want_sig = "ss";
    } else if (std::strcmp(member, "GetAll") == 0) {
        what = incoming::kind::get_all;
        want_sig = "s";
    } else if (std::strcmp(member, "Set") == 0) {
        what = incoming::kind::set;
        want_sig = "ssv";
    } else {
        return 0;  // sd-bus answers UnknownMethod
    }
    if (sd_bus_message_has_signature(m, want_sig) <= 0) {
        (void)sd_bus_reply_method_errorf(
            m, error_invalid_args, "Invalid arguments '%s' to call %s.%s(), expecting '%s'.",
            sd_bus_message_get_signature(m, 1), properties_interface, member, want_sig);
        return 1;
    }
    const char *iface_name = nullptr;
    const char *prop_name = nullptr;
    int r = sd_bus_message_read_basic(m, 's', &iface_name);
    if (r >= 0 && what != incoming::kind::get_all)
        r = sd_bus_message_read_basic(m, 's', &prop_name);
    if (r < 0) {
        (void)sd_bus_reply_method_errno(m, r, nullptr);
        return 1;
    }
    interface_export *iface = nullptr;
    object_export *target = nullptr;
    for (object_export *o : here)
        for (auto &i : o->interfaces)
            if (i->name == iface_name) {
                iface = i.get();
                target = o;
            }
    if (!iface) {
        (void)sd_bus_reply_method_errorf(m, error_unknown_interface, "Unknown interface '%s'.",
                                         iface_name);
        return 1;
    }
    property_export *prop = nullptr;
    if (prop_name) {
        for (auto &p : iface->properties)
            if (p.name == prop_name)
                prop = &p;
        if (!prop) {
            (void)sd_bus_reply_method_errorf(m, error_unknown_property,
                                             "Unknown property %s of interface %s.", prop_name,
                                             iface_name);
            return 1;
        }
        if (what == incoming::kind::set && !prop->setter) {
            (void)sd_bus_reply_method_errorf(m, error_read_only, "Property '%s' is not writable.",
                                             prop_name);
            return 1;
        }
    }
    (void)sd_bus_message_rewind(m, 1);
    queue_call(reg, {sd_bus_message_ref(m), what, target, iface, nullptr, prop});
    return 1;
}

export_registry *new_export_registry(connection &conn) noexcept {
    auto *reg = new (std::nothrow) export_registry;
    if (reg)
        reg->conn = &conn;
    return reg;
}

void clear_export_references(export_registry *reg) noexcept {
    if (!reg)
        return;
    while (!reg->holding.empty()) {
        object_export *o = reg->holding.back();
        o->dead.store(true);
        drop_references(*reg, o);
    }
}

void free_export_registry(export_registry *reg) noexcept {
    if (!reg)
        return;
    for (incoming &item : reg->queue)
        sd_bus_message_unref(item.m);
    reg->queue.clear();
    for (object_export *o : reg->objects) {
        for (auto &i : o->interfaces)
            i->slot = sd_bus_slot_unref(i->slot);
        delete o;
    }
    delete reg;
}

void set_service_hooks(PyObject *log, PyObject *awaitable) noexcept {
    Py_XINCREF(log);
    Py_XSETREF(g_log, log);
    Py_XINCREF(awaitable);
    Py_XSETREF(g_awaitable, awaitable);
}

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
    return false;
}

// --- Dispatch (interpreter lock) ------------------------------------------------------------

namespace {

// What to send for one incoming call once the batch has run.
struct reply_plan {
    enum class kind : uint8_t { value, error, none } what = kind::none;
    plan body;
    std::string error_name, error_text;
    plan changed;  // a PropertiesChanged to emit after the reply (Set)
};

void log_failure(PyObject *text, PyObject *exc) noexcept {
    if (!g_log)
        return;
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
    py_ref r(PyObject_CallFunctionObjArgs(g_log, text, exc ? exc : Py_None, nullptr));
    if (!r)
        PyErr_WriteUnraisable(g_log);
    PyErr_Restore(saved_type, saved_value, saved_tb);
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

// Turns the pending exception of a callable into the error reply.  Keeps
// SystemExit and KeyboardInterrupt in `fatal` to be raised out of serve().
void answer_exception(reply_plan &out, const char *what, py_ref &fatal) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    py_ref exc(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    out.what = reply_plan::kind::error;
    out.error_name = error_failed;
    PyObject *bus_error = bus_error_class();
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

// A result that did not fit: the plan's exception becomes the reply's text.
void answer_mismatch(reply_plan &out, PyObject *result, const std::string &out_sig,
                     const char *what) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    py_ref exc(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
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

// "Interface.Member" of a call, made only when a failure is to be told
// (or given as it is, with no call).
struct naming {
    const incoming *item;
    std::string text;
    const char *c_str() {
        if (text.empty() && item)
            text = item->iface->name + "." +
                   (item->method     ? item->method->name
                    : item->property ? item->property->name
                                     : std::string("GetAll"));
        return text.c_str();
    }
};

// The values a result stands for: none for an empty signature, the result
// itself for one complete type, its items for several.
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

PyObject *make_variant(const std::string &sig, PyObject *value) noexcept {
    py_ref s(PyUnicode_FromStringAndSize(sig.data(), static_cast<Py_ssize_t>(sig.size())));
    if (!s)
        return nullptr;
    return PyObject_CallFunctionObjArgs(variant_type(), s.get(), value, nullptr);
}

// The value of a property as a Variant, or null with an exception set.
PyObject *property_value(object_export *o, property_export &p) noexcept {
    py_ref getter = py_ref::borrow(p.getter);
    py_ref obj = py_ref::borrow(o->obj);
    py_ref value(PyObject_CallOneArg(getter.get(), obj.get()));
    if (!value)
        return nullptr;
    return make_variant(p.sig, value.get());
}

struct pending_reply_object;
PyObject *new_pending_reply(bus_object *bus, sd_bus_message *m, const std::string &out_sig,
                            const std::string &what) noexcept;

// Runs one incoming call.  Interpreter lock held.
void dispatch(bus_object *self, incoming &item, reply_plan &out, py_ref &fatal) noexcept {
    object_export *o = item.target;
    if (o->dead.load() || !o->obj) {
        out.what = reply_plan::kind::error;
        out.error_name = error_unknown_object;
        out.error_text = "Object " + o->path + " was unexported.";
        return;
    }
    naming what{&item, {}};
    py_ref obj = py_ref::borrow(o->obj);
    switch (item.what) {
    case incoming::kind::method: {
        py_ref func = py_ref::borrow(item.method->func);
        py_ref args(read_body(item.m));
        if (!args) {
            answer_exception(out, what.c_str(), fatal);
            return;
        }
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
        vec[1] = obj.get();
        for (Py_ssize_t i = 0; i < n; ++i)
            vec[i + 2] = PyTuple_GET_ITEM(args.get(), i);
        py_ref result(PyObject_Vectorcall(
            func.get(), vec + 1, static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
            nullptr));
        if (!result) {
            answer_exception(out, what.c_str(), fatal);
            return;
        }
        if (PyCoro_CheckExact(result.get()) ||
            (Py_TYPE(result.get())->tp_as_async && Py_TYPE(result.get())->tp_as_async->am_await)) {
            // An async method: an event loop runs it and answers later.
            if (g_awaitable && self->conn->loop_driven()) {
                py_ref reply(new_pending_reply(self, item.m, item.method->out_sig, what.c_str()));
                if (reply) {
                    item.m = nullptr;  // the reply object owns the message now
                    py_ref r(PyObject_CallFunctionObjArgs(g_awaitable,
                                                          reinterpret_cast<PyObject *>(self),
                                                          result.get(), reply.get(), nullptr));
                    if (r)
                        return;  // out stays none: nothing is sent now
                }
                answer_exception(out, what.c_str(), fatal);
                return;
            }
            py_ref close(PyObject_CallMethod(result.get(), "close", nullptr));
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s is a coroutine function: serve it with varquin.aio",
                         what.c_str());
            answer_exception(out, what.c_str(), fatal);
            return;
        }
        add_result(out, result.get(), item.method->out_sig, what);
        return;
    }
    case incoming::kind::get: {
        py_ref variant(property_value(o, *item.property));
        PyObject *v = variant.get();
        if (!v || !out.body.add("v", &v, 1, "property")) {
            out.body.clear();
            answer_exception(out, what.c_str(), fatal);
            return;
        }
        out.what = reply_plan::kind::value;
        return;
    }
    case incoming::kind::get_all: {
        py_ref all(PyDict_New());
        if (!all)
            return answer_exception(out, what.c_str(), fatal);
        for (property_export &p : item.iface->properties) {
            py_ref variant(property_value(o, p));
            if (!variant || PyDict_SetItemString(all.get(), p.name.c_str(), variant.get()) < 0)
                return answer_exception(out, what.c_str(), fatal);
        }
        PyObject *d = all.get();
        if (!out.body.add("a{sv}", &d, 1, "properties")) {
            out.body.clear();
            return answer_exception(out, what.c_str(), fatal);
        }
        out.what = reply_plan::kind::value;
        return;
    }
    case incoming::kind::set: {
        property_export &p = *item.property;
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
        py_ref setter = py_ref::borrow(p.setter);
        py_ref done(PyObject_CallFunctionObjArgs(setter.get(), obj.get(), value.get(), nullptr));
        if (!done)
            return answer_exception(out, what.c_str(), fatal);
        out.what = reply_plan::kind::value;  // an empty return
        // Everyone watching hears of the change, with the value now held.
        py_ref variant(property_value(o, p));
        py_ref changed(variant ? PyDict_New() : nullptr);
        py_ref iface(PyUnicode_FromString(item.iface->name.c_str()));
        py_ref none(PyList_New(0));
        if (changed && iface && none &&
            PyDict_SetItemString(changed.get(), p.name.c_str(), variant.get()) == 0) {
            PyObject *vals[3] = {iface.get(), changed.get(), none.get()};
            if (!out.changed.add("sa{sv}as", vals, 3, "PropertiesChanged"))
                out.changed.clear();
        }
        if (PyErr_Occurred()) {
            py_ref text(PyUnicode_FromFormat("%s: reading the value after it was set failed",
                                             what.c_str()));
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            log_failure(text.get(), v);
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
            out.changed.clear();
        }
        return;
    }
    }
}

// Sends one reply (and the signal that goes with it).  Connection lock held.
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
            (void)sd_bus_reply_method_errorf(call, out.error_name.c_str(), "%s",
                                             out.error_text.c_str());
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

}  // namespace

PyObject *run_incoming(bus_object *self) noexcept {
    connection *conn = self->conn;
    export_registry *reg = self->exports;
    if (!conn || !reg)
        Py_RETURN_NONE;
    std::vector<incoming> &batch = reg->spare;  // only the serving thread uses it
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

PyObject *pending_reply_send(PyObject *self_, PyObject *result) noexcept {
    auto *self = reinterpret_cast<pending_reply_object *>(self_);
    if (!self->m)
        Py_RETURN_NONE;
    reply_plan out;
    naming what{nullptr, *self->what};
    add_result(out, result, *self->out_sig, what);
    return pending_reply_answer(self, out);
}

PyObject *pending_reply_fail(PyObject *self_, PyObject *exc) noexcept {
    auto *self = reinterpret_cast<pending_reply_object *>(self_);
    if (!self->m)
        Py_RETURN_NONE;
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
    if (self->m) {
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

struct export_object {
    PyObject_HEAD
    bus_object *bus;  // strong reference
    object_export *target;
    PyObject *path;
    PyObject *weakrefs;
};

PyTypeObject export_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

void unexport(export_object *self) noexcept {
    object_export *o = std::exchange(self->target, nullptr);
    if (!o)
        return;
    export_registry *reg = self->bus->exports;
    connection *conn = self->bus->conn;
    if (!reg || !conn)
        return;
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
        if (connection *conn = self->bus->conn) {
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
     "close() -> None\n\nUnexports the object: its interfaces leave the bus; calls already queued\n"
     "are answered with UnknownObject.  Closing twice is fine."},
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

// --- Building an export from an Interface class's description -------------------------------

// A str item of a description tuple, as text; null with TypeError set.
const char *text_item(PyObject *tuple, Py_ssize_t i) noexcept {
    PyObject *item = PyTuple_GET_ITEM(tuple, i);
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "__dbus_interfaces__: expected a str, got %.200s",
                     Py_TYPE(item)->tp_name);
        return nullptr;
    }
    return PyUnicode_AsUTF8(item);
}

bool tuple_of(PyObject *o, Py_ssize_t n) noexcept {
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == n)
        return true;
    PyErr_Format(PyExc_TypeError, "__dbus_interfaces__: malformed description");
    return false;
}

sd_bus_vtable entry(uint8_t type, uint64_t flags) noexcept {
    sd_bus_vtable v;
    std::memset(&v, 0, sizeof v);
    v.type = type;
    v.flags = flags;
    return v;
}

// Reads (name, methods, properties, signals) into a new interface.
std::unique_ptr<interface_export> build_interface(PyObject *desc, object_export *o) noexcept {
    if (!tuple_of(desc, 4))
        return nullptr;
    auto i = std::unique_ptr<interface_export>(new (std::nothrow) interface_export);
    if (!i) {
        PyErr_NoMemory();
        return nullptr;
    }
    i->object = o;
    const char *name = text_item(desc, 0);
    if (!name)
        return nullptr;
    if (!interface_name_is_valid(name)) {
        PyErr_Format(PyExc_ValueError, "%s is not a valid interface name", name);
        return nullptr;
    }
    i->name = name;
    PyObject *methods = PyTuple_GET_ITEM(desc, 1), *props = PyTuple_GET_ITEM(desc, 2),
             *signals = PyTuple_GET_ITEM(desc, 3);
    if (!PyTuple_Check(methods) || !PyTuple_Check(props) || !PyTuple_Check(signals)) {
        PyErr_Format(PyExc_TypeError, "__dbus_interfaces__: malformed description");
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(methods); ++k) {
        PyObject *m = PyTuple_GET_ITEM(methods, k);
        if (!tuple_of(m, 4))
            return nullptr;
        const char *member = text_item(m, 0), *in = text_item(m, 1), *out = text_item(m, 2);
        if (!member || !in || !out)
            return nullptr;
        if (!member_name_is_valid(member) || !signature_is_valid(in) || !signature_is_valid(out)) {
            PyErr_Format(PyExc_ValueError, "%s.%s: invalid name or signature", name, member);
            return nullptr;
        }
        method_export me;
        me.name = member;
        me.in_sig = in;
        me.out_sig = out;
        me.func = py_ref::borrow(PyTuple_GET_ITEM(m, 3)).release();
        me.iface = i.get();
        i->methods.push_back(std::move(me));
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(props); ++k) {
        PyObject *p = PyTuple_GET_ITEM(props, k);
        if (!tuple_of(p, 4))
            return nullptr;
        const char *pname = text_item(p, 0), *sig = text_item(p, 1);
        if (!pname || !sig)
            return nullptr;
        if (!member_name_is_valid(pname) || complete_type_length(sig) != std::strlen(sig) ||
            !*sig) {
            PyErr_Format(PyExc_ValueError, "%s.%s: invalid name or signature", name, pname);
            return nullptr;
        }
        property_export pe;
        pe.name = pname;
        pe.sig = sig;
        pe.getter = py_ref::borrow(PyTuple_GET_ITEM(p, 2)).release();
        PyObject *setter = PyTuple_GET_ITEM(p, 3);
        pe.setter = setter == Py_None ? nullptr : py_ref::borrow(setter).release();
        i->properties.push_back(std::move(pe));
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(signals); ++k) {
        PyObject *s = PyTuple_GET_ITEM(signals, k);
        if (!tuple_of(s, 2))
            return nullptr;
        const char *sname = text_item(s, 0), *sig = text_item(s, 1);
        if (!sname || !sig)
            return nullptr;
        if (!member_name_is_valid(sname) || !signature_is_valid(sig)) {
            PyErr_Format(PyExc_ValueError, "%s.%s: invalid name or signature", name, sname);
            return nullptr;
        }
        i->signals.push_back({sname, sig});
    }

    // The vtable: pointers into the strings above, which never move again.
    // The start entry is filled by hand: SD_BUS_VTABLE_START would reference
    // a symbol of a newer libsystemd; without a format reference sd-bus
    // reads the table in its basic form.
    sd_bus_vtable start = entry(_SD_BUS_VTABLE_START, 0);
    start.x.start.element_size = sizeof(sd_bus_vtable);
    i->vtable.push_back(start);
    for (size_t k = 0; k < i->methods.size(); ++k) {
        sd_bus_vtable v = entry(_SD_BUS_VTABLE_METHOD, SD_BUS_VTABLE_UNPRIVILEGED);
        v.x.method.member = i->methods[k].name.c_str();
        v.x.method.signature = i->methods[k].in_sig.c_str();
        v.x.method.result = i->methods[k].out_sig.c_str();
        v.x.method.handler = on_method_call;
        // sd-bus passes the vtable's user data plus this offset: the method's own record.
        v.x.method.offset = k * sizeof(method_export);
        i->vtable.push_back(v);
    }
    for (property_export &p : i->properties) {
        // Only a writable property may carry the unprivileged flag (reading
        // needs no privilege anyway).
        sd_bus_vtable v =
            p.setter ? entry(_SD_BUS_VTABLE_WRITABLE_PROPERTY,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE | SD_BUS_VTABLE_UNPRIVILEGED)
                     : entry(_SD_BUS_VTABLE_PROPERTY, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE);
        v.x.property.member = p.name.c_str();
        v.x.property.signature = p.sig.c_str();
        v.x.property.get = refuse_get;
        v.x.property.set = p.setter ? refuse_set : nullptr;
        i->vtable.push_back(v);
    }
    for (signal_export &s : i->signals) {
        sd_bus_vtable v = entry(_SD_BUS_VTABLE_SIGNAL, 0);
        v.x.signal.member = s.name.c_str();
        v.x.signal.signature = s.sig.c_str();
        i->vtable.push_back(v);
    }
    i->vtable.push_back(entry(_SD_BUS_VTABLE_END, 0));
    return i;
}

}  // namespace

const char bus_export_doc[] =
    "export(path, obj) -> Export\n"
    "\n"
    "Serves `obj`, an instance of varquin.Interface subclasses, at object path `path`:\n"
    "one vtable per interface, answering its methods, Introspect, and\n"
    "org.freedesktop.DBus.Properties (Get, GetAll, Set, with PropertiesChanged after a\n"
    "Set).  Calls are run by serve() (or by the event loop of varquin.aio).  The object\n"
    "stays exported until Export.close() or the bus's end; dropping the Export does not\n"
    "unexport it.";

PyObject *bus_export(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
    static const char *const names[] = {"path", "obj"};
    PyObject *slots[2] = {};
    if (!parse_arguments("export", args, nargs, kwnames, args + nargs, names, 2, 2, 2, slots))
        return nullptr;
    auto *self = reinterpret_cast<bus_object *>(self_);
    const char *path = name_argument(slots[0], "path", object_path_is_valid);
    if (!path)
        return nullptr;
    connection *conn = open_connection(self);
    if (!conn || !self->exports)
        return nullptr;
    py_ref described(PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(slots[1])),
                                            "__dbus_interfaces__"));
    if (!described || !PyTuple_Check(described.get()) || PyTuple_GET_SIZE(described.get()) == 0) {
        PyErr_Clear();
        return PyErr_Format(
            PyExc_TypeError,
            "export() needs an instance of a varquin.Interface subclass, not %.200s",
            Py_TYPE(slots[1])->tp_name);
    }

    auto *o = new (std::nothrow) object_export;
    if (!o)
        return PyErr_NoMemory();
    o->path = path;
    o->registry = self->exports;
    o->obj = py_ref::borrow(slots[1]).release();
    self->exports->holding.push_back(o);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(described.get()); ++k) {
        auto iface = build_interface(PyTuple_GET_ITEM(described.get(), k), o);
        if (!iface) {
            o->dead.store(true);
            drop_references(*self->exports, o);
            delete o;
            return nullptr;
        }
        o->interfaces.push_back(std::move(iface));
    }

    py_ref handle(PyObject_GC_New(PyObject, &export_type));
    if (!handle) {
        o->dead.store(true);
        drop_references(*self->exports, o);
        delete o;
        return nullptr;
    }
    auto *e = reinterpret_cast<export_object *>(handle.get());
    e->bus = reinterpret_cast<bus_object *>(py_ref::borrow(self_).release());
    e->target = nullptr;
    e->path = py_ref::borrow(slots[0]).release();
    e->weakrefs = nullptr;
    PyObject_GC_Track(handle.get());

    int r = 0;
    std::string failed_iface;
    bool closed = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (conn->closed()) {
            closed = true;
        } else {
            for (auto &i : o->interfaces) {
                r = sd_bus_add_object_vtable(conn->bus(), &i->slot, path, i->name.c_str(),
                                             i->vtable.data(), i->methods.data());
                if (r < 0) {
                    failed_iface = i->name;
                    break;
                }
            }
            if (r >= 0 && !closed) {
                o->handles = 1;
                self->exports->objects.push_back(o);
            } else {
                for (auto &i : o->interfaces)
                    i->slot = sd_bus_slot_unref(i->slot);
            }
        }
    }
    if (closed || r < 0) {
        o->dead.store(true);
        drop_references(*self->exports, o);
        delete o;
        if (closed)
            return raise_closed();
        if (r == -EEXIST)
            return PyErr_Format(
                PyExc_ValueError,
                "interface %s is already exported at %s (or a member is declared twice)",
                failed_iface.c_str(), path);
        return raise_errno(r, "cannot export the object");
    }
    e->target = o;
    return handle.release();
}

// --- serve, stop, names, emit ------------------------------------------------------------------

const char bus_serve_doc[] =
    "serve() -> None\n"
    "\n"
    "Runs the exported objects' methods and properties for incoming calls until stop()\n"
    "is called (from any thread, or by a callable) or the bus is closed.  The interpreter\n"
    "lock is released while it waits; calls on this bus from other threads go on\n"
    "meanwhile.  Ctrl-C on the main thread raises KeyboardInterrupt out of serve(), and\n"
    "the bus stays usable.  A callable that raises SystemExit or KeyboardInterrupt\n"
    "answers its caller with an error, then the exception leaves serve().  One serve()\n"
    "at a time per bus.";

PyObject *bus_serve(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<bus_object *>(self_);
    connection *conn = open_connection(self);
    if (!conn || !self->exports)
        return nullptr;
    export_registry *reg = self->exports;
    if (reg->serving)
        return PyErr_Format(PyExc_RuntimeError, "serve() is already running for this bus");
    if (conn->loop_driven())
        return PyErr_Format(PyExc_RuntimeError, "this bus is driven by an event loop");
    py_ref keep = py_ref::borrow(self_);
    reg->serving = true;
    PyObject *result = nullptr;
    for (;;) {
        bool stop = false, closed = false, have = false;
        int lost = 0;
        waiter w;
        w.greedy = true;
        {
            gil_released unlocked;
            std::lock_guard<std::mutex> hold(conn->lock());
            if (reg->stop) {
                reg->stop = false;
                stop = true;
            } else if (conn->closed()) {
                closed = true;
            } else if (!reg->queue.empty()) {
                have = true;
            } else if (conn->error()) {
                lost = conn->error();
            } else {
                reg->server = &w;
            }
        }
        if (stop || closed) {
            result = py_ref::borrow(Py_None).release();
            break;
        }
        if (lost) {
            raise_errno(lost, "the connection was lost");
            break;
        }
        if (have) {
            py_ref r(run_incoming(self));
            if (!r)
                break;
            continue;
        }
        wait_status status;
        {
            gil_released unlocked;
            status = conn->wait(w, steady::time_point::max());
            std::lock_guard<std::mutex> hold(conn->lock());
            reg->server = nullptr;
        }
        if (status == wait_status::interrupted && PyErr_CheckSignals() < 0)
            break;
    }
    reg->serving = false;
    return result;
}

const char bus_stop_doc[] =
    "stop() -> None\n"
    "\n"
    "Makes serve() return, from any thread or from a callable it runs; when serve() is\n"
    "not running, the next serve() returns at once.";

PyObject *bus_stop(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<bus_object *>(self_);
    connection *conn = open_connection(self);
    if (!conn || !self->exports)
        return nullptr;
    export_registry *reg = self->exports;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        reg->stop = true;
        if (reg->server)
            conn->wake(*reg->server);
    }
    Py_RETURN_NONE;
}

const char bus_request_name_doc[] =
    "request_name(name, *, timeout=None) -> None\n"
    "\n"
    "Makes this connection the owner of the well-known `name`.  Already owning it is\n"
    "fine.  varquin.NameTaken (a BusError) when another connection owns it;\n"
    "AccessDenied when the bus's policy forbids it.";

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
    sd_bus_message *reply = call_and_wait(self, to, p, timeout);
    if (!reply)
        return 0;
    uint32_t answer = 0;
    const int r = sd_bus_message_read_basic(reply, 'u', &answer);
    self->conn->release(reply);
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
    "release_name(name, *, timeout=None) -> None\n"
    "\n"
    "Gives up the well-known `name`; a name this connection does not own is left as it is.";

PyObject *bus_release_name(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    const char *name = nullptr;
    if (name_call(self_, args, nargs, kwnames, "release_name", "ReleaseName", name) == 0)
        return nullptr;
    auto &owned = reinterpret_cast<bus_object *>(self_)->exports->owned_names;
    owned.erase(std::remove(owned.begin(), owned.end(), name), owned.end());
    Py_RETURN_NONE;
}

const char bus_emit_doc[] =
    "emit(path, interface, member, signature='', *args) -> None\n"
    "\n"
    "Emits the signal `member` of `interface` from the object `path`, with `args` sent as\n"
    "the complete types of `signature` (checked as for call()).";

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
    return write_out(self) ? py_ref::borrow(Py_None).release() : nullptr;
}

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
    export_type.tp_doc = "An object exported by Bus.export(): close() unexports it.";
    export_type.tp_dealloc = export_dealloc;
    export_type.tp_traverse = export_traverse;
    export_type.tp_methods = export_methods;
    export_type.tp_getset = export_getset;
    export_type.tp_weaklistoffset = offsetof(export_object, weakrefs);
    return add_type(module, &export_type, "Export");
}

int visit_exports(export_registry *reg, visitproc visit, void *arg) noexcept {
    if (!reg)
        return 0;
    for (object_export *o : reg->holding) {
        Py_VISIT(o->obj);
        for (auto &i : o->interfaces) {
            for (auto &m : i->methods)
                Py_VISIT(m.func);
            for (auto &p : i->properties) {
                Py_VISIT(p.getter);
                Py_VISIT(p.setter);
            }
        }
    }
    return 0;
}

}  // namespace vq::core
