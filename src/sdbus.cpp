#include "sdbus.hpp"

#include "connect.hpp"
#include "vq_error_handling.hpp"

extern "C" void deinit_client(void) noexcept {
    // Under the client lock, so a call running on another thread finishes
    // before its connection is closed.
    vq::bus_guard lock(vq::client_bus_lock());
    client_bus_deinit();
    vq_clean_error();
}
