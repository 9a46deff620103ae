// The module's bus operations that are not systemd calls: closing the client
// connection, the generic method call, and the service host.
#pragma once

extern "C" {

// Closes the client connection (if open) and clears the error state.
void deinit_client(void) noexcept;

}  // extern "C"
