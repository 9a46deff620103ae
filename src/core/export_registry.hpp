// The records behind exported objects: one per object, one per interface
// and member, the queue of incoming calls, and the registry a bus keeps
// them in.  The bookkeeping here keeps a record alive while sd-bus, a
// queued call or an Export handle can still reach it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/connection.hpp"

namespace vq::core {

struct export_registry;

inline constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";
inline constexpr char error_failed[] = "org.freedesktop.DBus.Error.Failed";
inline constexpr char error_unknown_object[] = "org.freedesktop.DBus.Error.UnknownObject";
inline constexpr char error_unknown_interface[] = "org.freedesktop.DBus.Error.UnknownInterface";
inline constexpr char error_unknown_property[] = "org.freedesktop.DBus.Error.UnknownProperty";
inline constexpr char error_invalid_args[] = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char error_read_only[] = "org.freedesktop.DBus.Error.PropertyReadOnly";

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
    // What PropertiesChanged says of it (its EmitsChangedSignal annotation):
    // the new value, only its name, or nothing (const: it never changes).
    enum class emits : uint8_t { value, invalidation, never, nothing };
    std::string name, sig;
    PyObject *getter = nullptr;
    PyObject *setter = nullptr;  // null: read-only
    emits announce = emits::value;
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
    std::vector<incoming> spare;  // interpreter lock: a batch's storage, kept for its capacity
    bool spare_taken = false;  // interpreter lock: a run_incoming() uses `spare`
    waiter *server = nullptr;  // connection lock: serve()'s waiter while it sleeps
    bool stop = false;  // connection lock: stop() was called
    bool serving = false;  // interpreter lock: serve() runs
    std::vector<std::string> owned_names;  // interpreter lock: names request_name obtained
    // Names the bus daemon says this connection owns (NameAcquired minus
    // NameLost), however they were requested.  names_lock only: a leaf
    // lock, taken under the connection lock by the filter and under the
    // interpreter lock by calls_own_service, never while taking another.
    std::mutex names_lock;
    std::vector<std::string> acquired_names;
};

// Frees a dead object that no queued call and no handle names any more.
// Connection lock held.
void maybe_free(export_registry &reg, object_export *o) noexcept;

// Takes the vtables off the bus and answers the calls still queued for the
// object.  Connection lock held.
void unregister(export_registry &reg, object_export *o) noexcept;

// Drops the object's Python references, taking it off the holding list
// before the first is released.  Interpreter lock held.
void drop_references(export_registry &reg, object_export *o) noexcept;

// Queues an incoming call and wakes serve().  Connection lock held.
void queue_call(export_registry &reg, incoming item) noexcept;

}  // namespace vq::core
