/* The load generator: K connections, each keeping W Echo calls in flight,
 * for a fixed time after a warm-up.  Usage: loadgen BUS_NAME K W SECONDS [CALLS]
 * With CALLS, no more than CALLS calls are made, and the run ends early once
 * all of them are answered (a count that repeats exactly, for profiling).
 * Prints one JSON line: calls, seconds, calls_per_s, p50_us, p99_us, max_us,
 * errors, total_calls (answered during warm-up and measurement) and cpu (the
 * generator's user + system seconds over all of them).  One
 * thread multiplexes all connections with poll(), so the generator's own
 * cost is the same whichever server it drives. */
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <systemd/sd-bus.h>

#include "common.h"

#define MAX_CONN 64
#define MAX_SAMPLES (20 * 1000 * 1000)
#define MAX_PER_PASS 256

typedef struct {
    sd_bus *bus;
    const char *name;
    double sent_at;
} call_t;

static double *g_lat;
static long g_nlat, g_errors, g_done, g_total, g_issued, g_limit = -1;
static double g_measure_from, g_measure_until;
static int g_draining;

static int issue(call_t *c);

static int on_reply(sd_bus_message *m, void *userdata, sd_bus_error *ret_error) {
    (void)ret_error;
    call_t *c = userdata;
    const double t = now_s();
    g_total++;
    if (sd_bus_message_is_method_error(m, NULL))
        g_errors++;
    else if (c->sent_at >= g_measure_from && t <= g_measure_until) {
        g_done++;
        if (g_nlat < MAX_SAMPLES)
            g_lat[g_nlat++] = t - c->sent_at;
    }
    if (!g_draining)
        return issue(c);
    return 0;
}

static int issue(call_t *c) {
    if (g_limit >= 0 && g_issued >= g_limit)
        return 0;
    g_issued++;
    c->sent_at = now_s();
    /* A generous timeout: a call that waits for a stalled server must show
     * in the percentiles, not vanish as an error. */
    int r = sd_bus_call_method_async(c->bus, NULL, c->name, ECHO_PATH, c->name, "Echo", on_reply, c,
                                     "ss", "hello", "world");
    if (r < 0)
        g_errors++;
    return 0;
}

static int cmp(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: %s BUS_NAME K W SECONDS [CALLS]\n", argv[0]);
        return 2;
    }
    if (argc == 6)
        g_limit = atol(argv[5]);
    const char *name = argv[1];
    const int k = atoi(argv[2]), w = atoi(argv[3]);
    const double seconds = atof(argv[4]);
    if (k < 1 || k > MAX_CONN || w < 1) {
        fprintf(stderr, "K must be 1..%d and W at least 1\n", MAX_CONN);
        return 2;
    }
    g_lat = malloc(sizeof(double) * MAX_SAMPLES);
    sd_bus *buses[MAX_CONN];
    call_t *calls = calloc((size_t)k * (size_t)w, sizeof(call_t));
    for (int i = 0; i < k; ++i)
        check(sd_bus_open_system(&buses[i]), "open the system bus");

    const double warmup = seconds > 2 ? 1.0 : seconds / 4;
    const double start = now_s();
    g_measure_from = start + warmup;
    g_measure_until = g_measure_from + seconds;
    for (int i = 0; i < k; ++i)
        for (int j = 0; j < w; ++j) {
            call_t *c = &calls[i * w + j];
            c->bus = buses[i];
            c->name = name;
            issue(c);
        }

    struct pollfd pfd[MAX_CONN];
    while (now_s() < g_measure_until && (g_limit < 0 || g_total < g_limit)) {
        for (int i = 0; i < k; ++i) {
            /* At most a round of messages per connection and pass: a
             * connection whose replies never stop coming (a generator slower
             * than its server, as under valgrind) neither holds back the
             * others nor the end of the run. */
            int r = 1;
            for (int n = 0; n < MAX_PER_PASS && r > 0; ++n)
                r = sd_bus_process(buses[i], NULL);
            if (r < 0) {
                fprintf(stderr, "processing failed: %s\n", strerror(-r));
                return 1;
            }
            pfd[i].fd = sd_bus_get_fd(buses[i]);
            pfd[i].events = (short)sd_bus_get_events(buses[i]);
            pfd[i].revents = 0;
        }
        poll(pfd, (nfds_t)k, 100);
    }
    g_draining = 1;
    const double elapsed = seconds, cpu = cpu_s();

    qsort(g_lat, (size_t)g_nlat, sizeof(double), cmp);
    double p50 = g_nlat ? g_lat[g_nlat / 2] : 0, p99 = g_nlat ? g_lat[(g_nlat * 99) / 100] : 0;
    double mx = g_nlat ? g_lat[g_nlat - 1] : 0;
    printf(
        "{\"calls\": %ld, \"seconds\": %.3f, \"calls_per_s\": %.1f, \"p50_us\": %.1f, "
        "\"p99_us\": %.1f, \"max_us\": %.1f, \"errors\": %ld, \"total_calls\": %ld, "
        "\"cpu\": %.3f}\n",
        g_done, elapsed, (double)g_done / elapsed, p50 * 1e6, p99 * 1e6, mx * 1e6, g_errors,
        g_total, cpu);
    for (int i = 0; i < k; ++i)
        sd_bus_flush_close_unref(buses[i]);
    free(calls);
    free(g_lat);
    return 0;
}
