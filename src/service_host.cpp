// The service host: the method registry and registration, dispatch of
// incoming calls into Python, the listen loop and its shutdown.  Its
// operations are declared in sdbus.hpp.
//
// Locking.  Every use of the server connection and of the registry happens
// under the server lock (connect.hpp), without the interpreter lock.  The
// listen loop processes under the server lock, and the method callback takes
// the interpreter lock inside that to run a callable: the order is server
// lock -> interpreter lock.  So no thread waits for the server lock while it
// holds the interpreter lock; the functions below release it first.  The
// finish lock of the state record is a leaf: nothing else is taken while it
// is held, and listen waits on it without the interpreter lock.

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "connect.hpp"
#include "gil.hpp"
#include "helpers.hpp"
#include "owners.hpp"
#include "python_runner.hpp"
#include "sd_python_runner.hpp"
#include "sdbus.hpp"
#include "variant.hpp"
#include "vq_error_handling.hpp"

extern "C" {
vq_method *g_methods = nullptr;
int g_methods_amount = 0;
int g_event_fd = 0;
}

namespace {

constexpr int max_events = 10;  // events taken per wait
constexpr int wait_cap_ms = 10000;  // the longest wait between open checks
constexpr size_t max_args = 255;  // the longest D-Bus signature
constexpr uint64_t wake_up_value = 0xdeadbeef;  // what deinit_server writes to the loop's eventfd
constexpr rlim_t wanted_open_files = 16384;
constexpr unsigned long generation_ended = 1;  // bit 0 of host_state::generation

// A registry that a later init() replaced without deinit_server in between.
// Its methods stay published (the bus holds its slots' addresses as user
// data), so it stays alive until deinit_server releases it with the rest.
struct retired_registry {
    vq_method *methods;
    int used;  // as registry_used was for it
    retired_registry *next;
};

// What the loop waits for next on the connection's descriptor, as the last
// processing step left sd-bus.
struct loop_watch {
    uint32_t events = EPOLLIN;
    int timeout_ms = wait_cap_ms;
    bool closed = false;  // the connection is no longer the server connection
};

// The service host's state.  The exported globals are part of it too:
// g_methods (the current registry) and g_methods_amount (the count the last
// init() was given) are guarded by the server lock, g_event_fd (the running
// loop's wake-up eventfd, 0 for none) by the interpreter lock.
struct host_state {
    // The registry.  Server lock.
    int registry_size = 0;  // the slots g_methods really has
    int registry_used = 0;  // one past the highest slot of g_methods written to: all
                            // that deinit_server touches
    int unallocated = 0;  // the count of the last init() when no memory could be had
    retired_registry *retired = nullptr;  // earlier registries, newest first
    unsigned long calls_served = 0;  // calls dispatched to a method so far

    // The loop.
    std::atomic<bool> listening{false};  // a loop runs; a second listen is refused
    loop_watch watch;  // written by process_server, read by the loop's thread

    // Shutdown.  Atomics: set from any thread, read by the loop, also by a
    // processing step between two calls.
    std::atomic<int> deinit_waiting{0};  // deinit_server calls waiting for the server lock
    std::atomic<bool> deferred_deinit{false};  // asked for by a callable; the loop runs it
    std::atomic<bool> stop_requested{false};  // a call stopped the loop: an interrupt, or an exit
    // The service's generation: twice the number of deinit_server calls so
    // far, plus 1 while none of init() came after the last of them.  A loop
    // ends once the count differs from the one at its listen; a listen
    // called while bit 0 is set has nothing to serve and returns at once.
    std::atomic<unsigned long> generation{0};

    // deinit_server calls under way, under finish_lock; `finished` is
    // notified when one is over.  listen returns only when none is left, so
    // that nothing of a deinit_server (giving the callables back, clearing
    // the error state) runs after listen has returned.
    std::mutex finish_lock;
    std::condition_variable finished;
    int deinits_running = 0;
};
host_state g_host;

// Whether this thread is inside a processing step: a deinit_server called by
// a callable there must not close the connection under its own feet.
thread_local bool t_processing = false;

// deinit_server: the count goes up and the generation is ended, in one step.
void end_generation() noexcept {
    unsigned long g = g_host.generation.load();
    while (!g_host.generation.compare_exchange_weak(g, (g + 2) | generation_ended)) {
    }
}

// Whether a deinit_server came after the listen that read `started`.
bool generation_over(unsigned long started) noexcept {
    return (g_host.generation.load() >> 1) != (started >> 1);
}

// Waits, without the interpreter lock (deinit_server needs it to finish),
// until no deinit_server is under way.  Interpreter lock held on entry.
void wait_for_deinit_server() noexcept {
    vq::gil_released unlocked;
    std::unique_lock lock(g_host.finish_lock);
    g_host.finished.wait(lock, [] { return g_host.deinits_running == 0; });
}

// --- Registry -----------------------------------------------------------------
// All of it under the server lock.

void retire(vq_method *methods, int used) noexcept {
    auto *node = static_cast<retired_registry *>(std::malloc(sizeof(retired_registry)));
    if (!node)
        return;  // no memory to remember it: it stays alive, unreachable
    *node = {methods, used, g_host.retired};
    g_host.retired = node;
}

// Whether `index` is a slot of the current registry, which is then counted
// as used.  The slots beyond the highest one used are never touched: a large
// registry stays untouched memory, never made resident by its release.
bool use_slot(int index) noexcept {
    if (!g_methods || index < 0 || index >= g_host.registry_size)
        return false;
    g_host.registry_used = std::max(g_host.registry_used, index + 1);
    return true;
}

// Unpublishes and frees what the first `used` slots own on the bus side.
// The callables stay in the slots: giving them back needs the interpreter
// lock.
void release_bus_parts(vq_method *methods, int used) noexcept {
    for (int i = 0; i < used; ++i) {
        vq_method &m = methods[i];
        m.slot = sd_bus_slot_unref(m.slot);  // removes the vtable from the connection
        std::free(std::exchange(m.method_vtable, nullptr));
        std::free(std::exchange(m.method_data.input_sig, nullptr));
        std::free(std::exchange(m.method_data.output_sig, nullptr));
        std::free(std::exchange(m.method_data.method_name, nullptr));
    }
}

// Gives back the references of the first `used` slots to their callables
// and frees the array.  Interpreter lock held.
void release_callables(vq_method *methods, int used) noexcept {
    for (int i = 0; i < used; ++i)
        vq::release_python_object(std::exchange(methods[i].method_data.method_cfunc, nullptr));
    std::free(methods);
}

// Why slot `index` cannot take a registration, or null when it can.
const char *slot_refusal(int index, char *buf, size_t len) noexcept {
    if (!g_methods && g_host.unallocated > 0)
        std::snprintf(buf, len, "no method registry: no memory for %d method slots",
                      g_host.unallocated);
    else if (!g_methods)
        std::snprintf(buf, len, "no method registry: init() was not given a positive count");
    else if (index < 0 || index >= g_methods_amount || index >= g_host.registry_size)
        std::snprintf(buf, len, "method index %d is outside the registry of %d slots", index,
                      g_methods_amount);
    else if (g_methods[index].method_data.method_name || g_methods[index].method_vtable)
        std::snprintf(buf, len, "method index %d is already registered", index);
    else
        return nullptr;
    return buf;
}

// Raises the open-file limit towards 16384 without ever lowering either
// limit: the soft limit rises to 16384, or to the hard limit where the
// process may not raise that far (setrlimit_closest caps both at the hard
// limit then).  A failure changes nothing and is not recorded.
void raise_open_file_limit() noexcept {
    struct rlimit now {};
    if (getrlimit(RLIMIT_NOFILE, &now) != 0)
        return;
    // rlim_t is unsigned: RLIM_INFINITY is the largest limit and stays.
    const struct rlimit wanted {
        std::max(now.rlim_cur, wanted_open_files), std::max(now.rlim_max, wanted_open_files)
    };
    (void)setrlimit_closest(RLIMIT_NOFILE, &wanted);
}

// --- The loop's view of the connection -----------------------------------------

// A processing step stops between two calls when shutdown is asked for, so
// that a flood of incoming calls cannot hold it back.
bool stop_pending() noexcept {
    return g_host.deinit_waiting.load(std::memory_order_acquire) != 0 ||
           g_host.deferred_deinit.load(std::memory_order_acquire) ||
           g_host.stop_requested.load(std::memory_order_acquire);
}

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
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t now_usec =
        static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    if (until_usec <= now_usec)
        return 0;
    const uint64_t ms = (until_usec - now_usec + 999) / 1000;
    return ms > static_cast<uint64_t>(wait_cap_ms) ? wait_cap_ms : static_cast<int>(ms);
}

int watch_fd(int epoll_fd, int op, int fd, uint32_t events) noexcept {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(epoll_fd, op, fd, &ev) == 0 ? 0 : -errno;
}

// --- Dispatch -------------------------------------------------------------------

// Answers `m` with one value per position of `output_sig` (i: an integer,
// sent as its low 32 bits; s: a string); call_method has checked that the
// results fit.
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
    // connection being processed.
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
    ++g_host.calls_served;
    vq::variant_array_owner results;
    vq::heap_str failure;
    const vq::call_outcome outcome = vq::call_method(
        input_sig, data->output_sig, data->method_cfunc, args, &results.record, failure);
    if (outcome == vq::call_outcome::answered)
        return reply_with(m, data->output_sig, results.record);
    // Serve no further call: listen is to raise the interrupt, or the
    // process is to end, and a main thread waiting for the loop's thread
    // gets on to the exit once the loop has returned.
    if (outcome == vq::call_outcome::interrupted || outcome == vq::call_outcome::exiting)
        g_host.stop_requested.store(true, std::memory_order_release);
    // No method return of the declared signature can be built: an error
    // reply that says why.  The code is the one a refused send records.
    set_vq_error(FAILED_TO_REPLY_METHOD_RETURN);
    return sd_bus_error_set(ret_error, SD_BUS_ERROR_FAILED,
                            failure ? failure.get() : "the method's callable failed");
}

// --- The loop ---------------------------------------------------------------

// Waits and processes until woken, closed, lost or interrupted.  Returns the
// status of the last processing step that served a call (0 when none did),
// or the negative status of a failed one.  Interrupted: a signal handler
// raised, and its exception is left set (or held, when a call's check met
// it) for listen to raise.
int serve(sd_bus *bus, int bus_fd, int epoll_fd, int event_fd, unsigned long started) noexcept {
    epoll_event events[max_events];
    uint32_t watched = EPOLLIN;
    int r = 0;
    g_host.watch = loop_watch{};
    for (;;) {
        // Processing comes first: sd-bus may already hold messages that it
        // read while registering, which no readiness would ever announce.
        int status;
        {
            vq::gil_released unlocked;
            status = vq::process_server(bus);
        }
        if (g_host.deferred_deinit.exchange(false))
            deinit_server();  // asked for by a callable; the processing step is over now
        if (status < 0) {
            set_vq_error(FAILED_TO_PROCESS_BUS);
            return status;
        }
        if (status > 0)
            r = status;
        // Also ended by a deinit_server that found no wake-up to write: one
        // that ran before this loop recorded its eventfd.  Signal handlers
        // run here as well, for signals that came while processing; they
        // run on the main thread only, so elsewhere this check finds none.
        const loop_watch &watch = g_host.watch;
        if (watch.closed || g_host.stop_requested.load(std::memory_order_acquire) ||
            generation_over(started) || py_signals_need_iterrupt())
            return r;
        // Wait for output too while sd-bus has replies it could not write at
        // once.  A failure leaves the old mask; the next step reports a
        // connection that is gone.
        if (watch.events != watched && watch_fd(epoll_fd, EPOLL_CTL_MOD, bus_fd, watch.events) == 0)
            watched = watch.events;
        // A timeout goes round again.  A signal interrupts the wait (the
        // kernel gives a process-wide signal to the main thread first), and
        // a handler that raises, Ctrl-C's KeyboardInterrupt, stops the loop
        // as it stops any blocking call of the interpreter.
        const int nfds = run_epoll_wait_threads(epoll_fd, events, max_events, watch.timeout_ms);
        if (py_signals_need_iterrupt())
            return r;
        for (int i = 0; i < nfds; ++i)
            if (events[i].data.fd == event_fd)
                return r;  // the wake-up of deinit_server
    }
}

int run_loop(unsigned long started) noexcept {
    sd_bus *bus = nullptr;
    int bus_fd = -ENOTCONN;
    int added = -EBADF;
    bool over = false;
    // All three descriptors are obtained first; the first failure in the
    // order epoll, connection, watch list decides the code.
    const int epoll_fd = epoll_create1(0);
    const int epoll_errno = errno;
    {
        vq::gil_released unlocked;
        vq::bus_guard lock(vq::server_bus_lock());
        // A deinit_server since listen was called has closed the connection;
        // one opened now would be served until the next deinit_server.
        over = generation_over(started);
        // The loop's own reference: the connection object stays valid (and
        // its address unused by any other) until the loop has left, even
        // when deinit_server closes it meanwhile.
        bus = over ? nullptr : sd_bus_ref(acquire_server_bus());
        if (bus)
            bus_fd = sd_bus_get_fd(bus);
        // Watched before it can be closed: a deinit_server from now on
        // closes it inside the epoll set (which drops it), never before.
        if (epoll_fd >= 0 && bus_fd >= 0)
            added = watch_fd(epoll_fd, EPOLL_CTL_ADD, bus_fd, EPOLLIN);
    }
    if (over) {
        if (epoll_fd >= 0)
            close(epoll_fd);
        return 0;
    }
    // Recorded only once the connection is taken, so that a deinit_server
    // which wakes this loop also closes the connection it serves.  One that
    // ran before this point found no wake-up to write: the loop sees the
    // generation ended after its first processing step.
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
               (result = event_fd < 0 ? -EBADF
                                      : watch_fd(epoll_fd, EPOLL_CTL_ADD, event_fd, EPOLLIN)) < 0) {
        set_vq_error(FAILED_EPOLL_CTL);
    } else {
        result = serve(bus, bus_fd, epoll_fd, event_fd, started);
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

// --- Registry operations --------------------------------------------------------

namespace vq {
bool init(int methods_amount) noexcept {
    raise_open_file_limit();

    bus_guard lock(server_bus_lock());
    g_host.generation.fetch_and(~generation_ended);  // listen serves again
    g_methods_amount = methods_amount;
    g_host.unallocated = 0;
    if (methods_amount <= 0)
        return true;
    // calloc leaves the slots as untouched zero pages until they are used.
    auto *fresh = static_cast<vq_method *>(
        std::calloc(static_cast<size_t>(methods_amount), sizeof(vq_method)));
    if (g_methods)
        retire(g_methods, g_host.registry_used);
    g_methods = fresh;
    g_host.registry_size = fresh ? methods_amount : 0;
    g_host.registry_used = 0;
    if (!fresh) {
        g_host.unallocated = methods_amount;
        char why[64];
        std::snprintf(why, sizeof why, "no memory for %d method slots", methods_amount);
        set_vq_error_msg(FAILED_TO_ADD_OBJECT_VTABLE, why);
        return false;
    }
    return true;
}
}  // namespace vq

extern "C" void init(int methods_amount) noexcept { (void)vq::init(methods_amount); }

extern "C" void init_method_data(const char *method_name, const char *output_sig,
                                 const char *input_sig, void *method_cfunc,
                                 int index_data) noexcept {
    vq::bus_guard lock(vq::server_bus_lock());
    if (!use_slot(index_data))
        return;
    vq_method_data &d = g_methods[index_data].method_data;
    d.method_name = strdup(method_name);
    d.output_sig = strdup(output_sig);
    d.input_sig = strdup(input_sig);
    d.method_cfunc = method_cfunc;
}

extern "C" void init_vtable(const char *, const char *, const char *, int index_data) noexcept {
    vq::bus_guard lock(vq::server_bus_lock());
    if (!use_slot(index_data))
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
    bus_guard lock(server_bus_lock());
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
    // -EALREADY: this connection owns the name already, for an earlier
    // method of the same interface; that is what was asked for.
    const int r = sd_bus_request_name(bus, if_name, 0);
    if (r < 0 && r != -EALREADY) {
        set_vq_error(FAILED_TO_ACQUIRE_SERVICE_NAME);
        return 0;
    }
    return 1;
}

int register_method(const char *path, const char *if_name, const char *method_name,
                    const char *output_sig, const char *input_sig, void *method_cfunc,
                    int method_index, bool &took_callable) noexcept {
    // Held across both, so that the connection registered on is the one
    // acquired even if deinit_server runs on another thread.
    bus_guard lock(server_bus_lock());
    return service_register(acquire_server_bus(), path, if_name, method_name, output_sig, input_sig,
                            method_cfunc, method_index, took_callable);
}

int process_server(sd_bus *bus) noexcept {
    bus_guard lock(server_bus_lock());
    loop_watch &watch = g_host.watch;
    if (!bus || bus != get_server_bus()) {
        // deinit_server (or another close) took it away: nothing to process.
        watch.closed = true;
        return 0;
    }
    const unsigned long served_before = g_host.calls_served;
    int r = 0;
    t_processing = true;
    while (!stop_pending() && (r = sd_bus_process(bus, nullptr)) > 0) {
    }
    t_processing = false;
    if (r < 0)
        return r;  // a lost connection ends here, after sd-bus processed the disconnect
    if (stop_pending()) {
        watch.timeout_ms = 0;  // the wake-up is already written
    } else {
        const int events = sd_bus_get_events(bus);
        if (events < 0)
            return events;
        uint64_t until = UINT64_MAX;
        const int t = sd_bus_get_timeout(bus, &until);
        if (t < 0)
            return t;
        watch.events = epoll_mask(events);
        watch.timeout_ms = wait_ms(until);
    }
    return g_host.calls_served != served_before ? 1 : 0;
}

}  // namespace vq

extern "C" int service_register(sd_bus *bus, const char *path, const char *if_name,
                                const char *method_name, const char *output_sig,
                                const char *input_sig, void *method_cfunc,
                                int method_index) noexcept {
    bool took_callable = false;
    return vq::service_register(bus, path, if_name, method_name, output_sig, input_sig,
                                method_cfunc, method_index, took_callable);
}

// --- Listen loop and shutdown -----------------------------------------------

extern "C" int listen(void) noexcept {
    // A deinit_server since the last init() ended the service: nothing is
    // served until init() starts the next one.  So a thread that calls
    // listen only after the deinit_server meant for it has run (the usual
    // Thread(target=listen).start(); ...; deinit_server()) does not wait
    // for another one.
    const unsigned long started = g_host.generation.load();
    if (started & generation_ended)
        return 0;
    // One loop at a time: a second would share the wake-up descriptor and
    // process the same connection.
    if (g_host.listening.exchange(true)) {
        set_vq_error(FAILED_TO_WAIT_BUS);
        return -EBUSY;
    }
    g_host.stop_requested.store(false, std::memory_order_release);
    const int r = run_loop(started);
    wait_for_deinit_server();
    g_host.listening.store(false);
    (void)vq::raise_held_interrupt();
    return r;
}

extern "C" int get_sd_bus_fd(void) noexcept {
    vq::bus_guard lock(vq::server_bus_lock());
    sd_bus *bus = acquire_server_bus();
    return bus ? sd_bus_get_fd(bus) : -ENOTCONN;
}

extern "C" void deinit_server(void) noexcept {
    // Counted as under way before the loop can see any sign of it, so that
    // a woken loop waits for the rest.  Not when deferred: the loop's own
    // thread runs the rest then.
    const bool deferred = t_processing;
    if (!deferred) {
        std::lock_guard lock(g_host.finish_lock);
        ++g_host.deinits_running;
    }
    end_generation();
    // The interpreter lock is held here and guards g_event_fd.  The loop
    // never reads the counter; the descriptor's readiness is the signal.
    if (g_event_fd != 0) {
        const ssize_t written = write(g_event_fd, &wake_up_value, sizeof wake_up_value);
        (void)written;  // a failed wake-up still ends the loop: it sees the generation over
        g_event_fd = 0;
    }
    if (deferred) {
        // Called by a callable that the loop runs on this thread: the
        // connection and the slot are in use further up this very stack.
        g_host.deferred_deinit.store(true, std::memory_order_release);
        return;
    }

    vq_method *methods;
    int used;
    retired_registry *retired;
    g_host.deinit_waiting.fetch_add(1, std::memory_order_acq_rel);
    {
        // A processing step in progress may be waiting for the interpreter
        // lock to run a callable: release it before waiting for the server
        // lock, which the processing step holds until it has returned.
        vq::gil_released unlocked;
        vq::bus_guard lock(vq::server_bus_lock());
        g_host.deinit_waiting.fetch_sub(1, std::memory_order_acq_rel);
        server_bus_deinit();
        methods = std::exchange(g_methods, nullptr);
        used = std::exchange(g_host.registry_used, 0);
        g_host.registry_size = 0;
        retired = std::exchange(g_host.retired, nullptr);
        release_bus_parts(methods, used);
        for (retired_registry *r = retired; r; r = r->next)
            release_bus_parts(r->methods, r->used);
    }
    // Back under the interpreter lock: give the callables back.
    release_callables(methods, used);
    while (retired) {
        retired_registry *next = retired->next;
        release_callables(retired->methods, retired->used);
        std::free(retired);
        retired = next;
    }
    vq_clean_error();
    {
        std::lock_guard lock(g_host.finish_lock);
        --g_host.deinits_running;
    }
    g_host.finished.notify_all();
}
