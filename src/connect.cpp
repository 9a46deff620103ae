#include "connect.hpp"

#include "vq_error_handling.hpp"

namespace {

sd_bus *g_client_bus = nullptr;
sd_bus *g_server_bus = nullptr;

std::recursive_mutex g_client_lock;
std::recursive_mutex g_server_lock;

void close_global(sd_bus *&place) noexcept {
    if (place)
        bus_close(&place);
}

// Opens a connection into `place`.  Returns null while any failure is
// recorded, even one older than this open: the connection is then kept in
// `place` all the same, and acquire() hands it out.
sd_bus *open_into(sd_bus *&place) noexcept {
    // Only called with no connection held; a native caller that opens twice
    // gets the earlier connection closed rather than leaked.
    close_global(place);
    place = bus_open();
    return vq_has_error() ? nullptr : place;
}

sd_bus *acquire(sd_bus *&place) noexcept {
    if (!place)
        (void)open_into(place);
    return place;
}

}  // namespace

namespace vq {
std::recursive_mutex &client_bus_lock() noexcept { return g_client_lock; }
std::recursive_mutex &server_bus_lock() noexcept { return g_server_lock; }

void drop_client_bus_if_closed() noexcept {
    bus_guard lock(g_client_lock);
    if (g_client_bus && sd_bus_is_open(g_client_bus) <= 0)
        bus_close(&g_client_bus);
}
}  // namespace vq

extern "C" sd_bus *bus_open(void) noexcept {
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        set_vq_error(FAILED_TO_CONNECT_TO_SYSTEM_BUS);
        return nullptr;
    }
    return bus;
}

extern "C" sd_bus *client_bus_open(void) noexcept {
    vq::bus_guard lock(g_client_lock);
    return open_into(g_client_bus);
}

extern "C" sd_bus *server_bus_open(void) noexcept {
    vq::bus_guard lock(g_server_lock);
    return open_into(g_server_bus);
}

extern "C" sd_bus *acquire_client_bus(void) noexcept {
    vq::bus_guard lock(g_client_lock);
    return acquire(g_client_bus);
}

extern "C" sd_bus *acquire_server_bus(void) noexcept {
    vq::bus_guard lock(g_server_lock);
    return acquire(g_server_bus);
}

extern "C" sd_bus *get_client_bus(void) noexcept {
    vq::bus_guard lock(g_client_lock);
    return g_client_bus;
}

extern "C" sd_bus *get_server_bus(void) noexcept {
    vq::bus_guard lock(g_server_lock);
    return g_server_bus;
}

extern "C" int is_client_bus_open(void) noexcept {
    vq::bus_guard lock(g_client_lock);
    return g_client_bus ? 1 : 0;
}

extern "C" int is_server_bus_open(void) noexcept {
    vq::bus_guard lock(g_server_lock);
    return g_server_bus ? 1 : 0;
}

extern "C" void bus_close(sd_bus **bus) noexcept {
    if (!bus || !*bus)
        return;
    sd_bus_flush_close_unref(*bus);
    *bus = nullptr;
}

extern "C" void client_bus_close(void) noexcept {
    vq::bus_guard lock(g_client_lock);
    close_global(g_client_bus);
}

extern "C" void server_bus_close(void) noexcept {
    vq::bus_guard lock(g_server_lock);
    close_global(g_server_bus);
}

extern "C" void client_bus_deinit(void) noexcept { client_bus_close(); }

extern "C" void server_bus_deinit(void) noexcept { server_bus_close(); }
