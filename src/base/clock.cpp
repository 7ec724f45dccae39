// The daemon's clock and its stoppable sleep.
#include "base/clock.h"

#include "base/settings.h"

#include <cerrno>
#include <poll.h>

// Set only by a test, before anything reads the clock: a plain integer, since a
// 64-bit atomic would need libatomic's locks on the board's 32-bit core.
static long long clock_offset_ms = 0;

long long timespec_ms(const struct timespec &ts)
{
    return static_cast<long long>(ts.tv_sec) * 1000LL + ts.tv_nsec / 1000000L;
}

long long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timespec_ms(ts) + clock_offset_ms;
}

void clock_set_offset_ms(long long ms)
{
    clock_offset_ms = ms;
}

int clock_sleep(long long ms, const stop_flag *also)
{
    long long end = monotonic_ms() + ms;
    for (;;) {
        if (!running.on || (also && !also->on)) return -1;
        long long left = end - monotonic_ms();
        if (left <= 0) return 0;
        struct pollfd p[2] = {{running.fd, POLLIN, 0}, {also ? also->fd : -1, POLLIN, 0}};
        // A negative descriptor is skipped by poll: a flag without one still
        // ends the wait at the next look, after at most the whole time.
        if (poll(p, 2, static_cast<int>(left)) < 0 && errno != EINTR) return 0;
    }
}
