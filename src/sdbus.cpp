#include "sdbus.hpp"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "connect.hpp"
#include "gil.hpp"
#include "helpers.hpp"
#include "owners.hpp"
#include "python_runner.hpp"
#include "sd_python_runner.hpp"
#include "variant.hpp"
#include "vq_error_handling.hpp"

extern "C" void deinit_client(void) noexcept {
    // Under the client lock, so a call running on another thread finishes
    // before its connection is closed.
    vq::bus_guard lock(vq::client_bus_lock());
    client_bus_deinit();
    vq_clean_error();
}

// ---------------------------------------------------------------------------
// Generic method call.

namespace {

// The call always passes exactly two strings behind the caller's input
// signature.  Any signature but one or two string codes would make the
// library read other types from those pointers (an integer from a pointer,
// an array length from a pointer), so nothing else is accepted.
bool input_sig_accepted(const char *sig) noexcept {
    return sig && sig[0] == 's' && (sig[1] == '\0' || (sig[1] == 's' && sig[2] == '\0'));
}

int refuse_call(const char *why) noexcept {
    set_vq_error_msg(FAILED_TO_ISSUE_METHOD_CALL, why);
    return -EINVAL;
}

constexpr char k_input_sig_refused[] = "send accepts only the input signatures \"s\" and \"ss\"";

// Reads one value per character of output_sig from the reply into `out`.
// `status` is the call's; each read replaces it.  A status of 0 means the
// reply holds no further value: the element stays empty and decoding goes
// on.  A negative one ends decoding.
int decode_reply(sd_bus_message *reply, const char *output_sig, size_t n, variant_t *out,
                 int status) noexcept {
    for (size_t i = 0; i < n; ++i) {
        switch (output_sig[i]) {
        case SD_BUS_TYPE_INT32: {
            int32_t val = -1;
            status = sd_bus_message_read_basic(reply, SD_BUS_TYPE_INT32, &val);
            if (status > 0)
                variant_set_int(&out[i], val);
            break;
        }
        case SD_BUS_TYPE_STRING: {
            const char *text = nullptr;
            status = sd_bus_message_read_basic(reply, SD_BUS_TYPE_STRING, &text);
            if (status > 0 && text)
                variant_set_str(&out[i], text);
            break;
        }
        default:
            // Not decoded: the read position stays, so the next 'i' or 's'
            // reads the value this character stood for.
            continue;
        }
        // The library reports a read past the reply's last value as -ENXIO,
        // like a value of another type; past the end it is a reply that ran
        // out, which is status 0.
        if (status == -ENXIO && sd_bus_message_at_end(reply, 0) > 0)
            status = 0;
        if (status < 0) {
            set_vq_error(FAILED_TO_PARSE_REPLY);
            break;
        }
    }
    return status;
}

}  // namespace

extern "C" int b_client(sd_bus *bus, const char *s_name, const char *s_path, const char *i_name,
                        const char *m_name, const char *input_sig, const char *output_sig,
                        const char *first_arg, const char *second_arg,
                        variant_array_t *return_data) noexcept {
    if (!input_sig_accepted(input_sig))
        return refuse_call(k_input_sig_refused);
    if (!output_sig || !return_data)
        return refuse_call("no output signature or result array given");
    if (!bus) {
        // Opening the connection has failed (acquire_client_bus recorded it)
        // or a native caller passed none: no call without a connection.
        set_vq_error(FAILED_TO_CONNECT_TO_SYSTEM_BUS);
        return -ENOTCONN;
    }

    vq::bus_error error;
    vq::message_ptr reply;
    // An omitted value goes as the empty string, which is also what the
    // library makes of a null string.
    int r = sd_bus_call_method(bus, s_name, s_path, i_name, m_name, &error, vq::out(reply),
                               input_sig, first_arg ? first_arg : "",
                               second_arg ? second_arg : "");
    if (r < 0) {
        set_vq_error_msg(FAILED_TO_ISSUE_METHOD_CALL, error.message);
        return r;
    }

    const size_t n = std::strlen(output_sig);
    allocate_variant_array(&return_data, n);
    if (n > 0 && !variant_array_is_allocated(*return_data)) {
        // No room for the result: a failure, never a result with unset values.
        set_vq_error(FAILED_TO_PARSE_REPLY);
        return -ENOMEM;
    }
    return decode_reply(reply.get(), output_sig, n, return_data->variants, r);
}

extern "C" int client(const char *s_name, const char *s_path, const char *i_name,
                      const char *m_name, const char *input_sig, const char *output_sig,
                      const char *first_arg, const char *second_arg,
                      variant_array_t *return_data) noexcept {
    // Refused before a connection is opened for it.
    if (!input_sig_accepted(input_sig))
        return refuse_call(k_input_sig_refused);
    vq::bus_guard lock(vq::client_bus_lock());
    return b_client(acquire_client_bus(), s_name, s_path, i_name, m_name, input_sig, output_sig,
                    first_arg, second_arg, return_data);
}

// ===========================================================================
// The service host: the method registry, dispatch of incoming calls, the
// listen loop and its shutdown.
//
// Locking.  Every use of the server connection and of the registry happens
// under the server lock (connect.hpp), without the interpreter lock.  The
// listen loop processes under the server lock, and the method callback takes
// the interpreter lock inside that to run a callable: the order is server
// lock -> interpreter lock.  So no thread waits for the server lock while it
// holds the interpreter lock; the functions below release it first.

extern "C" {
vq_method *g_methods = nullptr;
int g_methods_amount = 0;
int g_event_fd = 0;
}

namespace {

constexpr int max_events = 10;        // events taken per wait
constexpr int wait_cap_ms = 10000;    // the longest wait between open checks
constexpr size_t max_args = 255;      // the longest D-Bus signature
constexpr uint64_t dead_beef = 0xdeadbeef;  // the wake-up value
constexpr rlim_t wanted_open_files = 16384;

// --- Registry -------------------------------------------------------------
// All of it under the server lock.

// The number of slots g_methods really has: g_methods_amount follows every
// init(), also those that allocate nothing.
int g_registry_size = 0;

// Registries that a later init() replaced without deinit_server in between.
// Their methods stay published (the bus holds their slots' addresses as user
// data), so they stay alive until deinit_server releases them with the rest.
struct retired_registry {
    vq_method *methods;
    int size;
    retired_registry *next;
};
retired_registry *g_retired = nullptr;

void retire(vq_method *methods, int size) noexcept {
    auto *node = static_cast<retired_registry *>(std::malloc(sizeof(retired_registry)));
    if (!node)
        return;  // no memory to remember it: it stays alive, unreachable
    *node = {methods, size, g_retired};
    g_retired = node;
}

// Unpublishes and frees what the slots own on the bus side.  The callables
// stay in the slots: giving them back needs the interpreter lock.
void release_bus_parts(vq_method *methods, int size) noexcept {
    for (int i = 0; i < size; ++i) {
        vq_method &m = methods[i];
        m.slot = sd_bus_slot_unref(m.slot);  // removes the vtable from the connection
        std::free(std::exchange(m.method_vtable, nullptr));
        std::free(std::exchange(m.method_data.input_sig, nullptr));
        std::free(std::exchange(m.method_data.output_sig, nullptr));
        std::free(std::exchange(m.method_data.method_name, nullptr));
    }
}

// Gives back the slots' references to their callables and frees the array.
// Interpreter lock held.
void release_callables(vq_method *methods, int size) noexcept {
    for (int i = 0; i < size; ++i)
        vq::release_python_object(std::exchange(methods[i].method_data.method_cfunc, nullptr));
    std::free(methods);
}

// Why slot `index` cannot take a registration, or null when it can.
const char *slot_refusal(int index, char *buf, size_t len) noexcept {
    if (!g_methods)
        std::snprintf(buf, len, "no method registry: init() was not given a positive count");
    else if (index < 0 || index >= g_methods_amount || index >= g_registry_size)
        std::snprintf(buf, len, "method index %d is outside the registry of %d slots", index,
                      g_methods_amount);
    else if (g_methods[index].method_data.method_name || g_methods[index].method_vtable)
        std::snprintf(buf, len, "method index %d is already registered", index);
    else
        return nullptr;
    return buf;
}

// --- Shutdown signalling ----------------------------------------------------

// deinit_server calls waiting for the server lock.  The loop's processing
// step stops between two processing calls when one is waiting, so a flood of
// incoming calls cannot hold shutdown back.
std::atomic<int> g_deinit_pending{0};
// A deinit_server called by a callable that the loop is running: the
// teardown waits until the processing call has returned (listen runs it).
std::atomic<bool> g_deferred_deinit{false};
// Whether this thread is inside the loop's processing step.
thread_local bool t_processing = false;

bool shutdown_pending() noexcept {
    return g_deinit_pending.load(std::memory_order_acquire) != 0 ||
           g_deferred_deinit.load(std::memory_order_acquire);
}

// --- The loop's view of the connection ---------------------------------------
// Written by process_server for the one running loop (listen refuses a
// second one), read by that loop's thread.

struct loop_watch {
    uint32_t events = EPOLLIN;   // what to wait for on the connection's descriptor
    int timeout_ms = wait_cap_ms;
    bool closed = false;         // the connection is no longer the server connection
};
loop_watch g_watch;
std::atomic<bool> g_listening{false};
// Calls dispatched to a method: tells a processing step that served a call
// from one that only handled bus housekeeping.  Under the server lock.
unsigned long g_calls_served = 0;

uint32_t epoll_mask(int poll_events) noexcept {
    uint32_t mask = 0;
    if (poll_events & POLLIN)
        mask |= EPOLLIN;
    if (poll_events & POLLOUT)
        mask |= EPOLLOUT;
    return mask;
}

// Milliseconds until the absolute CLOCK_MONOTONIC time `until_usec` that
// sd_bus_get_timeout reported, rounded up, capped at the loop's longest wait.
int wait_ms(uint64_t until_usec) noexcept {
    if (until_usec == UINT64_MAX)
        return wait_cap_ms;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t now_usec =
        static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    if (until_usec <= now_usec)
        return 0;
    const uint64_t ms = (until_usec - now_usec + 999) / 1000;
    return ms > static_cast<uint64_t>(wait_cap_ms) ? wait_cap_ms : static_cast<int>(ms);
}

int watch_fd(int epoll_fd, int op, int fd, uint32_t events) noexcept {
    epoll_event ev {};
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(epoll_fd, op, fd, &ev) == 0 ? 0 : -errno;
}

// --- Dispatch ----------------------------------------------------------------

// Answers `m` with one value per position of `output_sig` whose type code
// matches the result at that position (i: an integer, sent as its low 32
// bits; s: a string); other positions contribute nothing.
int reply_with(sd_bus_message *m, const char *output_sig, variant_array_t results) noexcept {
    // A caller that asked for no reply gets none; that is no failure.
    if (!sd_bus_message_get_expect_reply(m))
        return 1;
    vq::message_ptr reply;
    int r = sd_bus_message_new_method_return(m, vq::out(reply));
    if (r < 0) {
        set_vq_error(FAILED_TO_REPLY_METHOD_RETURN);
        return r;
    }
    const size_t count = variant_array_is_allocated(results) ? variant_array_get_size(results) : 0;
    for (size_t i = 0; i < count && output_sig[i]; ++i) {
        const variant_t v = results.variants[i];
        if (output_sig[i] == 'i' && variant_is_int(v)) {
            const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(variant_get_int(v)));
            (void)sd_bus_message_append_basic(reply.get(), 'i', &low);
        } else if (output_sig[i] == 's' && variant_is_str(v) && variant_get_str(v)) {
            (void)sd_bus_message_append_basic(reply.get(), 's', variant_get_str(v));
        }
    }
    // Sent on the connection the call came in on, which is the server
    // connection being processed.  sd-bus sends a method return only when
    // its signature is the output signature the vtable declares: a reply
    // with a position left out fails here with -ENOMSG, and the library
    // answers the call with that error instead.
    r = sd_bus_send(nullptr, reply.get(), nullptr);
    if (r < 0)
        set_vq_error(FAILED_TO_REPLY_METHOD_RETURN);
    return r;
}

// The one callback of every published method.  Runs inside the loop's
// processing step: server lock held, interpreter lock not held.
int method_handler(sd_bus_message *m, void *userdata, sd_bus_error *ret_error) noexcept {
    const auto *data = static_cast<const vq_method_data *>(userdata);
    const char *input_sig = data->input_sig;
    const size_t n = std::strlen(input_sig);
    if (n > max_args) {  // sd-bus accepts no longer signature; never trust it blindly
        set_vq_error(FAILED_TO_PARSE_PARAMETERS);
        return -EINVAL;
    }
    vq_arg_cell args[max_args];
    for (size_t i = 0; i < n; ++i) {
        args[i].t = 0;
        const int r = sd_bus_message_read_basic(m, input_sig[i], &args[i]);
        if (r < 0) {
            set_vq_error(FAILED_TO_PARSE_PARAMETERS);
            return r;
        }
    }
    if (!data->method_cfunc)
        return sd_bus_error_setf(ret_error, SD_BUS_ERROR_NOT_SUPPORTED,
                                 "No callable is registered for method %s", data->method_name);
    ++g_calls_served;
    variant_array_t results = init_variant_array();
    (void)run_python_func(input_sig, data->method_cfunc, args, &results);
    const int r = reply_with(m, data->output_sig, results);
    if (variant_array_is_allocated(results))
        variant_array_free(results);
    return r;
}

// --- The loop ------------------------------------------------------------

// Waits and processes until woken, closed or lost.  Returns the status of
// the last processing step that served a call (0 when none did), or the
// negative status of a failed one.
int serve(sd_bus *bus, int bus_fd, int epoll_fd, int event_fd) noexcept {
    epoll_event events[max_events];
    uint32_t watched = EPOLLIN;
    int r = 0;
    g_watch = loop_watch{};
    for (;;) {
        // Processing comes first: sd-bus may already hold messages that it
        // read while registering, which no readiness would ever announce.
        const int status = run_sd_bus_process_threads(bus);
        if (g_deferred_deinit.exchange(false))
            deinit_server();  // asked for by a callable; the processing call is over now
        if (status < 0) {
            set_vq_error(FAILED_TO_PROCESS_BUS);
            return status;
        }
        if (status > 0)
            r = status;
        if (g_watch.closed)
            return r;
        // Wait for output too while sd-bus has replies it could not write at
        // once.  A failure leaves the old mask; the next step reports a
        // connection that is gone.
        if (g_watch.events != watched && watch_fd(epoll_fd, EPOLL_CTL_MOD, bus_fd, g_watch.events) == 0)
            watched = g_watch.events;
        // A timeout or an interrupted wait simply goes round again.
        const int nfds = run_epoll_wait_threads(epoll_fd, events, max_events, g_watch.timeout_ms);
        for (int i = 0; i < nfds; ++i)
            if (events[i].data.fd == event_fd)
                return r;  // the wake-up of deinit_server
    }
}

int run_loop() noexcept {
    sd_bus *bus = nullptr;
    int bus_fd = -ENOTCONN;
    int added = -EBADF;
    // All three descriptors are obtained first; the first failure in the
    // order epoll, connection, watch list decides the code.
    const int epoll_fd = epoll_create1(0);
    const int epoll_errno = errno;
    {
        vq::gil_released unlocked;
        vq::bus_guard lock(vq::server_bus_lock());
        // The loop's own reference: the connection object stays valid (and
        // its address unused by any other) until the loop has left, even
        // when deinit_server closes it meanwhile.
        bus = sd_bus_ref(acquire_server_bus());
        if (bus)
            bus_fd = sd_bus_get_fd(bus);
        // Watched before it can be closed: a deinit_server from now on
        // closes it inside the epoll set (which drops it), never before.
        if (epoll_fd >= 0 && bus_fd >= 0)
            added = watch_fd(epoll_fd, EPOLL_CTL_ADD, bus_fd, EPOLLIN);
    }
    // Recorded only once the connection is taken, so that a deinit_server
    // which wakes this loop also closes the connection it serves.  One that
    // ran before this point closed it without a wake-up: the first
    // processing step finds it gone.
    const int event_fd = eventfd(0, 0);
    g_event_fd = event_fd > 0 ? event_fd : 0;

    int result;
    if (epoll_fd < 0) {
        set_vq_error(FAILED_EPOLL_CREATE);
        result = -epoll_errno;
    } else if (bus_fd < 0) {
        set_vq_error(FAILED_TO_GET_SD_FD);
        result = bus_fd;
    } else if ((result = added) < 0 ||
               (result = event_fd < 0 ? -EBADF : watch_fd(epoll_fd, EPOLL_CTL_ADD, event_fd, EPOLLIN)) < 0) {
        set_vq_error(FAILED_EPOLL_CTL);
    } else {
        result = serve(bus, bus_fd, epoll_fd, event_fd);
    }

    // Every exit closes each descriptor once and forgets the wake-up, so a
    // later deinit_server writes to nothing that the loop has closed.
    if (epoll_fd >= 0)
        close(epoll_fd);
    if (event_fd >= 0)
        close(event_fd);
    if (g_event_fd == event_fd)
        g_event_fd = 0;
    {
        vq::gil_released unlocked;
        vq::bus_guard lock(vq::server_bus_lock());
        sd_bus_unref(bus);
    }
    return result;
}

}  // namespace

// --- Registry operations ------------------------------------------------------

extern "C" void init(int methods_amount) noexcept {
    const struct rlimit wanted {wanted_open_files, wanted_open_files};
    (void)setrlimit_closest(RLIMIT_NOFILE, &wanted);

    vq::bus_guard lock(vq::server_bus_lock());
    g_methods_amount = methods_amount;
    if (methods_amount <= 0)
        return;
    auto *fresh = static_cast<vq_method *>(std::calloc(static_cast<size_t>(methods_amount),
                                                       sizeof(vq_method)));
    if (g_methods)
        retire(g_methods, g_registry_size);
    g_methods = fresh;
    g_registry_size = fresh ? methods_amount : 0;
}

extern "C" void init_method_data(const char *method_name, const char *output_sig,
                                 const char *input_sig, void *method_cfunc, int index_data) noexcept {
    vq::bus_guard lock(vq::server_bus_lock());
    if (!g_methods || index_data < 0 || index_data >= g_registry_size)
        return;
    vq_method_data &d = g_methods[index_data].method_data;
    d.method_name = strdup(method_name);
    d.output_sig = strdup(output_sig);
    d.input_sig = strdup(input_sig);
    d.method_cfunc = method_cfunc;
}

extern "C" void init_vtable(const char *, const char *, const char *, int index_data) noexcept {
    vq::bus_guard lock(vq::server_bus_lock());
    if (!g_methods || index_data < 0 || index_data >= g_registry_size)
        return;
    vq_method &slot = g_methods[index_data];
    // Zero-filled, as sd-bus requires of the unused parts of every entry.
    auto *vt = static_cast<sd_bus_vtable *>(std::calloc(3, sizeof(sd_bus_vtable)));
    if (!vt)
        return;
    // The start entry by hand: SD_BUS_VTABLE_START would reference a symbol
    // of a newer libsystemd.  Without a format reference sd-bus reads the
    // table in its basic form (no parameter names).
    vt[0].type = _SD_BUS_VTABLE_START;
    vt[0].flags = 0;
    vt[0].x.start.element_size = sizeof(sd_bus_vtable);
    vt[1].type = _SD_BUS_VTABLE_METHOD;
    vt[1].flags = SD_BUS_VTABLE_UNPRIVILEGED;
    vt[1].x.method.member = slot.method_data.method_name;
    vt[1].x.method.signature = slot.method_data.input_sig;
    vt[1].x.method.result = slot.method_data.output_sig;
    vt[1].x.method.handler = method_handler;
    vt[2].type = _SD_BUS_VTABLE_END;
    slot.method_vtable = vt;
}

namespace vq {
int service_register(sd_bus *bus, const char *path, const char *if_name, const char *method_name,
                     const char *output_sig, const char *input_sig, void *method_cfunc,
                     int method_index, bool &took_callable) noexcept {
    took_callable = false;
    vq::bus_guard lock(vq::server_bus_lock());
    char why[128];
    if (const char *refusal = slot_refusal(method_index, why, sizeof why)) {
        set_vq_error_msg(FAILED_TO_ADD_OBJECT_VTABLE, refusal);
        return 0;
    }
    init_method_data(method_name, output_sig, input_sig, method_cfunc, method_index);
    took_callable = true;
    init_vtable(method_name, output_sig, input_sig, method_index);
    vq_method &slot = g_methods[method_index];
    if (!slot.method_vtable || !slot.method_data.method_name || !slot.method_data.input_sig ||
        !slot.method_data.output_sig) {
        set_vq_error_msg(FAILED_TO_ADD_OBJECT_VTABLE, "no memory for the method's copies");
        return 0;
    }
    if (sd_bus_add_object_vtable(bus, &slot.slot, path, if_name, slot.method_vtable, &slot) < 0) {
        set_vq_error(FAILED_TO_ADD_OBJECT_VTABLE);
        return 0;
    }
    if (sd_bus_request_name(bus, if_name, 0) < 0) {
        set_vq_error(FAILED_TO_ACQUIRE_SERVICE_NAME);
        return 0;
    }
    return 1;
}

int process_server(sd_bus *bus) noexcept {
    vq::bus_guard lock(vq::server_bus_lock());
    if (!bus || bus != get_server_bus()) {
        // deinit_server (or another close) took it away: nothing to process.
        g_watch.closed = true;
        return 0;
    }
    const unsigned long served_before = g_calls_served;
    int r = 0;
    t_processing = true;
    while (!shutdown_pending() && (r = sd_bus_process(bus, nullptr)) > 0) {
    }
    t_processing = false;
    if (r < 0)
        return r;  // a lost connection ends here, after sd-bus processed the disconnect
    if (shutdown_pending()) {
        g_watch.timeout_ms = 0;  // the wake-up is already written
    } else {
        const int events = sd_bus_get_events(bus);
        if (events < 0)
            return events;
        uint64_t until = UINT64_MAX;
        const int t = sd_bus_get_timeout(bus, &until);
        if (t < 0)
            return t;
        g_watch.events = epoll_mask(events);
        g_watch.timeout_ms = wait_ms(until);
    }
    return g_calls_served != served_before ? 1 : 0;
}
}  // namespace vq

extern "C" int service_register(sd_bus *bus, const char *path, const char *if_name,
                                const char *method_name, const char *output_sig,
                                const char *input_sig, void *method_cfunc, int method_index) noexcept {
    bool took_callable = false;
    return vq::service_register(bus, path, if_name, method_name, output_sig, input_sig,
                                method_cfunc, method_index, took_callable);
}

// --- Listen loop and shutdown -----------------------------------------------

extern "C" int listen(void) noexcept {
    // One loop at a time: a second would share the wake-up descriptor and
    // process the same connection.
    if (g_listening.exchange(true)) {
        set_vq_error(FAILED_TO_WAIT_BUS);
        return -EBUSY;
    }
    const int r = run_loop();
    g_listening.store(false);
    return r;
}

extern "C" int get_sd_bus_fd(void) noexcept {
    vq::bus_guard lock(vq::server_bus_lock());
    sd_bus *bus = acquire_server_bus();
    return bus ? sd_bus_get_fd(bus) : -ENOTCONN;
}

extern "C" void deinit_server(void) noexcept {
    // The interpreter lock is held here and guards g_event_fd.  The loop
    // never reads the counter; the descriptor's readiness is the signal.
    if (g_event_fd != 0) {
        const ssize_t written = write(g_event_fd, &dead_beef, sizeof dead_beef);
        (void)written;  // a failed wake-up still ends the loop: it sees the connection closed
        g_event_fd = 0;
    }
    if (t_processing) {
        // Called by a callable that the loop runs on this thread: the
        // connection and the slot are in use further up this very stack.
        g_deferred_deinit.store(true, std::memory_order_release);
        return;
    }

    vq_method *methods;
    int size;
    retired_registry *retired;
    g_deinit_pending.fetch_add(1, std::memory_order_acq_rel);
    {
        // A processing call in progress may be waiting for the interpreter
        // lock to run a callable: release it before waiting for the server
        // lock, which the processing call holds until it has returned.
        vq::gil_released unlocked;
        vq::bus_guard lock(vq::server_bus_lock());
        g_deinit_pending.fetch_sub(1, std::memory_order_acq_rel);
        server_bus_deinit();
        methods = std::exchange(g_methods, nullptr);
        size = std::exchange(g_registry_size, 0);
        retired = std::exchange(g_retired, nullptr);
        release_bus_parts(methods, size);
        for (retired_registry *r = retired; r; r = r->next)
            release_bus_parts(r->methods, r->size);
    }
    // Back under the interpreter lock: give the callables back.
    release_callables(methods, size);
    while (retired) {
        retired_registry *next = retired->next;
        release_callables(retired->methods, retired->size);
        std::free(retired);
        retired = next;
    }
    vq_clean_error();
}
