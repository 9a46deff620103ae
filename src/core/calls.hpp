// Method calls on a Bus: call, the properties interface, and the one way
// every call of the package is sent and waited for.
#pragma once

#include <utility>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "core/bus.hpp"
#include "core/marshal.hpp"

namespace vq::core {

// What a call is sent to.
struct call_target {
    const char *destination;  // null: none (a connection to a peer)
    const char *path;
    const char *interface;  // null: none
    const char *member;
    PyObject *member_name = nullptr;  // borrowed: the member as the caller gave it, when it did
};

// A reply taken from a connection: given back to it (connection::release,
// which defers the unreference while another thread processes) on
// whatever path leaves the owner's scope.
class reply_ref {
public:
    reply_ref() noexcept = default;
    reply_ref(connection *conn, sd_bus_message *m) noexcept : conn_(conn), m_(m) {}
    ~reply_ref() { reset(); }
    reply_ref(reply_ref &&other) noexcept
        : conn_(other.conn_), m_(std::exchange(other.m_, nullptr)) {}
    reply_ref &operator=(reply_ref &&other) noexcept {
        reset();
        conn_ = other.conn_;
        m_ = std::exchange(other.m_, nullptr);
        return *this;
    }
    reply_ref(const reply_ref &) = delete;
    reply_ref &operator=(const reply_ref &) = delete;

    sd_bus_message *get() const noexcept { return m_; }
    explicit operator bool() const noexcept { return m_ != nullptr; }
    void reset() noexcept {
        if (sd_bus_message *m = std::exchange(m_, nullptr))
            conn_->release(m);
    }

private:
    connection *conn_ = nullptr;
    sd_bus_message *m_ = nullptr;
};

// Sends a method call with the values of `args` and waits, with the
// interpreter lock released, for its reply within `timeout` seconds.  The
// reply, or an empty owner with an exception set: the BusError of an error
// reply, TimeoutError, ConnectionError, ValueError on a closed bus,
// KeyboardInterrupt (or what a signal handler raised) on the main thread.
// Interpreter lock held.
reply_ref call_and_wait(bus_object *self, const call_target &to, const plan &args,
                        double timeout) noexcept;

// Sends a method call registering `p` for its reply (not waited for).  False
// with an exception set when it could not be sent.  Interpreter lock held.
bool send_call(bus_object *self, const call_target &to, const plan &args, double timeout,
               pending_call &p) noexcept;

// The reply (taken over), or an empty owner with the exception of an error
// reply set (the reply is then given back).  Interpreter lock held.
reply_ref checked_reply(bus_object *self, sd_bus_message *reply) noexcept;

// Reads call()'s arguments: the target, the values of its signature and
// the timeout.  False with an exception set.  Interpreter lock held.
bool parse_call(const char *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                call_target &to, plan &values, double &timeout) noexcept;

// TimeoutError for a call of `member` that had no reply within `timeout`
// seconds.  Returns null.
PyObject *raise_call_timeout(const char *member, double timeout) noexcept;

// The reply's values as a tuple (null with an exception set); the reply is
// given back.
PyObject *reply_values(reply_ref reply) noexcept;

// Bus methods (METH_FASTCALL | METH_KEYWORDS).
PyObject *bus_call(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept;
PyObject *bus_get_property(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept;
PyObject *bus_get_all(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept;
PyObject *bus_set_property(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept;

extern const char bus_call_doc[];
extern const char bus_get_property_doc[];
extern const char bus_get_all_doc[];
extern const char bus_set_property_doc[];

}  // namespace vq::core
