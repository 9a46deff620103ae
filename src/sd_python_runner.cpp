#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sd_python_runner.hpp"

#include "gil.hpp"
#include "sdbus.hpp"

extern "C" int run_sd_bus_process_threads(sd_bus *bus) noexcept {
    vq::gil_released unlocked;
    return vq::process_server(bus);
}

extern "C" int run_epoll_wait_threads(int __epfd, struct epoll_event *__events, int __maxevents,
                                      int __timeout) noexcept {
    vq::gil_released unlocked;
    return epoll_wait(__epfd, __events, __maxevents, __timeout);
}
