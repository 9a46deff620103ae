// The Bus object: one connection (see connection.hpp) as a Python object.
// Opening (the system bus, an address, another host over SSH), closing,
// and the attributes; the calls and subscriptions made on it live in their
// own units.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/connection.hpp"

namespace vq::core {

struct match_registry;
struct export_registry;

struct bus_object {
    PyObject_HEAD
    connection *conn;  // null once the object is being destroyed
    PyObject *address;  // str: what the bus was opened with
    PyObject *unique_name;  // str
    PyObject *weakrefs;
    match_registry *matches;  // subscriptions, under the connection lock
    export_registry *exports;  // exported objects (see export.hpp)
};

extern PyTypeObject bus_type;

// Readies the Bus type; 0, or -1 with an exception set.
int bus_type_ready(PyObject *module) noexcept;

// The open connection of `self`, or null with ValueError set when it is
// closed (the check is a hint: the state is settled under the lock), or
// ChildProcessError when it was inherited across fork().
connection *open_connection(bus_object *self) noexcept;

// ChildProcessError for a connection inherited across fork().  Returns null.
PyObject *raise_inherited() noexcept;

// Waits, with the interpreter lock released, until what was sent on the
// connection is written, for a sender that expects no reply: by the reader
// when a thread reads, else by this thread (the event loop of a loop-driven
// connection was woken for it).  False with TimeoutError set when the bus
// takes nothing for `default_timeout` seconds, ConnectionError when the
// connection is lost meanwhile, or what a signal handler raised.
// Interpreter lock held.
bool write_out(bus_object *self) noexcept;

// sd-bus's own default for method calls, used where a timeout is None.
constexpr double default_timeout = 25.0;

}  // namespace vq::core
