/* Shared by the baseline programs. */
#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#define ECHO_PATH "/org/varquin/bench"
#define MIRROR_PATH "/org/varquin/bench/mirror"

static volatile sig_atomic_t g_stop = 0;
static inline void on_term(int sig) {
    (void)sig;
    g_stop = 1;
}

static inline void check(int r, const char *what) {
    if (r < 0) {
        fprintf(stderr, "failed to %s: %s\n", what, strerror(-r));
        exit(1);
    }
}

static inline double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* User plus system CPU time of this process so far, in seconds. */
static inline double cpu_s(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
