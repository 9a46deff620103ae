// The two Python types of serving: Export, the handle Bus.export() returns,
// and PendingReply, the answer still owed to a call that an async method
// serves under an event loop.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <systemd/sd-bus.h>

#include <string>

#include "core/bus.hpp"
#include "core/export_registry.hpp"

namespace vq::core {

struct export_object {
    PyObject_HEAD
    bus_object *bus;  // strong reference
    object_export *target;
    PyObject *path;
    PyObject *weakrefs;
};

extern PyTypeObject export_type;

// A PendingReply that owns `m` (a reference the caller hands over on
// success) and answers it with `out_sig`'s values.  Null with an exception
// set (the caller keeps the message).  Interpreter lock held.
PyObject *new_pending_reply(bus_object *bus, sd_bus_message *m, const std::string &out_sig,
                            const std::string &what) noexcept;

}  // namespace vq::core
