#include "core/export_vtable.hpp"

#include <cstring>
#include <new>

#include "core/export_handlers.hpp"
#include "core/marshal.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

// A str item of a description tuple, as text; null with TypeError set.
const char *text_item(PyObject *tuple, Py_ssize_t i) noexcept {
    PyObject *item = PyTuple_GET_ITEM(tuple, i);
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "__dbus_interfaces__: expected a str, got %.200s",
                     Py_TYPE(item)->tp_name);
        return nullptr;
    }
    return PyUnicode_AsUTF8(item);
}

bool tuple_of(PyObject *o, Py_ssize_t n) noexcept {
    if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == n)
        return true;
    PyErr_Format(PyExc_TypeError, "__dbus_interfaces__: malformed description");
    return false;
}

std::nullptr_t invalid_member(const char *iface, const char *member) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "%s: '%s' is not a valid member name: ASCII letters, digits and '_', not "
                 "starting with a digit, at most 255 bytes",
                 iface, member);
    return nullptr;
}

sd_bus_vtable entry(uint8_t type, uint64_t flags) noexcept {
    sd_bus_vtable v;
    std::memset(&v, 0, sizeof v);
    v.type = type;
    v.flags = flags;
    return v;
}

}  // namespace

std::unique_ptr<interface_export> build_interface(PyObject *desc, object_export *o) noexcept {
    if (!tuple_of(desc, 4))
        return nullptr;
    auto i = vq::allocate<interface_export>();
    if (!i) {
        PyErr_NoMemory();
        return nullptr;
    }
    i->object = o;
    // The references taken so far go back if a later member is refused.
    struct drop_on_failure {
        interface_export *i;
        ~drop_on_failure() {
            if (!i)
                return;
            for (auto &m : i->methods)
                Py_CLEAR(m.func);
            for (auto &p : i->properties) {
                Py_CLEAR(p.getter);
                Py_CLEAR(p.setter);
            }
        }
    } guard{i.get()};
    const char *name = text_item(desc, 0);
    if (!name)
        return nullptr;
    if (!interface_name_is_valid(name)) {
        PyErr_Format(PyExc_ValueError, "%s is not a valid interface name", name);
        return nullptr;
    }
    i->name = name;
    PyObject *methods = PyTuple_GET_ITEM(desc, 1), *props = PyTuple_GET_ITEM(desc, 2),
             *signals = PyTuple_GET_ITEM(desc, 3);
    if (!PyTuple_Check(methods) || !PyTuple_Check(props) || !PyTuple_Check(signals)) {
        PyErr_Format(PyExc_TypeError, "__dbus_interfaces__: malformed description");
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(methods); ++k) {
        PyObject *m = PyTuple_GET_ITEM(methods, k);
        if (!tuple_of(m, 4))
            return nullptr;
        const char *member = text_item(m, 0), *in = text_item(m, 1), *out = text_item(m, 2);
        if (!member || !in || !out)
            return nullptr;
        if (!member_name_is_valid(member))
            return invalid_member(name, member);
        if (!signature_is_valid(in) || !signature_is_valid(out)) {
            PyErr_Format(PyExc_ValueError, "%s.%s: the signature '%s' is not valid", name, member,
                         signature_is_valid(in) ? out : in);
            return nullptr;
        }
        method_export me;
        me.name = member;
        me.in_sig = in;
        me.out_sig = out;
        me.func = py_ref::borrow(PyTuple_GET_ITEM(m, 3)).release();
        me.iface = i.get();
        i->methods.push_back(std::move(me));
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(props); ++k) {
        // (name, signature, getter, setter[, emits]): emits is "true",
        // "invalidates", "const" or "false", as the annotation says.
        PyObject *p = PyTuple_GET_ITEM(props, k);
        if (!PyTuple_Check(p) || PyTuple_GET_SIZE(p) != 5) {
            if (!tuple_of(p, 4))
                return nullptr;
        }
        const char *pname = text_item(p, 0), *sig = text_item(p, 1);
        if (!pname || !sig)
            return nullptr;
        if (!member_name_is_valid(pname))
            return invalid_member(name, pname);
        if (complete_type_length(sig) != std::strlen(sig) || !*sig) {
            PyErr_Format(PyExc_ValueError,
                         "%s.%s: a property's signature is one complete type, not '%s'", name,
                         pname, sig);
            return nullptr;
        }
        property_export pe;
        pe.name = pname;
        pe.sig = sig;
        PyObject *setter = PyTuple_GET_ITEM(p, 3);
        if (PyTuple_GET_SIZE(p) == 5) {
            const char *emits = text_item(p, 4);
            if (!emits)
                return nullptr;
            using e = property_export::emits;
            if (std::strcmp(emits, "true") == 0) {
                pe.announce = e::value;
            } else if (std::strcmp(emits, "invalidates") == 0) {
                pe.announce = e::invalidation;
            } else if (std::strcmp(emits, "const") == 0 && setter == Py_None) {
                pe.announce = e::never;
            } else if (std::strcmp(emits, "false") == 0) {
                pe.announce = e::nothing;
            } else {
                PyErr_Format(PyExc_ValueError,
                             "%s.%s: emits is \"true\", \"invalidates\", \"false\", or "
                             "\"const\" for a read-only property, not \"%s\"",
                             name, pname, emits);
                return nullptr;
            }
        }
        pe.getter = py_ref::borrow(PyTuple_GET_ITEM(p, 2)).release();
        pe.setter = setter == Py_None ? nullptr : py_ref::borrow(setter).release();
        i->properties.push_back(std::move(pe));
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(signals); ++k) {
        PyObject *s = PyTuple_GET_ITEM(signals, k);
        if (!tuple_of(s, 2))
            return nullptr;
        const char *sname = text_item(s, 0), *sig = text_item(s, 1);
        if (!sname || !sig)
            return nullptr;
        if (!member_name_is_valid(sname))
            return invalid_member(name, sname);
        if (!signature_is_valid(sig)) {
            PyErr_Format(PyExc_ValueError, "%s.%s: the signature '%s' is not valid", name, sname,
                         sig);
            return nullptr;
        }
        i->signals.push_back({sname, sig});
    }

    // The vtable: pointers into the strings above, which never move again.
    // The start entry is filled by hand: SD_BUS_VTABLE_START would reference
    // a symbol of a newer libsystemd; without a format reference sd-bus
    // reads the table in its basic form.
    sd_bus_vtable start = entry(_SD_BUS_VTABLE_START, 0);
    start.x.start.element_size = sizeof(sd_bus_vtable);
    i->vtable.push_back(start);
    for (size_t k = 0; k < i->methods.size(); ++k) {
        sd_bus_vtable v = entry(_SD_BUS_VTABLE_METHOD, SD_BUS_VTABLE_UNPRIVILEGED);
        v.x.method.member = i->methods[k].name.c_str();
        v.x.method.signature = i->methods[k].in_sig.c_str();
        v.x.method.result = i->methods[k].out_sig.c_str();
        v.x.method.handler = on_method_call;
        // sd-bus passes the vtable's user data plus this offset: the method's own record.
        v.x.method.offset = k * sizeof(method_export);
        i->vtable.push_back(v);
    }
    for (property_export &p : i->properties) {
        // Only a writable property may carry the unprivileged flag (reading
        // needs no privilege anyway).
        // The flag gives introspection its EmitsChangedSignal annotation.
        uint64_t flags = 0;
        switch (p.announce) {
        case property_export::emits::value:
            flags = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
            break;
        case property_export::emits::invalidation:
            flags = SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION;
            break;
        case property_export::emits::never:
            flags = SD_BUS_VTABLE_PROPERTY_CONST;
            break;
        case property_export::emits::nothing:
            break;
        }
        sd_bus_vtable v =
            p.setter ? entry(_SD_BUS_VTABLE_WRITABLE_PROPERTY, flags | SD_BUS_VTABLE_UNPRIVILEGED)
                     : entry(_SD_BUS_VTABLE_PROPERTY, flags);
        v.x.property.member = p.name.c_str();
        v.x.property.signature = p.sig.c_str();
        v.x.property.get = refuse_get;
        v.x.property.set = p.setter ? refuse_set : nullptr;
        i->vtable.push_back(v);
    }
    for (signal_export &s : i->signals) {
        sd_bus_vtable v = entry(_SD_BUS_VTABLE_SIGNAL, 0);
        v.x.signal.member = s.name.c_str();
        v.x.signal.signature = s.sig.c_str();
        i->vtable.push_back(v);
    }
    i->vtable.push_back(entry(_SD_BUS_VTABLE_END, 0));
    guard.i = nullptr;
    return i;
}

}  // namespace vq::core
