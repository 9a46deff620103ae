// Exceptions of the package: error replies become varquin.BusError (or the
// subclass registered for the error's name), local failures become OSError
// subclasses carrying their errno.  Interpreter lock held throughout.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include <systemd/sd-bus.h>

namespace vq::core {

// Raises the exception for an error reply.  Returns null.
PyObject *raise_bus_error(const sd_bus_error *e) noexcept;

// Raises an OSError subclass for the negative errno `r`: "<what>: <text>".
// ENOTCONN, like the other errors of a connection that is gone, raises a
// ConnectionError.  Returns null.
PyObject *raise_errno(int r, const char *what) noexcept;

// varquin.SignalsLost(text, lost): `lost` signals were dropped from a
// subscription's queue, full at `bound`.  Returns null.
PyObject *raise_signals_lost(uint64_t lost, size_t bound) noexcept;

// varquin.BadMessage(text), errno `err`: a received message that cannot be
// read (`text` says which and why).  Returns null.
PyObject *raise_bad_message(int err, PyObject *text) noexcept;

// ValueError for an operation on a closed bus.  Returns null.
PyObject *raise_closed() noexcept;

}  // namespace vq::core
