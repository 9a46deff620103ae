// Small process-level helpers of the service host.
#pragma once

#include <sys/resource.h>

extern "C" {
#pragma GCC visibility push(default)

// Sets `resource` to `rlim`, or, when the process may not raise its hard
// limit that far, to the closest it may: both limits capped at the current
// hard limit.  Returns 0, or the failed call's errno negated.
int setrlimit_closest(int resource, const struct rlimit *rlim) noexcept;

#pragma GCC visibility pop
}  // extern "C"
