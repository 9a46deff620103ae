/* The baseline client: N sequential calls, each waiting for its reply.
 * Usage: client BUS_NAME N [PAUSE_MS]           Echo(ss) -> (is) at BUS_NAME,
 *                                               with PAUSE_MS after each reply
 *                                               (a profiled server then waits
 *                                               for every call, idle)
 *        client --get-all DEST PATH IFACE N     Properties.GetAll(IFACE),
 *                                               every value of the reply read
 * Prints one JSON line: calls, seconds (wall) and cpu (user + system). */
#include <stdint.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include "common.h"

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

/* Reads every value up to the end of the current container: the least work
 * that still looks at each value, the floor for a client that decodes. */
static long read_all(sd_bus_message *m) {
    long values = 0;
    for (;;) {
        char type;
        const char *contents = NULL;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        check(r, "peek at the reply");
        if (r == 0)
            return values;
        if (type == SD_BUS_TYPE_ARRAY || type == SD_BUS_TYPE_VARIANT ||
            type == SD_BUS_TYPE_STRUCT || type == SD_BUS_TYPE_DICT_ENTRY) {
            check(sd_bus_message_enter_container(m, type, contents), "enter a container");
            values += read_all(m);
            check(sd_bus_message_exit_container(m), "leave a container");
        } else {
            union {
                uint64_t u;
                double d;
                const char *s;
            } value;
            check(sd_bus_message_read_basic(m, type, &value), "read a value");
            values++;
        }
    }
}

static const char *g_dest, *g_path, *g_iface;

static void get_all_once(sd_bus *bus, const char *unused) {
    (void)unused;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = NULL;
    int r = sd_bus_call_method(bus, g_dest, g_path, "org.freedesktop.DBus.Properties", "GetAll",
                               &error, &reply, "s", g_iface);
    if (r < 0) {
        fprintf(stderr, "call failed: %s\n", error.message ? error.message : strerror(-r));
        exit(1);
    }
    if (read_all(reply) == 0) {
        fprintf(stderr, "GetAll returned nothing\n");
        exit(1);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
}

int main(int argc, char **argv) {
    void (*once)(sd_bus *, const char *) = echo_once;
    const char *name = NULL;
    long n = 0;
    double pause_s = 0;
    if (argc == 3 || argc == 4) {
        name = argv[1];
        n = atol(argv[2]);
        pause_s = argc == 4 ? atof(argv[3]) / 1000.0 : 0;
    } else if (argc == 6 && strcmp(argv[1], "--get-all") == 0) {
        once = get_all_once;
        g_dest = argv[2];
        g_path = argv[3];
        g_iface = argv[4];
        n = atol(argv[5]);
    } else {
        fprintf(stderr, "usage: %s BUS_NAME N [PAUSE_MS] | %s --get-all DEST PATH IFACE N\n",
                argv[0], argv[0]);
        return 2;
    }
    sd_bus *bus = NULL;
    check(sd_bus_open_system(&bus), "open the system bus");
    once(bus, name); /* connecting is not measured */

    const double t0 = now_s(), c0 = cpu_s();
    const struct timespec pause = {(time_t)pause_s,
                                   (long)((pause_s - (double)(time_t)pause_s) * 1e9)};
    for (long i = 0; i < n; ++i) {
        once(bus, name);
        if (pause_s > 0)
            nanosleep(&pause, NULL);
    }
    const double secs = now_s() - t0, cpu = cpu_s() - c0;
    printf("{\"calls\": %ld, \"seconds\": %.6f, \"cpu\": %.6f}\n", n, secs, cpu);
    sd_bus_flush_close_unref(bus);
    return 0;
}
