/* The baseline service: Echo(ss) -> (is), answering 0 and the first
 * argument, written directly on sd-bus.  Usage: echo_server BUS_NAME */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include "common.h"

static int echo(sd_bus_message *m, void *userdata, sd_bus_error *ret_error) {
    const char *a = NULL, *b = NULL;
    (void)userdata;
    (void)ret_error;
    int r = sd_bus_message_read(m, "ss", &a, &b);
    if (r < 0)
        return r;
    return sd_bus_reply_method_return(m, "is", 0, a);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s BUS_NAME\n", argv[0]);
        return 2;
    }
    signal(SIGTERM, on_term);
    /* The start entry is filled by hand: the header's macro references a
     * symbol that older libsystemd versions lack. */
    static sd_bus_vtable vtable[3];
    vtable[0].type = _SD_BUS_VTABLE_START;
    vtable[0].x.start.element_size = sizeof(sd_bus_vtable);
    vtable[1] = (sd_bus_vtable)SD_BUS_METHOD("Echo", "ss", "is", echo, SD_BUS_VTABLE_UNPRIVILEGED);
    vtable[2] = (sd_bus_vtable)SD_BUS_VTABLE_END;

    sd_bus *bus = NULL;
    check(sd_bus_open_system(&bus), "open the system bus");
    check(sd_bus_add_object_vtable(bus, NULL, ECHO_PATH, argv[1], vtable, NULL), "add the vtable");
    check(sd_bus_request_name(bus, argv[1], 0), "request the name");
    printf("ready\n");
    fflush(stdout);
    while (!g_stop) {
        int r = sd_bus_process(bus, NULL);
        if (r < 0 && r != -EINTR)
            break;
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0 && r != -EINTR)
            break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
