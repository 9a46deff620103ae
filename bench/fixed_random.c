/* Preloaded into the profiled processes: getrandom() and getentropy() give
 * the same bytes in every run, so that sd-bus's hash table keys, and with
 * them the work of every lookup, repeat exactly from run to run.  (Python's
 * own hashes are fixed by PYTHONHASHSEED.)  Not for anything but profiling. */
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

static uint64_t g_state = 0x9e3779b97f4a7c15ULL;

static uint8_t next_byte(void) {
    /* xorshift64: any fixed sequence will do. */
    g_state ^= g_state << 13;
    g_state ^= g_state >> 7;
    g_state ^= g_state << 17;
    return (uint8_t)g_state;
}

ssize_t getrandom(void *buf, size_t n, unsigned int flags) {
    (void)flags;
    uint8_t *p = buf;
    for (size_t i = 0; i < n; ++i)
        p[i] = next_byte();
    return (ssize_t)n;
}

int getentropy(void *buf, size_t n) {
    getrandom(buf, n, 0);
    return 0;
}
