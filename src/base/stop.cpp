// Stop flags on eventfd: one counter, written once, never read.
#include "base/stop.h"

#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

int stop_flag_open(stop_flag *f)
{
    f->on = 1;
    if (f->fd >= 0) {
        // A flag raised before is set on again: reading an eventfd empties it,
        // so its descriptor is no longer readable.
        uint64_t count;
        (void)!read(f->fd, &count, sizeof count);
        return 0;
    }
    f->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (f->fd < 0) {
        perror("eventfd");
        return -1;
    }
    return 0;
}

void stop_flag_raise(stop_flag *f)
{
    f->on = 0;
    if (f->fd < 0) return;
    const uint64_t one = 1;
    (void)!write(f->fd, &one, sizeof one);
}

void stop_flag_close(stop_flag *f)
{
    if (f->fd >= 0) close(f->fd);
    f->fd = -1;
}

void stop_signals_mask(int how, sigset_t *old)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(how, &set, old);
}
