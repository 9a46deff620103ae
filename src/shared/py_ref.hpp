// Owners of Python state shared by both extension modules: one counted
// reference (whatever path leaves the scope gives it back), and an exception
// taken out of the error indicator: owned, or set aside for a scope.
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

// An exception taken out of the thread's error indicator (PyErr_Fetch) and
// owned: restore() puts it back as the pending exception, and an exception
// never put back is released with its owner.  Empty when none was pending.
class fetched_exception {
public:
    fetched_exception() noexcept = default;
    ~fetched_exception() { clear(); }
    fetched_exception(fetched_exception &&other) noexcept
        : type_(std::exchange(other.type_, nullptr)),
          value_(std::exchange(other.value_, nullptr)),
          tb_(std::exchange(other.tb_, nullptr)) {}
    fetched_exception &operator=(fetched_exception &&other) noexcept {
        clear();
        type_ = std::exchange(other.type_, nullptr);
        value_ = std::exchange(other.value_, nullptr);
        tb_ = std::exchange(other.tb_, nullptr);
        return *this;
    }
    fetched_exception(const fetched_exception &) = delete;
    fetched_exception &operator=(const fetched_exception &) = delete;

    // Takes the pending exception (if any); none is pending afterwards.
    static fetched_exception take() noexcept {
        fetched_exception e;
        PyErr_Fetch(&e.type_, &e.value_, &e.tb_);
        return e;
    }
    // Makes the value an instance of the type (PyErr_NormalizeException).
    void normalize() noexcept { PyErr_NormalizeException(&type_, &value_, &tb_); }
    // Makes it the pending exception again, replacing any; empty afterwards.
    void restore() noexcept {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(tb_, nullptr));
    }
    void clear() noexcept {
        Py_XDECREF(std::exchange(type_, nullptr));
        Py_XDECREF(std::exchange(value_, nullptr));
        Py_XDECREF(std::exchange(tb_, nullptr));
    }
    PyObject *type() const noexcept { return type_; }
    PyObject *value() const noexcept { return value_; }
    PyObject *traceback() const noexcept { return tb_; }
    explicit operator bool() const noexcept { return type_ != nullptr; }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// Sets the pending exception (if any) aside for the life of the object and
// puts it back when the scope ends, replacing whatever was raised meanwhile:
// code that must run with no exception set (cleanup, a lookup) runs inside.
class saved_exception {
public:
    saved_exception() noexcept : held_(fetched_exception::take()) {}
    ~saved_exception() { held_.restore(); }
    saved_exception(const saved_exception &) = delete;
    saved_exception &operator=(const saved_exception &) = delete;

    // The exception set aside, normalized in place (it stays set aside).
    fetched_exception &held() noexcept { return held_; }

private:
    fetched_exception held_;
};

}  // namespace vq
