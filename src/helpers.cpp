#include "helpers.hpp"

#include <algorithm>
#include <cerrno>

extern "C" int setrlimit_closest(int resource, const struct rlimit *rlim) noexcept {
    if (setrlimit(resource, rlim) == 0)
        return 0;
    if (errno != EPERM)
        return -errno;

    // Raising the hard limit needs privilege; lowering it and moving the soft
    // limit up to it never does.  rlim_t is unsigned, so RLIM_INFINITY
    // compares as the largest limit.
    struct rlimit highest {};
    if (getrlimit(resource, &highest) != 0)
        return -errno;
    const struct rlimit fixed {
        std::min(rlim->rlim_cur, highest.rlim_max), std::min(rlim->rlim_max, highest.rlim_max)
    };
    if (setrlimit(resource, &fixed) != 0)
        return -errno;
    return 0;
}
