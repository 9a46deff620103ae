#include "core/proxy.hpp"

#include <string_view>

#include "core/args.hpp"
#include "core/bus.hpp"
#include "core/calls.hpp"
#include "core/errors.hpp"
#include "core/events.hpp"
#include "core/marshal.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

struct proxy_method_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *bus;  // strong reference to a Bus; null once cleared by the collector
    // The target, as str objects whose UTF-8 texts `to` points into.
    PyObject *destination;  // str or None
    PyObject *path, *interface, *member;
    PyObject *in_signature, *out_signature;  // str
    call_target to;
    std::string_view in_sig;
    Py_ssize_t inputs, outputs;  // complete types of the signatures
    PyObject *weakrefs;
};

PyTypeObject proxy_method_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// The bus to call, or null with an exception set.
bus_object *target_bus(proxy_method_object *self) noexcept {
    if (!self->bus) {
        raise_closed();
        return nullptr;
    }
    return reinterpret_cast<bus_object *>(self->bus);
}

// Checks the argument count and reads the only keyword, timeout; fills the
// plan with the values.  False with an exception set.
bool prepare(proxy_method_object *self, PyObject *const *args, size_t nargsf, PyObject *kwnames,
             plan &values, double &timeout) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    timeout = default_timeout;
    if (kwnames) {
        static const char *const names[] = {"timeout"};
        PyObject *slot = nullptr;
        // No positional slot: parse only the keywords after the values.
        if (!parse_arguments(PyUnicode_AsUTF8(self->member), args, 0, kwnames, args + nargs, names,
                             1, 0, 0, &slot))
            return false;
        if (timeout_argument(slot, default_timeout, &timeout) < 0)
            return false;
    }
    if (nargs != self->inputs) {
        PyErr_Format(PyExc_TypeError, "%U(%U) takes %zd argument%s, %zd given", self->member,
                     self->in_signature, self->inputs, self->inputs == 1 ? "" : "s", nargs);
        return false;
    }
    return values.add(self->in_sig, args, static_cast<size_t>(nargs), "argument");
}

// The reply's values shaped as a served method returns them: None for no
// output, the value for one, the tuple for several.  Steals `values`.
PyObject *shape(proxy_method_object *self, PyObject *values) noexcept {
    py_ref owned(values);
    if (!values)
        return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(values);
    if (n != self->outputs)
        return PyErr_Format(PyExc_ValueError, "the reply to %U has %zd values, not %zd as %U says",
                            self->member, n, self->outputs, self->out_signature);
    if (n == 0)
        Py_RETURN_NONE;
    if (n == 1)
        return py_ref::borrow(PyTuple_GET_ITEM(values, 0)).release();
    return owned.release();
}

PyObject *proxy_method_vectorcall(PyObject *self_, PyObject *const *args, size_t nargsf,
                                  PyObject *kwnames) noexcept {
    auto *self = reinterpret_cast<proxy_method_object *>(self_);
    plan values;
    double timeout;
    if (!prepare(self, args, nargsf, kwnames, values, timeout))
        return nullptr;
    bus_object *bus = target_bus(self);
    if (!bus)
        return nullptr;
    reply_ref reply = call_and_wait(bus, self->to, values, timeout);
    return reply ? shape(self, reply_values(std::move(reply))) : nullptr;
}

// _start(*args, timeout=None): the call sent for an event loop, as a PendingCall.
PyObject *proxy_method_start(PyObject *self_, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) noexcept {
    auto *self = reinterpret_cast<proxy_method_object *>(self_);
    plan values;
    double timeout;
    if (!prepare(self, args, static_cast<size_t>(nargs), kwnames, values, timeout))
        return nullptr;
    bus_object *bus = target_bus(self);
    return bus ? start_pending_call(bus, self->to, values, timeout) : nullptr;
}

// _shape(values): a PendingCall's result shaped as a call's.
PyObject *proxy_method_shape(PyObject *self_, PyObject *values) noexcept {
    if (!PyTuple_Check(values))
        return PyErr_Format(PyExc_TypeError, "_shape() takes a tuple");
    return shape(reinterpret_cast<proxy_method_object *>(self_), py_ref::borrow(values).release());
}

// A text argument checked by `valid`; `none` allows None.
bool text_argument(PyObject *value, const char *what, bool (*valid)(std::string_view),
                   const char *&text, bool none = false) noexcept {
    text = name_argument(value, what, valid, none);
    return text || !PyErr_Occurred();
}

bool signature_argument(PyObject *value, const char *what, std::string_view &sig,
                        Py_ssize_t &count) noexcept {
    Py_ssize_t size;
    const char *text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (!text) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "%s must be a str", what);
        return false;
    }
    sig = std::string_view(text, static_cast<size_t>(size));
    if (!signature_is_valid(sig)) {
        PyErr_Format(PyExc_ValueError, "%s '%s' is not valid", what, text);
        return false;
    }
    count = static_cast<Py_ssize_t>(complete_type_count(sig));
    return true;
}

PyObject *proxy_method_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    static const char *keywords[] = {"bus",    "destination",  "path",          "interface",
                                     "member", "in_signature", "out_signature", nullptr};
    PyObject *bus, *destination, *path, *interface, *member, *in_sig, *out_sig;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OUUUUU:ProxyMethod",
                                     const_cast<char **>(keywords), &bus_type, &bus, &destination,
                                     &path, &interface, &member, &in_sig, &out_sig))
        return nullptr;
    call_target to{};
    std::string_view in_view, out_view;
    Py_ssize_t inputs, outputs;
    if (!text_argument(destination, "destination", bus_name_is_valid, to.destination, true) ||
        !text_argument(path, "path", object_path_is_valid, to.path) ||
        !text_argument(interface, "interface", interface_name_is_valid, to.interface) ||
        !text_argument(member, "member", member_name_is_valid, to.member) ||
        !signature_argument(in_sig, "in_signature", in_view, inputs) ||
        !signature_argument(out_sig, "out_signature", out_view, outputs))
        return nullptr;
    auto *self = reinterpret_cast<proxy_method_object *>(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    self->vectorcall = proxy_method_vectorcall;
    PyObject **fields[] = {&self->bus,          &self->destination, &self->path,
                           &self->interface,    &self->member,      &self->in_signature,
                           &self->out_signature};
    PyObject *values[] = {bus, destination, path, interface, member, in_sig, out_sig};
    for (size_t i = 0; i < std::size(values); ++i)
        *fields[i] = py_ref::borrow(values[i]).release();
    to.member_name = member;
    self->to = to;
    self->in_sig = in_view;
    self->inputs = inputs;
    self->outputs = outputs;
    return reinterpret_cast<PyObject *>(self);
}

int proxy_method_traverse(PyObject *self_, visitproc visit, void *arg) noexcept {
    Py_VISIT(reinterpret_cast<proxy_method_object *>(self_)->bus);
    return 0;
}

// Only the bus can be part of a cycle; the texts stay for the target.
int proxy_method_clear(PyObject *self_) noexcept {
    Py_CLEAR(reinterpret_cast<proxy_method_object *>(self_)->bus);
    return 0;
}

void proxy_method_dealloc(PyObject *self_) noexcept {
    auto *self = reinterpret_cast<proxy_method_object *>(self_);
    PyObject_GC_UnTrack(self_);
    if (self->weakrefs)
        PyObject_ClearWeakRefs(self_);
    proxy_method_clear(self_);
    Py_XDECREF(self->destination);
    Py_XDECREF(self->path);
    Py_XDECREF(self->interface);
    Py_XDECREF(self->member);
    Py_XDECREF(self->in_signature);
    Py_XDECREF(self->out_signature);
    Py_TYPE(self_)->tp_free(self_);
}

PyObject *proxy_method_repr(PyObject *self_) noexcept {
    auto *self = reinterpret_cast<proxy_method_object *>(self_);
    return PyUnicode_FromFormat("<ProxyMethod %U.%U(%U) -> '%U' of %R at %U>", self->interface,
                                self->member, self->in_signature, self->out_signature,
                                self->destination, self->path);
}

PyObject *get_field(PyObject *self_, void *offset) noexcept {
    auto *field = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self_) +
                                                reinterpret_cast<size_t>(offset));
    return py_ref::borrow(*field ? *field : Py_None).release();
}

#define FIELD(name, doc)                                                    \
    {                                                                       \
#name, get_field, nullptr, doc,                                     \
            reinterpret_cast < void *>(offsetof(proxy_method_object, name)) \
    }

PyGetSetDef proxy_method_getset[] = {
    FIELD(destination, "The bus name called (None: none)."),
    FIELD(path, "The object path called."),
    FIELD(interface, "The interface of the method."),
    FIELD(member, "The method's name."),
    FIELD(in_signature, "The signature of the arguments."),
    FIELD(out_signature, "The signature of the reply."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef FIELD

PyMethodDef proxy_method_methods[] = {
    {"_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(proxy_method_start)),
     METH_FASTCALL | METH_KEYWORDS, "The call started for an event loop: a PendingCall."},
    {"_shape", proxy_method_shape, METH_O, "A PendingCall's values shaped as a call's result."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int proxy_method_type_ready(PyObject *module) noexcept {
    proxy_method_type.tp_name = "varquin._core.ProxyMethod";
    proxy_method_type.tp_basicsize = sizeof(proxy_method_object);
    proxy_method_type.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    proxy_method_type.tp_doc =
        "ProxyMethod(bus, destination, path, interface, member, in_signature, out_signature)\n"
        "--\n\n"
        "One method of a remote object, prepared once.  Calling it with one value per complete\n"
        "type of in_signature (and an optional keyword-only timeout) calls the method as\n"
        "Bus.call does and returns None for an empty out_signature, the value for one\n"
        "complete type, a tuple for several.  TypeError saying the signature for a wrong\n"
        "argument count; the values' and the call's errors are Bus.call's; ValueError when\n"
        "the reply's values do not match out_signature.  ValueError for invalid names.";
    proxy_method_type.tp_new = proxy_method_new;
    proxy_method_type.tp_dealloc = proxy_method_dealloc;
    proxy_method_type.tp_traverse = proxy_method_traverse;
    proxy_method_type.tp_clear = proxy_method_clear;
    proxy_method_type.tp_repr = proxy_method_repr;
    proxy_method_type.tp_call = PyVectorcall_Call;
    proxy_method_type.tp_vectorcall_offset = offsetof(proxy_method_object, vectorcall);
    proxy_method_type.tp_methods = proxy_method_methods;
    proxy_method_type.tp_getset = proxy_method_getset;
    proxy_method_type.tp_weaklistoffset = offsetof(proxy_method_object, weakrefs);
    return add_type(module, &proxy_method_type, "ProxyMethod");
}

}  // namespace vq::core
