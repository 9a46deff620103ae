// Talking to the service manager from a service it started (sd-daemon):
// notification messages with descriptors, the descriptors it passed at start
// and the watchdog's period.  varquin.daemon builds on these.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq::core {

// notify(state, fds=()) -> bool: sends `state` (NEWLINE-separated
// VARIABLE=value lines) with the descriptors `fds` to $NOTIFY_SOCKET.
PyObject *daemon_notify(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept;

// listen_fds(lookup=True) -> list[tuple[int, str]]: the descriptors passed
// to this process, with their names.
PyObject *daemon_listen_fds(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) noexcept;

// watchdog_usec() -> int: the watchdog's timeout in µs, 0 when none is
// expected from this process.
PyObject *daemon_watchdog_usec(PyObject *, PyObject *) noexcept;

}  // namespace vq::core
