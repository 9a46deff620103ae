// Forwarding of SIGINT, SIGTERM and SIGQUIT into the interpreter's interrupt,
// after an optional native termination callback.  Nothing here is installed
// by the module itself: native code that loads the shared object calls
// set_terminate_func and set_signal_actions by their symbol names.

#include <atomic>
#include <csignal>

#include "python_runner.hpp"

namespace {

using term_func_t = void (*)(void);

// The termination callback, or null.  The handler reads it once per
// delivery, on whatever thread the signal lands; an atomic pointer (lock
// free) makes that read safe against a concurrent set_terminate_func.
std::atomic<term_func_t> g_term_func{nullptr};
static_assert(std::atomic<term_func_t>::is_always_lock_free);

void signal_handler(int signal) noexcept {
    if (signal != SIGINT && signal != SIGQUIT && signal != SIGTERM)
        return;
    if (const term_func_t f = g_term_func.load(std::memory_order_acquire))
        f();
    // Whichever of the three arrived, the interpreter sees SIGINT at its
    // next signal check on the main thread.
    set_py_interrupt();
}

}  // namespace

// Neither is declared in a header: native code finds both by name in the
// shared object, so both are exported although every other name is hidden.
#define VQ_BY_NAME __attribute__((visibility("default")))

extern "C" VQ_BY_NAME void set_terminate_func(void (*f)(void)) noexcept {
    g_term_func.store(f, std::memory_order_release);
}

extern "C" VQ_BY_NAME void set_signal_actions(void) noexcept {
    // glibc's signal() keeps the handler installed across deliveries.  The
    // dispositions replaced are neither saved nor restored.
    (void)std::signal(SIGINT, signal_handler);
    (void)std::signal(SIGTERM, signal_handler);
    (void)std::signal(SIGQUIT, signal_handler);
}
