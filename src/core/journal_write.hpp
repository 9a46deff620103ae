// Writing to the systemd journal: Journal.send, one entry handed to journald
// through sd_journal_sendv.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq::core {

// Journal.send(items): writes one entry whose fields are `items`, each
// "NAME=value" as bytes or str (the value any bytes).  None; ValueError for
// a name journald would not take, OSError when journald cannot be reached.
PyObject *journal_send(PyObject *cls, PyObject *items) noexcept;

}  // namespace vq::core
