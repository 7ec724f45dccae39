// Traffic dump. Direct writes to descriptor 1, so traces from the serial bridge
// do not wait in (or interleave inside) the buffered stdout of other threads.
#include "channels/dump.h"

#include <cstdio>
#include <unistd.h>

static struct timeval dump_last[DUMP_SLOTS];

static const char COLOUR_PREFIX[] = "\x1b[1;39;40m"; // bold, default on black
static const char COLOUR_READ[] = "\x1b[1;32;40m";   // bold green on black
static const char COLOUR_WRITE[] = "\x1b[1;33;40m";  // bold yellow on black
static const size_t COLOUR_LEN = 10;

int dump_prefix(char (&out)[DUMP_PREFIX_SIZE], const struct timeval &now,
                const struct timeval &last)
{
    long sec = static_cast<long>(now.tv_sec) - static_cast<long>(last.tv_sec);
    long usec = static_cast<long>(now.tv_usec) - static_cast<long>(last.tv_usec);
    if (usec < 0) {
        sec -= 1;
        usec += 1000000;
    }
    int n = snprintf(out, sizeof out, "%s%ld:%03ld:", COLOUR_PREFIX, sec, usec / 1000);
    return n < DUMP_PREFIX_SIZE ? n : DUMP_PREFIX_SIZE - 1;
}

long traffic_dump(int slot, int direction, const char *data, size_t length)
{
    if (slot < 0 || slot >= DUMP_SLOTS) return -1;
    struct timeval now;
    gettimeofday(&now, nullptr);
    char prefix[DUMP_PREFIX_SIZE];
    int n = dump_prefix(prefix, now, dump_last[slot]);
    (void)!write(1, prefix, static_cast<size_t>(n));
    dump_last[slot] = now;
    (void)!write(1, direction == 0 ? COLOUR_READ : COLOUR_WRITE, COLOUR_LEN);
    return write(1, data, length);
}
