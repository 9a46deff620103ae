// The two system-bus connections: the client connection carries every
// outgoing call, the server connection publishes methods and serves them.
// Each opens on first use and stays open until its deinit.
#pragma once

#include <mutex>

#include <systemd/sd-bus.h>

extern "C" {
#pragma GCC visibility push(default)

sd_bus *bus_open(void) noexcept;

sd_bus *client_bus_open(void) noexcept;
sd_bus *server_bus_open(void) noexcept;
sd_bus *acquire_client_bus(void) noexcept;
sd_bus *acquire_server_bus(void) noexcept;
sd_bus *get_client_bus(void) noexcept;
sd_bus *get_server_bus(void) noexcept;
int is_client_bus_open(void) noexcept;
int is_server_bus_open(void) noexcept;

void bus_close(sd_bus **bus) noexcept;
void client_bus_close(void) noexcept;
void server_bus_close(void) noexcept;
void client_bus_deinit(void) noexcept;
void server_bus_deinit(void) noexcept;

#pragma GCC visibility pop
}  // extern "C"

namespace vq {

// sd-bus connections must not be used from two threads at once.  Each
// connection has a lock of its own, held for the whole of every use of the
// connection (open, call, process, close).  They are recursive so that an
// operation holding its connection's lock may call the exported functions
// above, which take the same lock for their own short runs.
//
// Lock order, outermost first:
//     server lock -> interpreter lock -> client lock -> error-state lock
// The listen loop holds the server lock while sd-bus processes, and the
// method callback takes the interpreter lock inside that to run Python; a
// callable may in turn make client calls.  So a thread never waits for the
// server or the client lock while it holds the interpreter lock: wrappers
// release the interpreter lock first (the client side never needs the
// interpreter lock, but a client call can take as long as its timeout, and
// every other Python thread would stall behind it).  The error-state lock is
// a leaf and may be taken anywhere.
std::recursive_mutex &client_bus_lock() noexcept;
std::recursive_mutex &server_bus_lock() noexcept;

using bus_guard = std::lock_guard<std::recursive_mutex>;

// Drops the client connection when it is no longer open: the bus closed it
// (the bus daemon went away or restarted), and sd-bus never reconnects a
// connection by itself.  Called after every use of the client connection, so
// that the call which found it closed fails and records why as any failed
// call does, and the next call opens a fresh connection.  Nothing is sent
// again: a call that may have reached the bus is never repeated.
void drop_client_bus_if_closed() noexcept;

}  // namespace vq
