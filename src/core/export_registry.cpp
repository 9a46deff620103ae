#include "core/export_registry.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "core/export.hpp"
#include "gil.hpp"

namespace vq::core {

void maybe_free(export_registry &reg, object_export *o) noexcept {
    if (!o->dead.load() || o->in_flight.load() > 0 || o->handles.load() > 0)
        return;
    for (auto &i : o->interfaces)  // unregister() took them off; never free what sd-bus reads
        i->slot = sd_bus_slot_unref(i->slot);
    reg.objects.erase(std::remove(reg.objects.begin(), reg.objects.end(), o), reg.objects.end());
    delete o;
}

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

namespace {

// Takes the object off the holding list and moves its Python references
// into `out`, running no Python code.
void take_references(export_registry &reg, object_export *o,
                     std::vector<PyObject *> &out) noexcept {
    reg.holding.erase(std::remove(reg.holding.begin(), reg.holding.end(), o), reg.holding.end());
    auto take = [&out](PyObject *&ref) {
        if (ref)
            out.push_back(std::exchange(ref, nullptr));
    };
    for (auto &i : o->interfaces) {
        for (auto &m : i->methods)
            take(m.func);
        for (auto &p : i->properties) {
            take(p.getter);
            take(p.setter);
        }
    }
    take(o->obj);
}

// Releasing a reference may run any code: an object's destructor may drop
// the Export handles it kept, which frees the records of objects already
// unexported.  So every record concerned is off the holding list, with its
// references taken out, before the first one is released: nothing released
// here can free a record that is still reachable.
void release(std::vector<PyObject *> &refs) noexcept {
    for (PyObject *ref : refs)
        Py_DECREF(ref);
    refs.clear();
}

}  // namespace

void drop_references(export_registry &reg, object_export *o) noexcept {
    std::vector<PyObject *> refs;
    take_references(reg, o, refs);
    release(refs);
}

void queue_call(export_registry &reg, incoming item) noexcept {
    ++item.target->in_flight;
    reg.queue.push_back(item);
    if (reg.server)
        reg.conn->wake(*reg.server);
}

export_registry *new_export_registry(connection &conn) noexcept {
    auto *reg = new (std::nothrow) export_registry;
    if (reg)
        reg->conn = &conn;
    return reg;
}

void note_name_change(export_registry &reg, sd_bus_message *m) noexcept {
    static constexpr const char *daemon = "org.freedesktop.DBus";
    const bool acquired = sd_bus_message_is_signal(m, daemon, "NameAcquired") > 0;
    if (!acquired && sd_bus_message_is_signal(m, daemon, "NameLost") <= 0)
        return;
    const char *sender = sd_bus_message_get_sender(m);
    const char *name = nullptr;
    if (!sender || std::strcmp(sender, daemon) != 0 ||
        sd_bus_message_read_basic(m, 's', &name) < 0 || !name) {
        (void)sd_bus_message_rewind(m, 1);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(reg.names_lock);
        auto &names = reg.acquired_names;
        const auto at = std::find(names.begin(), names.end(), name);
        if (acquired && at == names.end())
            names.emplace_back(name);
        else if (!acquired && at != names.end())
            names.erase(at);
    }
    // Subscriptions read the same message from its start.
    (void)sd_bus_message_rewind(m, 1);
}

void clear_export_references(export_registry *reg) noexcept {
    if (!reg)
        return;
    // Every vtable leaves the bus before any record can be freed: sd-bus
    // reads the records (member names, the vtable) while it processes, and
    // a record may go as soon as its references are dropped.  The
    // interpreter lock is released before the connection lock is taken.
    // A connection inherited across fork() is never processed in this
    // process, and its lock may be held by a thread that does not exist
    // here: its vtables stay where they are and only the references go.
    if (!reg->conn->inherited()) {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(reg->conn->lock());
        for (object_export *o : reg->objects)
            unregister(*reg, o);
    }
    // Code run by a release may export again: what it adds goes too.
    std::vector<PyObject *> refs;
    while (!reg->holding.empty()) {
        const std::vector<object_export *> held = reg->holding;
        for (object_export *o : held)
            take_references(*reg, o, refs);
        release(refs);
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
