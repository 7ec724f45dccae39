// Small ZeroMQ helpers shared by the forwarders and the bridges.
#include "channels/zmq_util.h"

#include "core/settings.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

std::unique_ptr<zmq_owned_socket> zmq_owned_open(zmq::socket_type type)
{
    try {
        auto s = std::make_unique<zmq_owned_socket>(type);
        s->sock.set(zmq::sockopt::linger, ZMQ_LINGER_MS);
        return s;
    } catch (const std::exception &e) {
        fprintf(stderr, "zmq_socket: %s\n", e.what());
        return nullptr;
    }
}

int zmq_catch_up(void *sock)
{
    // Reading ZMQ_EVENTS makes the socket process its pending commands without
    // the time-based throttle that sends apply.
    int events;
    size_t size = sizeof events;
    return zmq_getsockopt(sock, ZMQ_EVENTS, &events, &size) < 0 ? -1 : 0;
}

int zmq_send_nowait(void *sock, const void *buf, size_t len)
{
    int rc = zmq_send(sock, buf, len, ZMQ_DONTWAIT);
    if (rc >= 0 || zmq_errno() != EAGAIN) return rc;
    zmq_catch_up(sock);
    return zmq_send(sock, buf, len, ZMQ_DONTWAIT);
}

int zmq_poll_nointr(zmq_pollitem_t *items, int count, long timeout_ms)
{
    int rc = zmq_poll(items, count, timeout_ms);
    if (rc < 0 && zmq_errno() == EINTR) return 0;
    return rc;
}

void sleep_while_running(int ms, const std::atomic<int> *run)
{
    const int SLICE_MS = 100; // the stop-notice bound every loop of the daemon keeps
    while (ms > 0 && running && (run == nullptr || *run)) {
        int step = ms < SLICE_MS ? ms : SLICE_MS;
        struct timespec ts = {0, step * 1000000L};
        nanosleep(&ts, nullptr);
        ms -= step;
    }
}

long long timespec_ms(const struct timespec &ts)
{
    return static_cast<long long>(ts.tv_sec) * 1000LL + ts.tv_nsec / 1000000L;
}

long long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timespec_ms(ts);
}
