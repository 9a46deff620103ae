#include "core/matches.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/args.hpp"
#include "core/bus.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/events.hpp"
#include "core/marshal.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

constexpr char bus_service[] = "org.freedesktop.DBus";
constexpr char bus_path[] = "/org/freedesktop/DBus";
constexpr char local_path[] = "/org/freedesktop/DBus/Local";

PyObject *g_signal_type = nullptr;

// The current owner of a well-known name that subscriptions use as sender.
struct name_owner {
    std::string owner;  // a unique name; empty while nobody owns the name
    int users = 0;  // subscriptions that use it
    sd_bus_slot *query = nullptr;  // the GetNameOwner call in flight
    std::string rule;  // the NameOwnerChanged rule for the name
};

}  // namespace

// One subscription's native state, under the connection lock.  It lives as
// long as its Python object, which threads waiting in get() keep alive.
struct subscription_state {
    std::string sender, path, interface, member;  // empty: any
    std::string rule;
    bool by_owner = false;  // the sender is a well-known name
    bool closed = false;
    std::deque<sd_bus_message *> queue;  // own references, oldest first
    std::vector<waiter *> waiters;  // threads in get()
};

struct match_registry {
    std::vector<subscription_state *> subs;
    std::map<std::string, name_owner> owners;  // node addresses are stable
};

namespace {

bool unique_or_bus(const std::string &name) noexcept {
    return name.empty() || name[0] == ':' || name == bus_service;
}

bool matches(const match_registry &registry, const subscription_state &s, sd_bus_message *m,
             const char *sender) noexcept {
    auto same = [](const std::string &want, const char *got) {
        return want.empty() || (got && want == got);
    };
    if (!same(s.path, sd_bus_message_get_path(m)) ||
        !same(s.interface, sd_bus_message_get_interface(m)) ||
        !same(s.member, sd_bus_message_get_member(m)))
        return false;
    if (s.sender.empty())
        return true;
    if (!s.by_owner)
        return sender && s.sender == sender;
    auto found = registry.owners.find(s.sender);
    return found != registry.owners.end() && !found->second.owner.empty() && sender &&
           found->second.owner == sender;
}

// NameOwnerChanged(name, old, new) of the bus: follow the owners we track.
void follow_owner(match_registry &registry, sd_bus_message *m) noexcept {
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0) {
        auto found = registry.owners.find(name);
        if (found != registry.owners.end())
            found->second.owner = new_owner;
    }
    (void)sd_bus_message_rewind(m, 1);
}

int on_owner_reply(sd_bus_message *m, void *userdata, sd_bus_error *) noexcept {
    auto *entry = static_cast<name_owner *>(userdata);
    // sd-bus holds its own reference to the slot while this runs.
    entry->query = sd_bus_slot_unref(entry->query);
    const char *owner = nullptr;
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "s", &owner) >= 0 &&
        owner)
        entry->owner = owner;
    else
        entry->owner.clear();  // NameHasNoOwner: nobody owns it yet
    return 1;
}

// A fire-and-forget call to the bus (AddMatch/RemoveMatch of the rules we
// follow ourselves).  Under the lock.
void tell_bus(connection &conn, const char *member, const std::string &rule) noexcept {
    vq::message_ptr m;
    if (sd_bus_message_new_method_call(conn.bus(), vq::out(m), bus_service, bus_path, bus_service,
                                       member) < 0)
        return;
    if (sd_bus_message_append_basic(m.get(), 's', rule.c_str()) >= 0 &&
        sd_bus_message_set_expect_reply(m.get(), 0) >= 0)
        (void)conn.send(m.get());
}

// Starts following the owner of `name`.  Under the lock.
void track_owner(match_registry &registry, connection &conn, const std::string &name) noexcept {
    name_owner &entry = registry.owners[name];
    if (entry.users++ > 0)
        return;
    entry.rule =
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
        name + "'";
    tell_bus(conn, "AddMatch", entry.rule);
    // Sent after the rule: a change between the two arrives before the
    // answer, which then tells the newer owner.
    vq::message_ptr m;
    if (sd_bus_message_new_method_call(conn.bus(), vq::out(m), bus_service, bus_path, bus_service,
                                       "GetNameOwner") < 0)
        return;
    if (sd_bus_message_append_basic(m.get(), 's', name.c_str()) >= 0)
        (void)sd_bus_call_async(conn.bus(), &entry.query, m.get(), on_owner_reply, &entry, 0);
}

void untrack_owner(match_registry &registry, connection &conn, const std::string &name) noexcept {
    auto found = registry.owners.find(name);
    if (found == registry.owners.end() || --found->second.users > 0)
        return;
    if (!conn.closed())
        tell_bus(conn, "RemoveMatch", found->second.rule);
    sd_bus_slot_unref(found->second.query);
    registry.owners.erase(found);
}

// Takes a subscription out of the registry and drops its queue.  Under the
// lock.  The bus forgets its rule.
void detach(match_registry *registry, connection &conn, subscription_state &s) noexcept {
    if (s.closed)
        return;
    s.closed = true;
    for (sd_bus_message *m : s.queue)
        sd_bus_message_unref(m);
    s.queue.clear();
    for (waiter *w : s.waiters)
        conn.wake(*w);
    if (!registry)
        return;
    auto &subs = registry->subs;
    subs.erase(std::remove(subs.begin(), subs.end(), &s), subs.end());
    if (!conn.closed() && !conn.error())
        tell_bus(conn, "RemoveMatch", s.rule);
    if (s.by_owner)
        untrack_owner(*registry, conn, s.sender);
}

}  // namespace

match_registry *new_match_registry() noexcept { return new (std::nothrow) match_registry; }

void free_match_registry(match_registry *registry, connection &conn) noexcept {
    if (!registry)
        return;
    for (subscription_state *s : registry->subs) {
        s->closed = true;
        for (sd_bus_message *m : s->queue)
            sd_bus_message_unref(m);
        s->queue.clear();
    }
    for (auto &entry : registry->owners)
        sd_bus_slot_unref(entry.second.query);
    (void)conn;
    delete registry;
}

void dispatch_signal(match_registry &registry, connection &conn, sd_bus_message *m) noexcept {
    if (!sd_bus_message_is_signal(m, nullptr, nullptr))
        return;
    const char *path = sd_bus_message_get_path(m);
    if (path && std::strcmp(path, local_path) == 0)
        return;  // sd-bus's own Disconnected: a lost connection is reported as such
    const char *sender = sd_bus_message_get_sender(m);
    if (!registry.owners.empty() && sender && std::strcmp(sender, bus_service) == 0 &&
        sd_bus_message_is_signal(m, bus_service, "NameOwnerChanged"))
        follow_owner(registry, m);
    for (subscription_state *s : registry.subs) {
        if (!matches(registry, *s, m, sender))
            continue;
        s->queue.push_back(sd_bus_message_ref(m));
        for (waiter *w : s->waiters)
            conn.wake(*w);
    }
}

void set_signal_type(PyObject *type) noexcept {
    Py_XINCREF(type);
    Py_XSETREF(g_signal_type, type);
}

// --- The Subscription type ---------------------------------------------------------------

namespace {

struct subscription_object {
    PyObject_HEAD
    bus_object *bus;  // strong reference
    subscription_state *state;  // owned
    PyObject *weakrefs;
};

PyTypeObject subscription_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// The Signal for a received message; the message is given back.
PyObject *make_signal(bus_object *bus, sd_bus_message *m) noexcept {
    auto text = [](const char *s) {
        return s ? PyUnicode_FromString(s) : py_ref::borrow(Py_None).release();
    };
    py_ref fields[5] = {py_ref(text(sd_bus_message_get_sender(m))),
                        py_ref(text(sd_bus_message_get_path(m))),
                        py_ref(text(sd_bus_message_get_interface(m))),
                        py_ref(text(sd_bus_message_get_member(m))), py_ref(read_body(m))};
    bus->conn->release(m);
    for (const py_ref &f : fields)
        if (!f)
            return nullptr;
    PyObject *args[5] = {fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                         fields[4].get()};
    if (!g_signal_type)
        return PyTuple_Pack(5, args[0], args[1], args[2], args[3], args[4]);
    return PyObject_Vectorcall(g_signal_type, args, 5, nullptr);
}

void close_subscription(subscription_object *self) noexcept {
    if (!self->state || !self->bus || !self->bus->conn)
        return;
    connection *conn = self->bus->conn;
    gil_released unlocked;
    std::lock_guard<std::mutex> hold(conn->lock());
    detach(self->bus->matches, *conn, *self->state);
}

enum class next_kind { get, iterate };

// The next signal, waiting up to `timeout` seconds.  Closed: ValueError for
// get(), StopIteration (null, no exception) for iteration.
PyObject *next_signal(subscription_object *self, double timeout, next_kind kind) noexcept {
    if (!self->state || !self->bus->conn) {
        if (kind == next_kind::iterate)
            return nullptr;
        return PyErr_Format(PyExc_ValueError, "the subscription is closed");
    }
    connection *conn = self->bus->conn;
    subscription_state &s = *self->state;
    const steady::time_point deadline = deadline_after(timeout);
    for (;;) {
        sd_bus_message *m = nullptr;
        bool closed = false;
        int lost = 0;
        waiter w;
        {
            gil_released unlocked;
            std::lock_guard<std::mutex> hold(conn->lock());
            if (s.closed || conn->closed()) {
                closed = true;
            } else if (!s.queue.empty()) {
                m = s.queue.front();
                s.queue.pop_front();
            } else if (conn->error()) {
                lost = conn->error();
            } else {
                s.waiters.push_back(&w);
            }
        }
        if (m)
            return make_signal(self->bus, m);
        if (closed) {
            if (kind == next_kind::iterate)
                return nullptr;
            return PyErr_Format(PyExc_ValueError, "the subscription is closed");
        }
        if (lost)
            return raise_errno(lost, "the connection was lost");
        wait_status status;
        {
            gil_released unlocked;
            status = conn->wait(w, deadline);
            std::lock_guard<std::mutex> hold(conn->lock());
            s.waiters.erase(std::remove(s.waiters.begin(), s.waiters.end(), &w), s.waiters.end());
        }
        if (status == wait_status::interrupted && PyErr_CheckSignals() < 0)
            return nullptr;
        if (status == wait_status::timed_out) {
            bool empty;
            {
                gil_released unlocked;
                std::lock_guard<std::mutex> hold(conn->lock());
                empty = s.queue.empty();
            }
            if (empty) {
                py_ref seconds(PyFloat_FromDouble(timeout));
                py_ref text(seconds ? PyUnicode_FromFormat("no signal within %S s", seconds.get())
                                    : nullptr);
                py_ref exc(
                    text ? PyObject_CallFunction(PyExc_TimeoutError, "iO", ETIMEDOUT, text.get())
                         : nullptr);
                if (exc)
                    PyErr_SetObject(PyExc_TimeoutError, exc.get());
                return nullptr;
            }
        }
    }
}

PyObject *subscription_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
    static const char *const names[] = {"timeout"};
    PyObject *slots[1] = {};
    if (!parse_arguments("get", args, nargs, kwnames, args + nargs, names, 1, 1, 0, slots))
        return nullptr;
    double timeout = -1;
    if (slots[0] && slots[0] != Py_None && timeout_argument(slots[0], -1, &timeout) < 0)
        return nullptr;
    return next_signal(reinterpret_cast<subscription_object *>(self), timeout, next_kind::get);
}

PyObject *subscription_next(PyObject *self) noexcept {
    return next_signal(reinterpret_cast<subscription_object *>(self), -1, next_kind::iterate);
}

// The next queued signal without waiting, or None.
PyObject *subscription_pop(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<subscription_object *>(self_);
    if (!self->state || !self->bus->conn)
        Py_RETURN_NONE;
    connection *conn = self->bus->conn;
    sd_bus_message *m = nullptr;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (!self->state->queue.empty()) {
            m = self->state->queue.front();
            self->state->queue.pop_front();
        }
    }
    if (!m)
        Py_RETURN_NONE;
    return make_signal(self->bus, m);
}

PyObject *subscription_close(PyObject *self, PyObject *) noexcept {
    close_subscription(reinterpret_cast<subscription_object *>(self));
    Py_RETURN_NONE;
}

PyObject *subscription_enter(PyObject *self, PyObject *) noexcept {
    return py_ref::borrow(self).release();
}

PyObject *subscription_exit(PyObject *self, PyObject *const *, Py_ssize_t) noexcept {
    close_subscription(reinterpret_cast<subscription_object *>(self));
    Py_RETURN_FALSE;
}

PyObject *subscription_get_rule(PyObject *self, void *) noexcept {
    auto *s = reinterpret_cast<subscription_object *>(self);
    return PyUnicode_FromString(s->state ? s->state->rule.c_str() : "");
}

PyObject *subscription_get_closed(PyObject *self, void *) noexcept {
    auto *s = reinterpret_cast<subscription_object *>(self);
    if (!s->state || !s->bus->conn)
        Py_RETURN_TRUE;
    bool closed;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(s->bus->conn->lock());
        closed = s->state->closed || s->bus->conn->closed();
    }
    return PyBool_FromLong(closed);
}

void subscription_dealloc(PyObject *obj) noexcept {
    auto *self = reinterpret_cast<subscription_object *>(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs)
        PyObject_ClearWeakRefs(obj);
    close_subscription(self);
    delete self->state;
    self->state = nullptr;
    Py_CLEAR(self->bus);
    Py_TYPE(obj)->tp_free(obj);
}

int subscription_traverse(PyObject *obj, visitproc visit, void *arg) noexcept {
    Py_VISIT(reinterpret_cast<PyObject *>(reinterpret_cast<subscription_object *>(obj)->bus));
    return 0;
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef subscription_methods[] = {
    {"get", FASTCALL_KW(subscription_get), METH_FASTCALL | METH_KEYWORDS,
     "get(timeout=None) -> varquin.Signal\n\n"
     "The next signal, oldest first, waiting up to `timeout` seconds (None: for ever) with\n"
     "the interpreter lock released.  TimeoutError when none came, ValueError once closed,\n"
     "ConnectionError when the connection is lost."},
    {"_pop", subscription_pop, METH_NOARGS, "The next queued signal without waiting, or None."},
    {"close", subscription_close, METH_NOARGS,
     "close() -> None\n\nRemoves the match from the bus and drops queued signals; a thread\n"
     "waiting in get() or iterating returns.  Closing twice is fine."},
    {"__enter__", subscription_enter, METH_NOARGS, "Returns the subscription."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subscription_exit)),
     METH_FASTCALL, "Closes the subscription."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef subscription_getset[] = {
    {"rule", subscription_get_rule, nullptr, "The match rule sent to the bus.", nullptr},
    {"closed", subscription_get_closed, nullptr, "Whether the subscription is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A rule component; values are checked names, which hold no quote.
void add_component(std::string &rule, const char *key, const std::string &value) {
    if (value.empty())
        return;
    rule += ",";
    rule += key;
    rule += "='";
    rule += value;
    rule += "'";
}

}  // namespace

const char bus_subscribe_doc[] =
    "subscribe(sender=None, path=None, interface=None, member=None) -> Subscription\n"
    "\n"
    "A subscription to the signals that match every given part (None: any).  The match\n"
    "is in place on the bus when this returns: a signal emitted afterwards is received.\n"
    "sub.get(timeout) gives the next varquin.Signal(sender, path, interface, member,\n"
    "args); iterating blocks between signals until sub.close().  Use it as a context\n"
    "manager.  Signals are queued until read.";

namespace {

// A new subscription, registered before its rule reaches the bus (so that
// the first signal the rule lets through finds it), and in `add` the values
// of the AddMatch call its caller makes.  Interpreter lock held.
PyObject *new_subscription(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, plan &add) noexcept {
    static const char *const names[] = {"sender", "path", "interface", "member"};
    PyObject *slots[4] = {};
    if (!parse_arguments("subscribe", args, nargs, kwnames, args + nargs, names, 4, 4, 0, slots))
        return nullptr;
    auto *bus = reinterpret_cast<bus_object *>(self_);
    const char *parts[4] = {};
    bool (*valid[4])(std::string_view) = {bus_name_is_valid, object_path_is_valid,
                                          interface_name_is_valid, member_name_is_valid};
    for (int i = 0; i < 4; ++i) {
        if (!slots[i])
            continue;
        parts[i] = name_argument(slots[i], names[i], valid[i], true);
        if (!parts[i] && PyErr_Occurred())
            return nullptr;
    }
    connection *conn = open_connection(bus);
    if (!conn)
        return nullptr;

    auto *state = new (std::nothrow) subscription_state;
    if (!state)
        return PyErr_NoMemory();
    state->sender = parts[0] ? parts[0] : "";
    state->path = parts[1] ? parts[1] : "";
    state->interface = parts[2] ? parts[2] : "";
    state->member = parts[3] ? parts[3] : "";
    state->by_owner = !unique_or_bus(state->sender);
    state->rule = "type='signal'";
    add_component(state->rule, "sender", state->sender);
    add_component(state->rule, "path", state->path);
    add_component(state->rule, "interface", state->interface);
    add_component(state->rule, "member", state->member);

    py_ref obj(PyObject_GC_New(PyObject, &subscription_type));
    if (!obj) {
        delete state;
        return nullptr;
    }
    auto *sub = reinterpret_cast<subscription_object *>(obj.get());
    sub->bus = reinterpret_cast<bus_object *>(py_ref::borrow(self_).release());
    sub->state = state;
    sub->weakrefs = nullptr;
    PyObject_GC_Track(obj.get());

    bool closed = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (conn->closed() || !bus->matches) {
            closed = true;
            state->closed = true;
        } else {
            bus->matches->subs.push_back(state);
            if (state->by_owner)
                track_owner(*bus->matches, *conn, state->sender);
        }
    }
    if (closed)
        return raise_closed();
    py_ref rule(PyUnicode_FromString(state->rule.c_str()));
    PyObject *rule_arg = rule.get();
    if (!rule || !add.add("s", &rule_arg, 1, "rule"))
        return nullptr;
    return obj.release();
}

const call_target add_match{bus_service, bus_path, bus_service, "AddMatch"};

}  // namespace

PyObject *bus_subscribe(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept {
    plan values;
    py_ref sub(new_subscription(self_, args, nargs, kwnames, values));
    if (!sub)
        return nullptr;
    auto *bus = reinterpret_cast<bus_object *>(self_);
    sd_bus_message *reply = call_and_wait(bus, add_match, values, default_timeout);
    if (!reply)
        return nullptr;  // the object's destruction takes the subscription out
    bus->conn->release(reply);
    return sub.release();
}

PyObject *bus_subscribe_start(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) noexcept {
    plan values;
    py_ref sub(new_subscription(self_, args, nargs, kwnames, values));
    if (!sub)
        return nullptr;
    py_ref pending(start_pending_call(reinterpret_cast<bus_object *>(self_), add_match, values,
                                      default_timeout));
    if (!pending)
        return nullptr;
    return PyTuple_Pack(2, sub.get(), pending.get());
}

int subscription_type_ready(PyObject *module) noexcept {
    subscription_type.tp_name = "varquin.Subscription";
    subscription_type.tp_basicsize = sizeof(subscription_object);
    subscription_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    subscription_type.tp_doc =
        "A signal subscription made by Bus.subscribe(): get(timeout), iteration, close().";
    subscription_type.tp_dealloc = subscription_dealloc;
    subscription_type.tp_traverse = subscription_traverse;
    subscription_type.tp_iter = PyObject_SelfIter;
    subscription_type.tp_iternext = subscription_next;
    subscription_type.tp_methods = subscription_methods;
    subscription_type.tp_getset = subscription_getset;
    subscription_type.tp_weaklistoffset = offsetof(subscription_object, weakrefs);
    return add_type(module, &subscription_type, "Subscription");
}

}  // namespace vq::core
