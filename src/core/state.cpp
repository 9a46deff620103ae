#include "core/state.hpp"

namespace vq::core {

core_state the_state = {};

namespace {

void replace(PyObject *&slot, PyObject *value) noexcept {
    Py_XINCREF(value);
    Py_XSETREF(slot, value);
}

int intern(PyObject *&slot, const char *text) noexcept {
    if (!slot)
        slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

}  // namespace

int init_state() noexcept {
    core_state &s = state();
    if (intern(s.str_done, "done") < 0 || intern(s.str_set_result, "set_result") < 0 ||
        intern(s.str_set_exception, "set_exception") < 0)
        return -1;
    return 0;
}

void register_package(PyObject *variant, PyObject *signal, PyObject *bus_error,
                      PyObject *errors_by_name, PyObject *log, PyObject *awaitable) noexcept {
    core_state &s = state();
    replace(s.variant_type, variant);
    replace(s.signal_type, signal);
    replace(s.bus_error, bus_error);
    replace(s.errors_by_name, errors_by_name);
    replace(s.log, log);
    replace(s.awaitable, awaitable);
}

}  // namespace vq::core
