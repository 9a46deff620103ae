// Serving Python objects on a Bus: one sd-bus vtable per exported
// interface, incoming calls queued by the vtable's handlers and by the
// connection's filter (the properties interface), and dispatch into Python
// by serve() (or by an event loop through process()).
//
// Handlers run inside processing, under the connection lock: they only
// queue the message and wake the serving thread.  The serving thread takes
// the queue, runs the callables with the interpreter lock (taken once per
// batch of calls), then sends the replies under the connection lock with the
// interpreter lock released.  So a slow callable never holds up other
// threads' calls on the same connection.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <systemd/sd-bus.h>

#include "core/bus.hpp"
#include "core/connection.hpp"

namespace vq::core {

struct export_registry;

export_registry *new_export_registry(connection &conn) noexcept;
// Unexports every object (its vtables leave the bus, calls still queued
// for it are answered UnknownObject, its handles report closed) and drops
// their Python references: for the garbage collector's clear and for
// close().  Interpreter lock held, connection lock not held.
void clear_export_references(export_registry *registry) noexcept;
// Unregisters and frees everything, the queue included.  Under the lock.
void free_export_registry(export_registry *registry) noexcept;

// Queues a call of org.freedesktop.DBus.Properties for an exported object;
// >0 when it took the message.  Under the lock, during processing.
int take_properties_call(export_registry &registry, sd_bus_message *m) noexcept;

// Follows the bus daemon's NameAcquired and NameLost signals to this
// connection, so that names taken by any means (a raw RequestName call
// included) count as this connection's own.  Connection lock held; the
// message is left unread.
void note_name_change(export_registry &registry, sd_bus_message *m) noexcept;

// Runs the queued incoming calls and sends their replies: for serve() and
// for an event loop.  Interpreter lock held.  Null with an exception set
// when a callable raised SystemExit or KeyboardInterrupt (its caller has
// been answered) or the replies could not be sent; else a new reference
// to None.
PyObject *run_incoming(bus_object *self) noexcept;

// Whether `destination` names the bus that the calling thread is serving
// (inside one of its callables): such a call could never be answered.
// Interpreter lock held; nothing set.
bool calls_own_service(const char *destination) noexcept;

// Bus methods.
PyObject *bus_export(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept;
PyObject *bus_serve(PyObject *self, PyObject *) noexcept;
PyObject *bus_stop(PyObject *self, PyObject *) noexcept;
PyObject *bus_request_name(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept;
PyObject *bus_release_name(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept;
PyObject *bus_emit(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept;
extern const char bus_export_doc[];
extern const char bus_serve_doc[];
extern const char bus_stop_doc[];
extern const char bus_request_name_doc[];
extern const char bus_release_name_doc[];
extern const char bus_emit_doc[];

// The exported objects' Python references, for the bus's garbage-collector
// traversal.  Interpreter lock held.
int visit_exports(export_registry *registry, visitproc visit, void *arg) noexcept;

// Readies the Export type; 0, or -1 with an exception set.
int export_type_ready(PyObject *module) noexcept;

}  // namespace vq::core
