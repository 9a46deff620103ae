// The service host's waits and bus processing, run with the interpreter lock
// released so that other Python threads go on meanwhile.  Callers hold the
// interpreter lock; each function returns with it held again.
#pragma once

#include <sys/epoll.h>

#include <systemd/sd-bus.h>

extern "C" {
#pragma GCC visibility push(default)

// Processes the server connection `bus` until sd-bus reports no more work
// (see vq::process_server in sdbus.hpp), with the interpreter lock released.
int run_sd_bus_process_threads(sd_bus *bus) noexcept;

// epoll_wait with the interpreter lock released; its result.
int run_epoll_wait_threads(int __epfd, struct epoll_event *__events, int __maxevents,
                           int __timeout) noexcept;

#pragma GCC visibility pop
}  // extern "C"
