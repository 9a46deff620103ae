// Small owners for the handles the module takes, so that every path out of a
// scope releases what it took.  Header only; each unit includes what it uses.
#pragma once

#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include <systemd/sd-bus.h>

namespace vq {

// A malloc'ed NUL-terminated string.  Strings that cross the C interface stay
// malloc/free strings because the receiving side releases them with free().
struct free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using heap_str = std::unique_ptr<char, free_deleter>;

struct message_unref {
    void operator()(sd_bus_message *m) const noexcept { sd_bus_message_unref(m); }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

struct slot_unref {
    void operator()(sd_bus_slot *s) const noexcept { sd_bus_slot_unref(s); }
};
using slot_ptr = std::unique_ptr<sd_bus_slot, slot_unref>;

// The library's error record, always freed whatever path leaves the scope.
struct bus_error : sd_bus_error {
    bus_error() noexcept : sd_bus_error(SD_BUS_ERROR_NULL) {}
    ~bus_error() { sd_bus_error_free(this); }
    bus_error(const bus_error &) = delete;
    bus_error &operator=(const bus_error &) = delete;
};

// Lets sd-bus fill a message_ptr through its sd_bus_message ** out-parameter:
//     sd_bus_call_method(..., out(reply), ...)
class message_out {
public:
    explicit message_out(message_ptr &owner) noexcept : owner_(owner) {}
    ~message_out() { owner_.reset(raw_); }
    operator sd_bus_message **() noexcept { return &raw_; }
    message_out(const message_out &) = delete;
    message_out &operator=(const message_out &) = delete;

private:
    message_ptr &owner_;
    sd_bus_message *raw_ = nullptr;
};
inline message_out out(message_ptr &owner) noexcept { return message_out(owner); }

// Out of memory, one policy for both modules.
//
// Every record a module allocates itself (a connection, a registry, an
// export, a subscription, a journal handle, a method slot, a copied string)
// is had through `new (std::nothrow)` (`allocate` puts it in an owner) or
// malloc: null when memory is short, and the
// caller reports that as its layer reports any failure, before anything
// refers to the record: MemoryError (PyErr_NoMemory) where a Python caller
// waits with the interpreter lock held, -ENOMEM (or errno ENOMEM) from the
// C functions and wherever the lock is not held, recorded in the error state
// by the low-level module.  Memory of messages is sd-bus's, whose calls
// report -ENOMEM like any other error; memory of Python objects is the
// interpreter's, whose calls raise MemoryError.
//
// The standard strings and containers inside records (names, signatures,
// marshalling plans: sizes bounded by D-Bus's own limits, never a message's
// payload) cannot report a failed allocation: the modules are built without
// exceptions, so such a failure ends the process, as the interpreter's own
// fatal errors do.
template <typename T, typename... Args>
std::unique_ptr<T> allocate(Args &&...args) noexcept {
    return std::unique_ptr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

}  // namespace vq
