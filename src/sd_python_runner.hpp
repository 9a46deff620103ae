// The service host's waits and bus processing, run with the interpreter lock
// released so that other Python threads go on meanwhile.  Callers hold the
// interpreter lock; each function returns with it held again.
#pragma once

#include <sys/epoll.h>

#include <systemd/sd-bus.h>

struct _ts;  // the interpreter's thread state

extern "C" {

// Processes the server connection `bus` until sd-bus reports no more work
// (see vq::process_server in sdbus.hpp), with the interpreter lock released.
int run_sd_bus_process_threads(sd_bus *bus) noexcept;

// epoll_wait with the interpreter lock released; its result.
int run_epoll_wait_threads(int __epfd, struct epoll_event *__events, int __maxevents,
                           int __timeout) noexcept;

}  // extern "C"

namespace vq {

// Releases the calling thread's interpreter lock for the life of the object
// and takes it back at the end of the scope.  Nothing of the interpreter may
// be touched inside.
class gil_released {
public:
    gil_released() noexcept;
    ~gil_released();
    gil_released(const gil_released &) = delete;
    gil_released &operator=(const gil_released &) = delete;

private:
    struct _ts *state_;
};

}  // namespace vq
