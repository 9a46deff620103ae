// The core's module state in one record: the package's classes and hooks
// that _setup() registers at import, and the names made once at init.
//
// The module is single-phase (its types are static), so there is one record
// per process and state() returns it without a lookup: hot paths (writing a
// Variant, making a Signal) pay nothing for it.  A multi-phase module would
// keep the same record as its per-module state and hand it through the same
// accessor.  Written and read with the interpreter lock held; the package
// writes it once, at import, before any other thread can use the core.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq::core {

struct core_state {
    // Registered by the package (strong references; null until _setup()).
    PyObject *variant_type;  // varquin.Variant(signature, value), a tuple subclass
    PyObject *signal_type;  // varquin.Signal(sender, path, interface, member, args)
    PyObject *bus_error;  // varquin.BusError(name, message), the root of error replies
    PyObject *errors_by_name;  // dict: error name -> class made with the message alone
    // log(text, exception) reports a failure of a served callable;
    // awaitable(bus, coroutine, reply) takes over a coroutine that a callable
    // returned under an event loop (reply.send(result) / reply.fail(exc)).
    PyObject *log;
    PyObject *awaitable;
    // Interned at init: the methods of asyncio's futures that outcomes go to.
    PyObject *str_done;
    PyObject *str_set_result;
    PyObject *str_set_exception;
};

extern core_state the_state;

inline core_state &state() noexcept { return the_state; }

// Makes the names; at module init.  0, or -1 with an exception set.
int init_state() noexcept;

// Registers the package's classes and hooks (the arguments of _setup()),
// replacing earlier ones.
void register_package(PyObject *variant, PyObject *signal, PyObject *bus_error,
                      PyObject *errors_by_name, PyObject *log, PyObject *awaitable) noexcept;

}  // namespace vq::core
