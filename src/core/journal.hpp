// Reading the systemd journal (sd-journal): varquin._core.Journal, one open
// journal with its matches, read backwards from its end, forwards from a
// time, or followed as entries are written.  varquin.journal builds on it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq::core {

// Readies the Journal type and adds it to `module`; 0, or -1 with an
// exception set.
int journal_type_ready(PyObject *module) noexcept;

}  // namespace vq::core
