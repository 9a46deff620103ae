// The module's bus operations that are not systemd calls: closing the client
// connection, the generic method call, and the service host.
#pragma once

#include <systemd/sd-bus.h>

#include "variant.hpp"

extern "C" {
#pragma GCC visibility push(default)

// Closes the client connection (if open) and clears the error state.
void deinit_client(void) noexcept;

#pragma GCC visibility pop
}  // extern "C"

// ---------------------------------------------------------------------------
// Generic method call.

extern "C" {
#pragma GCC visibility push(default)

// Calls member m_name of interface i_name at s_path on the service s_name,
// with first_arg and second_arg as the values behind input_sig ("s" or "ss";
// an omitted value goes as the empty string), and decodes the reply into
// *return_data, one element per character of output_sig ('i' and 's' are
// read, other characters leave their element empty).  return_data must hold
// no block; the caller frees what it gets.  Returns the status of the call or
// of the last read; negative on failure, with the cause recorded.
int b_client(sd_bus *bus, const char *s_name, const char *s_path, const char *i_name,
             const char *m_name, const char *input_sig, const char *output_sig,
             const char *first_arg, const char *second_arg, variant_array_t *return_data) noexcept;

// b_client on the client connection, opened if need be, holding the
// connection's lock for the whole call.
int client(const char *s_name, const char *s_path, const char *i_name, const char *m_name,
           const char *input_sig, const char *output_sig, const char *first_arg,
           const char *second_arg, variant_array_t *return_data) noexcept;

#pragma GCC visibility pop
}  // extern "C"

// ---------------------------------------------------------------------------
// The service host: the method registry, the listen loop and its shutdown
// (implemented in service_host.cpp).

// What the method callback needs of one published method.
typedef struct vq_method_data {
    char *output_sig;  // own copy: the reply's type codes, one per position
    char *input_sig;  // own copy: the arguments' type codes, one per argument
    char *method_name;  // own copy: the member name
    void *method_cfunc;  // the Python callable (one counted reference), or null
} vq_method_data;

// One registry slot.  method_data comes first, so the slot's address, which
// is the vtable's user data, is also the address of its vq_method_data.
typedef struct vq_method {
    vq_method_data method_data;
    sd_bus_vtable *method_vtable;  // own array of three entries
    sd_bus_slot *slot;  // holds the vtable registered; null before
} vq_method;

extern "C" {
#pragma GCC visibility push(default)

// The registry, its slot count as the last init() gave it, and the wake-up
// eventfd of a running listen loop (0: none).  g_methods and
// g_methods_amount change under the server connection's lock; g_event_fd is
// read and written with the interpreter lock held.
extern vq_method *g_methods;
extern int g_methods_amount;
extern int g_event_fd;

// Raises the open-file limit and sizes the registry to `methods_amount`
// empty slots (nothing is allocated for 0 or less).  Only the slots that
// registrations use are ever written to.
void init(int methods_amount) noexcept;
void init_method_data(const char *method_name, const char *output_sig, const char *input_sig,
                      void *method_cfunc, int index_data) noexcept;
void init_vtable(const char *method_name, const char *method_return, const char *method_args,
                 int index_data) noexcept;
// Publishes one method at slot `method_index`: vtable added at `path` under
// `if_name`, bus name `if_name` requested.  1 on success, 0 on failure.
int service_register(sd_bus *bus, const char *path, const char *if_name, const char *method_name,
                     const char *output_sig, const char *input_sig, void *method_cfunc,
                     int method_index) noexcept;

// Serves incoming calls on the server connection until deinit_server wakes
// it or the connection is gone.  Called with the interpreter lock held,
// which it releases while it waits and processes.  On the main thread a
// signal whose handler raises (Ctrl-C) stops it too: it then returns with
// that exception set, leaving the connection and the methods in place.
int listen(void) noexcept;
// The server connection's descriptor (the connection opens on first use).
int get_sd_bus_fd(void) noexcept;
// Wakes a running loop, closes the server connection, releases the registry
// and clears the error state.  Called with the interpreter lock held.
void deinit_server(void) noexcept;

#pragma GCC visibility pop
}  // extern "C"

namespace vq {

// init, telling whether the registry could be allocated (true also for a
// count of 0 or less, which allocates nothing).  Without memory for the
// slots it records code 13 with a detail text saying so, and the registry
// is absent until the next init.
bool init(int methods_amount) noexcept;

// service_register, telling the caller whether the slot took over the
// reference to `method_cfunc` (it does not when there is no slot for it).
int service_register(sd_bus *bus, const char *path, const char *if_name, const char *method_name,
                     const char *output_sig, const char *input_sig, void *method_cfunc,
                     int method_index, bool &took_callable) noexcept;

// The registration entry: service_register on the server connection, opened
// if need be, holding the connection's lock for the whole registration.
int register_method(const char *path, const char *if_name, const char *method_name,
                    const char *output_sig, const char *input_sig, void *method_cfunc,
                    int method_index, bool &took_callable) noexcept;

// One processing step of the server connection `bus`, as the listen loop
// makes it: under the server lock, without the interpreter lock; processes
// until sd-bus has no more work or a deinit_server is waiting.  Returns a
// negative status when processing failed (the connection is lost), 1 when
// it dispatched a call to a method, else 0.
int process_server(sd_bus *bus) noexcept;

}  // namespace vq
