// The module's bus operations that are not systemd calls: closing the client
// connection, the generic method call, and the service host.
#pragma once

#include <systemd/sd-bus.h>

#include "variant.hpp"

extern "C" {

// Closes the client connection (if open) and clears the error state.
void deinit_client(void) noexcept;

}  // extern "C"

// ---------------------------------------------------------------------------
// Generic method call.

extern "C" {

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

}  // extern "C"
