#include "core/errors.hpp"

#include <cerrno>
#include <cstring>

#include "core/state.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {
void raise_instance(PyObject *exc) noexcept {
    if (exc)
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
}
}  // namespace

PyObject *raise_bus_error(const sd_bus_error *e) noexcept {
    const char *name = e && e->name ? e->name : "org.freedesktop.DBus.Error.Failed";
    const char *message = e && e->message ? e->message : "";
    const core_state &s = state();
    if (!s.bus_error) {
        PyErr_Format(PyExc_RuntimeError, "%s: %s", name, message);
        return nullptr;
    }
    PyObject *cls = nullptr;
    if (s.errors_by_name) {
        py_ref key(PyUnicode_FromString(name));
        if (!key)
            return nullptr;
        cls = PyDict_GetItemWithError(s.errors_by_name, key.get());  // borrowed
        if (!cls && PyErr_Occurred())
            return nullptr;
    }
    py_ref exc(cls ? PyObject_CallFunction(cls, "s", message)
                   : PyObject_CallFunction(s.bus_error, "ss", name, message));
    raise_instance(exc.get());
    return nullptr;
}

PyObject *raise_errno(int r, const char *what) noexcept {
    const int err = r < 0 ? -r : r;
    // The interpreter picks the subclass for most numbers (ECONNRESET:
    // ConnectionResetError, ETIMEDOUT: TimeoutError); a connection that is
    // not there any more (ENOTCONN) is a ConnectionError too.
    PyObject *cls = err == ENOTCONN ? PyExc_ConnectionError : PyExc_OSError;
    py_ref text(PyUnicode_FromFormat("%s: %s", what, std::strerror(err)));
    if (!text)
        return nullptr;
    py_ref exc(PyObject_CallFunction(cls, "iO", err, text.get()));
    raise_instance(exc.get());
    return nullptr;
}

PyObject *raise_signals_lost(uint64_t lost, size_t bound) noexcept {
    py_ref text(PyUnicode_FromFormat(
        "%llu signal%s dropped: the subscription's queue was full (max_queued=%zu)",
        static_cast<unsigned long long>(lost), lost == 1 ? " was" : "s were", bound));
    if (!text)
        return nullptr;
    PyObject *by_name = state().errors_by_name;
    PyObject *cls =  // borrowed
        by_name ? PyDict_GetItemString(by_name, "org.varquin.Error.SignalsLost") : nullptr;
    if (!cls) {
        PyErr_SetObject(PyExc_RuntimeError, text.get());
        return nullptr;
    }
    py_ref exc(PyObject_CallFunction(cls, "OK", text.get(), static_cast<unsigned long long>(lost)));
    raise_instance(exc.get());
    return nullptr;
}

PyObject *raise_bad_message(int err, PyObject *text) noexcept {
    PyObject *by_name = state().errors_by_name;
    PyObject *cls =  // borrowed
        by_name ? PyDict_GetItemString(by_name, "org.varquin.Error.BadMessage") : nullptr;
    py_ref exc(cls ? PyObject_CallFunction(cls, "O", text)
                   : PyObject_CallFunction(PyExc_OSError, "iO", err, text));
    raise_instance(exc.get());
    return nullptr;
}

PyObject *raise_closed() noexcept {
    PyErr_SetString(PyExc_ValueError, "operation on a closed bus");
    return nullptr;
}

}  // namespace vq::core
