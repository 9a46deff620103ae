/* The baseline client: N sequential Echo calls, each waiting for its reply.
 * Usage: client BUS_NAME N
 * Prints one JSON line: calls, seconds (wall) and cpu (user + system). */
#include <stdint.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>

#include "common.h"

static double cpu_s(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

static void echo_once(sd_bus *bus, const char *name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = NULL;
    int r = sd_bus_call_method(bus, name, ECHO_PATH, name, "Echo", &error, &reply, "ss", "hello",
                               "world");
    if (r < 0) {
        fprintf(stderr, "call failed: %s\n", error.message ? error.message : strerror(-r));
        exit(1);
    }
    int32_t code = -1;
    const char *echoed = NULL;
    check(sd_bus_message_read(reply, "is", &code, &echoed), "read the reply");
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s BUS_NAME N\n", argv[0]);
        return 2;
    }
    const char *name = argv[1];
    const long n = atol(argv[2]);
    sd_bus *bus = NULL;
    check(sd_bus_open_system(&bus), "open the system bus");
    echo_once(bus, name); /* connecting is not measured */

    const double t0 = now_s(), c0 = cpu_s();
    for (long i = 0; i < n; ++i)
        echo_once(bus, name);
    const double secs = now_s() - t0, cpu = cpu_s() - c0;
    printf("{\"calls\": %ld, \"seconds\": %.6f, \"cpu\": %.6f}\n", n, secs, cpu);
    sd_bus_flush_close_unref(bus);
    return 0;
}
