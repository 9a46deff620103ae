#include "core/matches.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/args.hpp"
#include "core/bus.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/events.hpp"
#include "core/marshal.hpp"
#include "core/state.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

constexpr char bus_service[] = "org.freedesktop.DBus";
constexpr char bus_path[] = "/org/freedesktop/DBus";
constexpr char local_path[] = "/org/freedesktop/DBus/Local";

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
    std::string path_namespace, arg0namespace;  // empty: any
    std::vector<std::pair<unsigned, std::string>> args;  // argN='value', by N
    // When keep_arg >= 0: a signal whose argument keep_arg (a string or an
    // object path) is not
    // one of `keep` is dropped as it arrives, before it takes a place in
    // the bounded queue (see _keep()).
    int keep_arg = -1;
    std::unordered_set<std::string> keep;
    std::string rule;
    bool by_owner = false;  // the sender is a well-known name
    bool closed = false;
    size_t max_queued = default_max_queued;
    uint64_t lost = 0;  // dropped from a full queue since the last get()
    std::deque<sd_bus_message *> queue;  // own references, oldest first
    std::vector<waiter *> waiters;  // threads in get()
};

struct match_registry {
    std::vector<subscription_state *> subs;
    bool peer = false;  // a connection to a peer: no bus, no rules, no senders
    std::map<std::string, name_owner> owners;  // node addresses are stable
    // Held while a queued signal is read into Python values.  One message
    // may sit in the queues of several subscriptions, and reading moves the
    // message's own read position, so two threads must not read one at
    // once.  Lock order: taken before the interpreter lock, or with it held
    // only by try_lock (see make_signal); never with the connection lock.
    std::mutex reading;
};

namespace {

bool unique_or_bus(const std::string &name) noexcept {
    return name.empty() || name[0] == ':' || name == bus_service;
}

// The string arguments of one received signal, read as far as a rule asks
// for them; the message is rewound afterwards.  The texts point into the
// message.
class signal_strings {
public:
    explicit signal_strings(sd_bus_message *m) noexcept : m_(m) {}
    ~signal_strings() {
        if (started_)
            (void)sd_bus_message_rewind(m_, 1);
    }
    signal_strings(const signal_strings &) = delete;
    signal_strings &operator=(const signal_strings &) = delete;

    // Argument `index` when it is a string, else null.
    const char *at(unsigned index) noexcept {
        const char *value = text_at(index);
        return value && !(paths_ & (uint64_t{1} << index)) ? value : nullptr;
    }

    // Argument `index` when it is a string or an object path, else null.
    const char *text_at(unsigned index) noexcept {
        if (!started_) {
            started_ = true;
            const char *sig = sd_bus_message_get_signature(m_, 1);
            sig_ = sig ? sig : "";
            (void)sd_bus_message_rewind(m_, 1);
        }
        while (count_ <= index && !failed_) {
            const size_t n = complete_type_length(sig_);
            const char *value = nullptr;
            if (n == 1 && (sig_[0] == 's' || sig_[0] == 'o')) {
                failed_ = sd_bus_message_read_basic(m_, sig_[0], &value) < 0;
                if (sig_[0] == 'o')
                    paths_ |= uint64_t{1} << count_;
            } else {
                const std::string type(sig_.substr(0, n));
                failed_ = n == 0 || sd_bus_message_skip(m_, type.c_str()) < 0;
            }
            sig_.remove_prefix(n);
            values_[count_++] = value;
        }
        return index < count_ ? values_[index] : nullptr;
    }

private:
    sd_bus_message *m_;
    std::string_view sig_;
    const char *values_[max_arg_matches] = {};
    unsigned count_ = 0;
    uint64_t paths_ = 0;  // bit N: argument N is an object path
    bool started_ = false, failed_ = false;
};

// `name` is `space` or lies below it, elements separated by `sep` ("/" as
// a path namespace holds every path).
bool within(const std::string &space, const char *name, char sep) noexcept {
    if (!name)
        return false;
    const size_t n = space.size();
    if (sep == '/' && space == "/")
        return true;
    return std::strncmp(name, space.c_str(), n) == 0 && (name[n] == '\0' || name[n] == sep);
}

bool matches(const match_registry &registry, const subscription_state &s, sd_bus_message *m,
             const char *sender, signal_strings &strings) noexcept {
    auto same = [](const std::string &want, const char *got) {
        return want.empty() || (got && want == got);
    };
    const char *path = sd_bus_message_get_path(m);
    if (!same(s.path, path) || !same(s.interface, sd_bus_message_get_interface(m)) ||
        !same(s.member, sd_bus_message_get_member(m)))
        return false;
    if (!s.path_namespace.empty() && !within(s.path_namespace, path, '/'))
        return false;
    if (!s.sender.empty() && !registry.peer) {
        if (!s.by_owner) {
            if (!sender || s.sender != sender)
                return false;
        } else {
            auto found = registry.owners.find(s.sender);
            if (found == registry.owners.end() || found->second.owner.empty() || !sender ||
                found->second.owner != sender)
                return false;
        }
    }
    // Argument matches concern string arguments only, as the bus applies them.
    for (const auto &[index, value] : s.args) {
        const char *got = strings.at(index);
        if (!got || value != got)
            return false;
    }
    return s.arg0namespace.empty() || within(s.arg0namespace, strings.at(0), '.');
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
    if (registry->peer)
        return;
    if (!conn.closed() && !conn.error())
        tell_bus(conn, "RemoveMatch", s.rule);
    if (s.by_owner)
        untrack_owner(*registry, conn, s.sender);
}

}  // namespace

match_registry *new_match_registry() noexcept { return new (std::nothrow) match_registry; }

void set_peer_registry(match_registry &registry) noexcept { registry.peer = true; }

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
    signal_strings strings(m);
    for (subscription_state *s : registry.subs) {
        if (!matches(registry, *s, m, sender, strings))
            continue;
        if (s->keep_arg >= 0) {
            const char *value = strings.text_at(static_cast<unsigned>(s->keep_arg));
            if (!value || !s->keep.count(value))
                continue;
        }
        if (s->queue.size() >= s->max_queued) {
            // Full: the oldest goes, and the next get() says how many went.
            sd_bus_message_unref(s->queue.front());
            s->queue.pop_front();
            ++s->lost;
        }
        s->queue.push_back(sd_bus_message_ref(m));
        for (waiter *w : s->waiters)
            conn.wake(*w);
    }
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
    py_ref body;
    {
        // Another subscription's thread may be reading the same message:
        // wait for it with the interpreter lock released, as it may need
        // the interpreter lock to finish.
        std::unique_lock<std::mutex> reading(bus->matches->reading, std::try_to_lock);
        if (!reading.owns_lock()) {
            gil_released unlocked;
            reading.lock();
        }
        (void)sd_bus_message_rewind(m, 1);
        body.reset(read_body(m));
    }
    py_ref fields[5] = {py_ref(text(sd_bus_message_get_sender(m))),
                        py_ref(text(sd_bus_message_get_path(m))),
                        py_ref(text(sd_bus_message_get_interface(m))),
                        py_ref(text(sd_bus_message_get_member(m))), std::move(body)};
    bus->conn->release(m);
    for (const py_ref &f : fields)
        if (!f)
            return nullptr;
    PyObject *args[5] = {fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                         fields[4].get()};
    PyObject *signal = state().signal_type;
    if (!signal)
        return PyTuple_Pack(5, args[0], args[1], args[2], args[3], args[4]);
    return PyObject_Vectorcall(signal, args, 5, nullptr);
}

// What a subscription hands out next, taken under the connection lock:
// the count of signals dropped since the last one (reported first), else
// the oldest queued signal.
struct next_item {
    uint64_t lost = 0;
    sd_bus_message *m = nullptr;
};

next_item take_next(subscription_state &s) noexcept {
    next_item next;
    if (s.lost) {
        next.lost = std::exchange(s.lost, 0);
    } else if (!s.queue.empty()) {
        next.m = s.queue.front();
        s.queue.pop_front();
    }
    return next;
}

// The Signal of `next`, or SignalsLost raised for what was dropped.
PyObject *hand_out(subscription_object *self, const next_item &next) noexcept {
    if (next.lost)
        return raise_signals_lost(next.lost, self->state->max_queued);
    return make_signal(self->bus, next.m);
}

void close_subscription(subscription_object *self) noexcept {
    // One inherited across fork() is the parent's: left alone.
    if (!self->state || !self->bus || !self->bus->conn || self->bus->conn->inherited())
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
    if (conn->inherited())
        return raise_inherited();
    subscription_state &s = *self->state;
    const steady::time_point deadline = deadline_after(timeout);
    for (;;) {
        next_item next;
        bool closed = false;
        int lost = 0;
        waiter w;
        {
            gil_released unlocked;
            std::lock_guard<std::mutex> hold(conn->lock());
            if (s.closed || conn->closed()) {
                closed = true;
            } else {
                next = take_next(s);
                if (next.lost || next.m)
                    ;  // handed out below
                else if (conn->error())
                    lost = conn->error();
                else
                    s.waiters.push_back(&w);
            }
        }
        if (next.lost || next.m)
            return hand_out(self, next);
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
                empty = s.queue.empty() && !s.lost;
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

// The next queued signal without waiting, or None; SignalsLost first when
// signals were dropped.
PyObject *subscription_pop(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<subscription_object *>(self_);
    if (!self->state || !self->bus->conn)
        Py_RETURN_NONE;
    connection *conn = self->bus->conn;
    if (conn->inherited())
        return raise_inherited();
    next_item next;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (!self->state->closed)
            next = take_next(*self->state);
    }
    if (!next.lost && !next.m)
        Py_RETURN_NONE;
    return hand_out(self, next);
}

// _keep(index, values): from now on only signals whose argument `index`
// (a string or an object path) is one of `values` (an iterable of str) are queued; None as
// `values` queues every signal again.  The set is built with the
// interpreter lock held and swapped in under the connection lock.
PyObject *subscription_keep(PyObject *self_, PyObject *const *args, Py_ssize_t nargs) noexcept {
    auto *self = reinterpret_cast<subscription_object *>(self_);
    if (nargs != 2)
        return PyErr_Format(PyExc_TypeError,
                            "_keep() takes an argument index and the values to keep");
    const long index = PyLong_AsLong(args[0]);
    if (index == -1 && PyErr_Occurred())
        return nullptr;
    if (index < 0 || index >= static_cast<long>(max_arg_matches))
        return PyErr_Format(PyExc_ValueError, "argument index must be 0 to %d",
                            int(max_arg_matches) - 1);
    std::unordered_set<std::string> keep;
    const bool all = args[1] == Py_None;
    if (!all) {
        py_ref it(PyObject_GetIter(args[1]));
        if (!it)
            return nullptr;
        while (PyObject *item = PyIter_Next(it.get())) {
            py_ref owned(item);
            Py_ssize_t n = 0;
            const char *text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &n) : nullptr;
            if (!text) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_TypeError, "_keep() takes str values, not %.200s",
                                 Py_TYPE(item)->tp_name);
                return nullptr;
            }
            keep.emplace(text, static_cast<size_t>(n));
        }
        if (PyErr_Occurred())
            return nullptr;
    }
    if (!self->state || !self->bus->conn)
        Py_RETURN_NONE;
    connection *conn = self->bus->conn;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        self->state->keep_arg = all ? -1 : static_cast<int>(index);
        self->state->keep.swap(keep);
    }
    // The old set is freed here, without the connection lock.
    Py_RETURN_NONE;
}

// Whether _pop() has something to give or the subscription is closed: an
// event loop wakes its reader then.
PyObject *subscription_get_ready(PyObject *self_, void *) noexcept {
    auto *self = reinterpret_cast<subscription_object *>(self_);
    if (!self->state || !self->bus->conn || self->bus->conn->inherited())
        Py_RETURN_TRUE;
    connection *conn = self->bus->conn;
    bool ready;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        const subscription_state &s = *self->state;
        ready = s.closed || s.lost || !s.queue.empty() || conn->closed() || conn->error();
    }
    return PyBool_FromLong(ready);
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
    if (s->bus->conn->inherited())  // no thread of this process can change it
        return PyBool_FromLong(s->state->closed || s->bus->conn->closed());
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
     "get($self, timeout=None)\n--\n\n"
     "Returns the next varquin.Signal, oldest first, waiting up to `timeout` seconds\n"
     "(None: for ever) with the interpreter lock released.  Raises TimeoutError when\n"
     "none came, ValueError once closed, ConnectionError when the connection is lost.\n"
     "When the queue was full and its oldest signals were dropped, raises\n"
     "varquin.SignalsLost (its `lost` says how many) once; the next get() goes on with\n"
     "the signals kept.\n\n"
     "    signal = sub.get(timeout=5)\n"
     "    print(signal.member, signal.args)"},
    {"_pop", subscription_pop, METH_NOARGS, "The next queued signal without waiting, or None."},
    {"_keep", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subscription_keep)),
     METH_FASTCALL,
     "_keep(index, values): queue only signals whose argument `index` (a string or an\n"
     "object path) is one of\n"
     "`values` (None: all); the others are dropped as they arrive."},
    {"close", subscription_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Removes the match from the bus, drops the queued signals and returns None; a\n"
     "thread waiting in get() or iterating returns.  Closing twice is fine."},
    {"__enter__", subscription_enter, METH_NOARGS, "Returns the subscription."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(subscription_exit)),
     METH_FASTCALL, "Closes the subscription."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef subscription_getset[] = {
    {"rule", subscription_get_rule, nullptr, "The match rule sent to the bus.", nullptr},
    {"closed", subscription_get_closed, nullptr, "Whether the subscription is closed.", nullptr},
    {"_ready", subscription_get_ready, nullptr, "Whether _pop() has something to give.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A rule component `key='value'`.  An apostrophe in the value ends the
// quotes, is written escaped, and opens them again: '\''.
void add_component(std::string &rule, const char *key, std::string_view value) {
    rule += ",";
    rule += key;
    rule += "='";
    for (char c : value) {
        if (c == '\'')
            rule += "'\\''";
        else
            rule += c;
    }
    rule += "'";
}

// One element is a namespace too ("org"), besides any bus name.
bool namespace_is_valid(std::string_view name) noexcept {
    return !name.empty() && name[0] != ':' && bus_name_is_valid(std::string(name) + ".x");
}

// args={N: "value", ...}: the argument matches, sorted by N.  False with an
// exception set.
bool read_arg_matches(PyObject *obj, subscription_state &state) noexcept {
    if (!obj || obj == Py_None)
        return true;
    if (!PyDict_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "args must be a dict of argument numbers to str, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &at, &key, &value)) {
        if (!PyLong_Check(key) || PyBool_Check(key)) {
            PyErr_Format(PyExc_TypeError, "args keys must be argument numbers (int), not %.200s",
                         Py_TYPE(key)->tp_name);
            return false;
        }
        const long n = PyLong_AsLong(key);
        if (n < 0 || n >= static_cast<long>(max_arg_matches)) {
            PyErr_Clear();  // an overflow is out of range too
            PyErr_Format(PyExc_ValueError, "args key %R is not an argument number from 0 to %u",
                         key, max_arg_matches - 1);
            return false;
        }
        if (!PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "args[%ld] must be a str, not %.200s", n,
                         Py_TYPE(value)->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text)
            return false;
        if (std::strlen(text) != static_cast<size_t>(size)) {
            PyErr_Format(PyExc_ValueError, "args[%ld] must not contain NUL", n);
            return false;
        }
        state.args.emplace_back(static_cast<unsigned>(n), std::string(text, size));
    }
    std::sort(state.args.begin(), state.args.end());
    return true;
}

// max_queued: None for the default, else a positive int.
bool read_bound(PyObject *obj, size_t &bound) noexcept {
    if (!obj || obj == Py_None)
        return true;
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "max_queued must be an int, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(obj);
    if (n < 1) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "max_queued must be a positive number of signals, not %R",
                     obj);
        return false;
    }
    bound = static_cast<size_t>(n);
    return true;
}

}  // namespace

const char bus_subscribe_doc[] =
    "subscribe($self, sender=None, path=None, interface=None, member=None, *, args=None, "
    "arg0namespace=None, path_namespace=None, max_queued=None)\n"
    "--\n"
    "\n"
    "Returns a varquin.Subscription to the signals that match every given part (None:\n"
    "any).  The match is in place on the bus when this returns, so a signal emitted\n"
    "afterwards is received.  sub.get(timeout) gives the next varquin.Signal(sender,\n"
    "path, interface, member, args); iterating blocks between signals until\n"
    "sub.close().  Use it as a context manager.\n"
    "\n"
    "args={0: 'value', 2: 'other'} matches signals whose string argument N is that\n"
    "text; arg0namespace='org.example' those whose first argument is that name or one\n"
    "below it; path_namespace='/org/example' those from that path or one below it (not\n"
    "together with path).  Each subscription sees only the signals its own rule\n"
    "matches, whatever other rules let through.  A well-known sender is matched\n"
    "against its current owner.\n"
    "\n"
    "Signals are queued until read, at most max_queued of them (None: 10000); when the\n"
    "queue is full the oldest are dropped, and the next get() raises\n"
    "varquin.SignalsLost saying how many.\n"
    "\n"
    "Raises ValueError for an invalid name, path or namespace, for path together with\n"
    "path_namespace and for a max_queued that is not a positive number; TypeError for\n"
    "args that is not a dict from int to str; the BusError of a refused AddMatch\n"
    "(LimitsExceeded, ...); ConnectionError when the connection is gone; ValueError\n"
    "when the bus is closed.\n"
    "\n"
    "    with bus.subscribe(member=\"NameOwnerChanged\") as sub:\n"
    "        signal = sub.get(timeout=5)\n"
    "        name, old_owner, new_owner = signal.args";

namespace {

// A new subscription, registered before its rule reaches the bus (so that
// the first signal the rule lets through finds it), and in `add` the values
// of the AddMatch call its caller makes (`peer` set instead on a connection
// to a peer, where the caller pings it: the rule goes nowhere).
// Interpreter lock held.
PyObject *new_subscription(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, plan &add, bool &peer) noexcept {
    static const char *const names[] = {"sender", "path",          "interface",      "member",
                                        "args",   "arg0namespace", "path_namespace", "max_queued"};
    enum { sender, path, interface, member, args_slot, arg0namespace, path_namespace, bound };
    PyObject *slots[8] = {};
    if (!parse_arguments("subscribe", args, nargs, kwnames, args + nargs, names, 8, 4, 0, slots))
        return nullptr;
    auto *bus = reinterpret_cast<bus_object *>(self_);
    // The names, each checked as its kind (args and max_queued are read below).
    bool (*valid[7])(std::string_view) = {
        bus_name_is_valid, object_path_is_valid, interface_name_is_valid, member_name_is_valid,
        nullptr,           namespace_is_valid,   object_path_is_valid};
    const char *parts[7] = {};
    for (int i = 0; i < 7; ++i) {
        if (!valid[i] || !slots[i])
            continue;
        parts[i] = name_argument(slots[i], names[i], valid[i], true);
        if (!parts[i] && PyErr_Occurred())
            return nullptr;
    }
    if (parts[path] && parts[path_namespace])
        return PyErr_Format(PyExc_ValueError, "path and path_namespace cannot both be given");
    std::unique_ptr<subscription_state> state = vq::allocate<subscription_state>();
    if (!state)
        return PyErr_NoMemory();
    if (!read_arg_matches(slots[args_slot], *state) || !read_bound(slots[bound], state->max_queued))
        return nullptr;
    if (parts[arg0namespace] && !state->args.empty() && state->args[0].first == 0)
        return PyErr_Format(PyExc_ValueError, "args[0] and arg0namespace cannot both be given");
    connection *conn = open_connection(bus);
    if (!conn)
        return nullptr;

    auto text = [&parts](int i) { return std::string(parts[i] ? parts[i] : ""); };
    state->sender = text(sender);
    state->path = text(path);
    state->path_namespace = text(path_namespace);
    state->interface = text(interface);
    state->member = text(member);
    state->arg0namespace = text(arg0namespace);
    state->by_owner = !unique_or_bus(state->sender);
    state->rule = "type='signal'";
    const std::pair<const char *, const std::string *> components[] = {
        {"sender", &state->sender},
        {"path", &state->path},
        {"path_namespace", &state->path_namespace},
        {"interface", &state->interface},
        {"member", &state->member}};
    for (const auto &[key, value] : components)
        if (!value->empty())
            add_component(state->rule, key, *value);
    for (const auto &[index, value] : state->args)
        add_component(state->rule, ("arg" + std::to_string(index)).c_str(), value);
    if (!state->arg0namespace.empty())
        add_component(state->rule, "arg0namespace", state->arg0namespace);

    py_ref obj(PyObject_GC_New(PyObject, &subscription_type));
    if (!obj)
        return nullptr;
    auto *sub = reinterpret_cast<subscription_object *>(obj.get());
    sub->bus = reinterpret_cast<bus_object *>(py_ref::borrow(self_).release());
    sub->state = state.release();
    sub->weakrefs = nullptr;
    PyObject_GC_Track(obj.get());

    bool closed = false;
    peer = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (conn->closed() || !bus->matches) {
            closed = true;
            sub->state->closed = true;
        } else {
            bus->matches->subs.push_back(sub->state);
            peer = bus->matches->peer;
            if (sub->state->by_owner && !peer)
                track_owner(*bus->matches, *conn, sub->state->sender);
        }
    }
    if (closed)
        return raise_closed();
    if (peer)
        return obj.release();
    py_ref rule(PyUnicode_FromString(sub->state->rule.c_str()));
    PyObject *rule_arg = rule.get();
    if (!rule || !add.add("s", &rule_arg, 1, "rule"))
        return nullptr;
    return obj.release();
}

const call_target add_match{bus_service, bus_path, bus_service, "AddMatch"};
// A peer answers Peer.Ping on any path: its answer comes after whatever the
// peer sent before it, as the bus's answer to AddMatch does.
const call_target peer_ping{nullptr, "/", "org.freedesktop.DBus.Peer", "Ping"};

}  // namespace

PyObject *bus_subscribe(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept {
    plan values;
    bool peer = false;
    py_ref sub(new_subscription(self_, args, nargs, kwnames, values, peer));
    if (!sub)
        return nullptr;
    auto *bus = reinterpret_cast<bus_object *>(self_);
    reply_ref reply = call_and_wait(bus, peer ? peer_ping : add_match, values, default_timeout);
    if (!reply)
        return nullptr;  // the object's destruction takes the subscription out
    return sub.release();
}

PyObject *bus_subscribe_start(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) noexcept {
    plan values;
    bool peer = false;
    py_ref sub(new_subscription(self_, args, nargs, kwnames, values, peer));
    if (!sub)
        return nullptr;
    py_ref pending(start_pending_call(reinterpret_cast<bus_object *>(self_),
                                      peer ? peer_ping : add_match, values, default_timeout));
    if (!pending)
        return nullptr;
    return PyTuple_Pack(2, sub.get(), pending.get());
}

int subscription_type_ready(PyObject *module) noexcept {
    subscription_type.tp_name = "varquin.Subscription";
    subscription_type.tp_basicsize = sizeof(subscription_object);
    subscription_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    subscription_type.tp_doc =
        "A signal subscription made by Bus.subscribe(): get(timeout) gives the next signal,\n"
        "iterating gives each signal as it comes until close(), and `with` closes it.\n\n"
        "    with bus.subscribe(member=\"NameOwnerChanged\") as sub:\n"
        "        for signal in sub:\n"
        "            print(signal.args)";
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
