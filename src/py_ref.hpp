// Owners of Python state shared by both extension modules: one counted
// reference (whatever path leaves the scope gives it back), and a pending
// exception set aside for a scope.
// Interpreter lock held wherever one is made, reset or destroyed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vq {

class py_ref {
public:
    py_ref() noexcept = default;
    explicit py_ref(PyObject *o) noexcept : o_(o) {}
    ~py_ref() { Py_XDECREF(o_); }
    py_ref(py_ref &&other) noexcept : o_(other.release()) {}
    py_ref &operator=(py_ref &&other) noexcept {
        reset(other.release());
        return *this;
    }
    py_ref(const py_ref &) = delete;
    py_ref &operator=(const py_ref &) = delete;

    // A new reference to a borrowed object.
    static py_ref borrow(PyObject *o) noexcept {
        Py_XINCREF(o);
        return py_ref(o);
    }

    PyObject *get() const noexcept { return o_; }
    PyObject *release() noexcept { return std::exchange(o_, nullptr); }
    void reset(PyObject *o = nullptr) noexcept { Py_XDECREF(std::exchange(o_, o)); }
    explicit operator bool() const noexcept { return o_ != nullptr; }

private:
    PyObject *o_ = nullptr;
};

// Sets the pending exception (if any) aside for the life of the object and
// puts it back when the scope ends, replacing whatever was raised meanwhile:
// code that must run with no exception set (cleanup, a lookup) runs inside.
class saved_exception {
public:
    saved_exception() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~saved_exception() { PyErr_Restore(type_, value_, tb_); }
    saved_exception(const saved_exception &) = delete;
    saved_exception &operator=(const saved_exception &) = delete;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

}  // namespace vq
