/* The baseline service, written directly on sd-bus.
 * Usage: echo_server BUS_NAME [DELAY_MS [paced]]
 *
 * At ECHO_PATH, interface BUS_NAME:
 *   Echo(ss) -> (is)   0 and the first argument; with DELAY_MS, the reply
 *                      leaves that many milliseconds after the call came,
 *                      and other calls are answered meanwhile.  With
 *                      "paced", also that many milliseconds after the
 *                      previous reply: a client slower than the pace (one
 *                      under valgrind) then gets each reply while it waits
 *                      for it, one at a time, as it does at full speed when
 *                      the bus daemon sets the pace.
 * At MIRROR_PATH, any interface:
 *   Mirror(...) -> ... the arguments back with their own signature (file
 *                      descriptors as new descriptors of the same files)
 *   Fail(ss)           an error reply with that name and message
 * Any other member there gets sd-bus's own UnknownMethod error. */
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>

#include "common.h"

/* A delayed Echo: the call (a reference) and the first argument, replied
 * to at `due`.  Every call waits the same time, so the queue is in order of
 * `due` and only its head needs watching. */
typedef struct delayed {
    sd_bus_message *call;
    char *text;
    double due;
    struct delayed *next;
} delayed;

static double g_delay_s;
static int g_paced;
static delayed *g_head, *g_tail;

static int echo(sd_bus_message *m, void *userdata, sd_bus_error *ret_error) {
    const char *a = NULL, *b = NULL;
    (void)userdata;
    (void)ret_error;
    int r = sd_bus_message_read(m, "ss", &a, &b);
    if (r < 0)
        return r;
    if (g_delay_s <= 0)
        return sd_bus_reply_method_return(m, "is", 0, a);
    delayed *d = calloc(1, sizeof *d);
    if (!d || !(d->text = strdup(a))) {
        free(d);
        return -ENOMEM;
    }
    d->call = sd_bus_message_ref(m);
    d->due = now_s() + g_delay_s;
    if (g_paced && g_tail && d->due < g_tail->due + g_delay_s)
        d->due = g_tail->due + g_delay_s;
    if (g_tail)
        g_tail->next = d;
    else
        g_head = d;
    g_tail = d;
    return 1; /* answered later by answer_due() */
}

/* Replies to every delayed call whose time has come; returns the
 * microseconds until the next one is due (UINT64_MAX: none waits). */
static uint64_t answer_due(void) {
    while (g_head) {
        const double left = g_head->due - now_s();
        if (left > 0)
            return (uint64_t)(left * 1e6) + 1;
        delayed *d = g_head;
        g_head = d->next;
        if (!g_head)
            g_tail = NULL;
        /* A caller that went away meanwhile is no failure of the server. */
        (void)sd_bus_reply_method_return(d->call, "is", 0, d->text);
        sd_bus_message_unref(d->call);
        free(d->text);
        free(d);
    }
    return UINT64_MAX;
}

static int mirror(sd_bus_message *m, void *userdata, sd_bus_error *ret_error) {
    (void)userdata;
    if (sd_bus_message_is_method_call(m, NULL, NULL) <= 0)
        return 0;
    const char *member = sd_bus_message_get_member(m);
    if (strcmp(member, "Fail") == 0) {
        const char *name = NULL, *text = NULL;
        int r = sd_bus_message_read(m, "ss", &name, &text);
        if (r < 0)
            return r;
        return sd_bus_reply_method_errorf(m, name, "%s", text);
    }
    if (strcmp(member, "Mirror") != 0)
        return 0; /* sd-bus answers UnknownMethod */
    sd_bus_message *reply = NULL;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0)
        r = sd_bus_message_copy(reply, m, 1);
    if (r >= 0)
        r = sd_bus_send(NULL, reply, NULL);
    sd_bus_message_unref(reply);
    if (r < 0)
        return sd_bus_error_set_errnof(ret_error, r, "cannot mirror the call");
    return 1;
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 4 || (argc == 4 && strcmp(argv[3], "paced") != 0)) {
        fprintf(stderr, "usage: %s BUS_NAME [DELAY_MS [paced]]\n", argv[0]);
        return 2;
    }
    g_delay_s = argc >= 3 ? atof(argv[2]) / 1000.0 : 0;
    g_paced = argc == 4;
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
    check(sd_bus_add_object(bus, NULL, MIRROR_PATH, mirror, NULL), "add the mirror");
    check(sd_bus_request_name(bus, argv[1], 0), "request the name");
    printf("ready\n");
    fflush(stdout);
    while (!g_stop) {
        const uint64_t next = answer_due();
        int r = sd_bus_process(bus, NULL);
        if (r < 0 && r != -EINTR)
            break;
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, next);
        if (r < 0 && r != -EINTR)
            break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
