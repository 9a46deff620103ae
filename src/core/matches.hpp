// Subscriptions to signals: the match rules sent to the bus, the matching
// of received signals to subscriptions, the queue of each subscription and
// waiting for its next signal with the interpreter lock released.
//
// The bus routes to a connection the signals of all its rules together, so
// each received signal is matched here against every subscription.  A rule
// whose sender is a well-known name is matched against the name's current
// owner, which is followed through the bus's NameOwnerChanged signals: two
// subscriptions for two services never see each other's signals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <systemd/sd-bus.h>

#include "core/connection.hpp"

namespace vq::core {

struct match_registry;

// The bound of a subscription's queue unless subscribe() is given another:
// past it the oldest signals are dropped, and counted.
constexpr size_t default_max_queued = 10000;
// Argument matches name arguments 0 to 63, as D-Bus defines them.
constexpr unsigned max_arg_matches = 64;

match_registry *new_match_registry() noexcept;
// Marks the registry of a connection to a peer (no bus between): no rule is
// sent anywhere, the peer's signals carry no sender and every one is its
// own, so a subscription's sender is not matched.  Before any subscription.
void set_peer_registry(match_registry &registry) noexcept;
// Releases every subscription's queue and the registry.  Under the lock.
void free_match_registry(match_registry *registry, connection &conn) noexcept;

// Hands a received signal to the subscriptions it matches.  Under the lock,
// during processing.
void dispatch_signal(match_registry &registry, connection &conn, sd_bus_message *m) noexcept;

// Bus.subscribe (METH_FASTCALL | METH_KEYWORDS).
PyObject *bus_subscribe(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept;
extern const char bus_subscribe_doc[];
// For an event loop: (Subscription, PendingCall of its AddMatch; on a
// connection to a peer, of a Peer.Ping that orders it after what was sent).
PyObject *bus_subscribe_start(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) noexcept;

// Readies the Subscription type; 0, or -1 with an exception set.
int subscription_type_ready(PyObject *module) noexcept;

}  // namespace vq::core
