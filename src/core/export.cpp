// Bus.export(): builds an object's records from its class's description,
// registers one vtable per interface and returns the Export handle.
#include "core/export.hpp"

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "core/export_registry.hpp"
#include "core/export_types.hpp"
#include "core/export_vtable.hpp"
#include "core/marshal.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace vq::core {

const char bus_export_doc[] =
    "_export($self, path, obj)\n"
    "--\n"
    "\n"
    "Serves `obj`, an instance of varquin.Interface subclasses, at object path `path`\n"
    "and returns its varquin.Export: one vtable per interface, answering its methods,\n"
    "Introspect, and org.freedesktop.DBus.Properties (Get, GetAll, Set, with\n"
    "PropertiesChanged after a Set).  Bus.export() calls it and also records the\n"
    "export for the object's signals.  Raises ValueError for an invalid path or an\n"
    "interface already exported there, TypeError when `obj` is not an instance of an\n"
    "Interface subclass that names an interface.";

PyObject *bus_export(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) noexcept {
    static const char *const names[] = {"path", "obj"};
    PyObject *slots[2] = {};
    if (!parse_arguments("export", args, nargs, kwnames, args + nargs, names, 2, 2, 2, slots))
        return nullptr;
    auto *self = reinterpret_cast<bus_object *>(self_);
    const char *path = name_argument(slots[0], "path", object_path_is_valid);
    if (!path)
        return nullptr;
    connection *conn = open_connection(self);
    if (!conn || !self->exports)
        return nullptr;
    py_ref described(PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(slots[1])),
                                            "__dbus_interfaces__"));
    if (!described || !PyTuple_Check(described.get()) || PyTuple_GET_SIZE(described.get()) == 0) {
        PyErr_Clear();
        // An Interface subclass carries the attribute, empty when no class
        // of it names an interface.
        if (PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(slots[1])),
                                   "__dbus_interface_name__"))
            return PyErr_Format(PyExc_TypeError,
                                "export(): %.200s names no D-Bus interface: declare it as "
                                "class %.200s(varquin.Interface, name=\"org.example.Name\")",
                                Py_TYPE(slots[1])->tp_name, Py_TYPE(slots[1])->tp_name);
        return PyErr_Format(
            PyExc_TypeError,
            "export() needs an instance of a varquin.Interface subclass, not %.200s",
            Py_TYPE(slots[1])->tp_name);
    }

    auto *o = new (std::nothrow) object_export;
    if (!o)
        return PyErr_NoMemory();
    o->path = path;
    o->registry = self->exports;
    o->obj = py_ref::borrow(slots[1]).release();
    self->exports->holding.push_back(o);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(described.get()); ++k) {
        auto iface = build_interface(PyTuple_GET_ITEM(described.get(), k), o);
        if (!iface) {
            o->dead.store(true);
            drop_references(*self->exports, o);
            delete o;
            return nullptr;
        }
        o->interfaces.push_back(std::move(iface));
    }

    py_ref handle(PyObject_GC_New(PyObject, &export_type));
    if (!handle) {
        o->dead.store(true);
        drop_references(*self->exports, o);
        delete o;
        return nullptr;
    }
    auto *e = reinterpret_cast<export_object *>(handle.get());
    e->bus = reinterpret_cast<bus_object *>(py_ref::borrow(self_).release());
    e->target = nullptr;
    e->path = py_ref::borrow(slots[0]).release();
    e->weakrefs = nullptr;
    PyObject_GC_Track(handle.get());

    int r = 0;
    std::string failed_iface;
    bool closed = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        if (conn->closed()) {
            closed = true;
        } else {
            for (auto &i : o->interfaces) {
                r = sd_bus_add_object_vtable(conn->bus(), &i->slot, path, i->name.c_str(),
                                             i->vtable.data(), i->methods.data());
                if (r < 0) {
                    failed_iface = i->name;
                    break;
                }
            }
            if (r >= 0 && !closed) {
                o->handles = 1;
                self->exports->objects.push_back(o);
            } else {
                for (auto &i : o->interfaces)
                    i->slot = sd_bus_slot_unref(i->slot);
            }
        }
    }
    if (closed || r < 0) {
        o->dead.store(true);
        drop_references(*self->exports, o);
        delete o;
        if (closed)
            return raise_closed();
        if (r == -EEXIST)
            return PyErr_Format(
                PyExc_ValueError,
                "interface %s is already exported at %s (or a member is declared twice)",
                failed_iface.c_str(), path);
        return raise_errno(r, "cannot export the object");
    }
    e->target = o;
    return handle.release();
}

}  // namespace vq::core
