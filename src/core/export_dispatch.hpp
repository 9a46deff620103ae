// Running incoming calls on exported objects: each queued call is
// dispatched to its Python callable (with the interpreter lock), its answer
// planned, and the replies sent afterwards under the connection lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>

#include "core/connection.hpp"
#include "core/export_registry.hpp"
#include "core/marshal.hpp"
#include "py_ref.hpp"

namespace vq::core {

// What to send for one incoming call once the batch has run.
struct reply_plan {
    enum class kind : uint8_t { value, error, none } what = kind::none;
    plan body;
    std::string error_name, error_text;
    plan changed;  // a PropertiesChanged to emit after the reply (Set)
};

// "Interface.Member" of a call, made only when a failure is to be told
// (or given as it is, with no call).
struct naming {
    const incoming *item;
    std::string text;
    const char *c_str() {
        if (text.empty() && item)
            text = item->iface->name + "." +
                   (item->method     ? item->method->name
                    : item->property ? item->property->name
                                     : std::string("GetAll"));
        return text.c_str();
    }
};

// Turns the pending exception of a callable into the error reply.  Keeps
// SystemExit and KeyboardInterrupt in `fatal` to be raised out of serve().
void answer_exception(reply_plan &out, const char *what, py_ref &fatal) noexcept;

// The values a result stands for: none for an empty signature, the result
// itself for one complete type, its items for several.  False (and an
// error planned) when the result does not fit.
bool add_result(reply_plan &out, PyObject *result, const std::string &out_sig,
                naming &what) noexcept;

// Sends one reply (and the signal that goes with it).  Connection lock held.
void send_reply(connection &conn, sd_bus_message *call, reply_plan &out,
                const std::string &path) noexcept;

}  // namespace vq::core
