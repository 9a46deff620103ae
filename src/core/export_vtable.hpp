// Building an exported object's records and sd-bus vtables from the
// description an Interface class carries in __dbus_interfaces__.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "core/export_registry.hpp"

namespace vq::core {

// Reads (name, methods, properties, signals) into a new interface of `o`,
// with its vtable.  Null with an exception set.  Interpreter lock held.
std::unique_ptr<interface_export> build_interface(PyObject *desc, object_export *o) noexcept;

}  // namespace vq::core
