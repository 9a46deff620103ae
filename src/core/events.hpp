// What an event loop needs to drive a Bus instead of waiting threads: the
// connection's descriptor, the events and the time it waits for, one
// processing step, and calls started now whose replies the step hands back
// (PendingCall).  varquin.aio builds on this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/bus.hpp"
#include "core/calls.hpp"

namespace vq::core {

// Starts a call and returns its PendingCall, or null with an exception set.
// Interpreter lock held.
PyObject *start_pending_call(bus_object *self, const call_target &to, const plan &args,
                             double timeout) noexcept;

// Bus methods for the loop.
PyObject *bus_loop_fd(PyObject *self, PyObject *) noexcept;
PyObject *bus_loop_wake_fd(PyObject *self, PyObject *) noexcept;
PyObject *bus_set_loop_driven(PyObject *self, PyObject *on) noexcept;
PyObject *bus_loop_wants(PyObject *self, PyObject *) noexcept;
PyObject *bus_loop_process(PyObject *self, PyObject *) noexcept;
PyObject *bus_loop_run_incoming(PyObject *self, PyObject *) noexcept;
PyObject *bus_loop_abandon(PyObject *self, PyObject *) noexcept;
PyObject *bus_start_call(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) noexcept;

// Readies the PendingCall type; 0, or -1 with an exception set.
int pending_call_type_ready(PyObject *module) noexcept;

}  // namespace vq::core
