// ZeroMQ helpers shared by the forwarders and the bridges.
#include "channels/zmq_util.h"

#include "base/settings.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>

static std::once_flag shared_context_once;
static std::unique_ptr<zmq::context_t> shared_context;

// ZeroMQ's own I/O threads of the context. Only remote peers use them (the
// daemon's bridges reach the channels in-process): one serves a board's few
// peers, and every thread costs a stack there. Two, with a channel's PULL side
// on one and its PUB side on the other (ZMQ_AFFINITY), were measured on two
// cores: round trips 10 % slower, a flood's publisher dropping more (the intake
// outran the output), throughput no better beyond the noise.
static const int SHARED_IO_THREADS = 1;

const char *channel_pub_inproc(int channel)
{
    return channel == CHANNEL_COMMAND ? "inproc://vexlond-command-pub"
                                      : "inproc://vexlond-response-pub";
}

const char *channel_name(int channel)
{
    return channel == CHANNEL_COMMAND ? "command" : "response";
}

zmq::context_t &zmq_shared_context()
{
    std::call_once(shared_context_once, [] {
        shared_context = std::make_unique<zmq::context_t>(SHARED_IO_THREADS);
        // Two sockets per server connection and link, seven for the static
        // endpoints and the forwarders; the default (1023) would be reached
        // below the caps a user may set.
        int sockets = 2 * (max_server_conns + max_links) + 64;
        if (sockets > ZMQ_MAX_SOCKETS_DFLT) shared_context->set(zmq::ctxopt::max_sockets, sockets);
    });
    return *shared_context;
}

void zmq_shared_context_end()
{
    if (shared_context) shared_context->close();
}

zmq::socket_t zmq_open_socket(zmq::socket_type type)
{
    try {
        zmq::socket_t s(zmq_shared_context(), type);
        s.set(zmq::sockopt::linger, ZMQ_LINGER_MS);
        return s;
    } catch (const std::exception &e) {
        fprintf(stderr, "zmq_socket: %s\n", e.what());
        return zmq::socket_t();
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

int zmq_notify_fd(void *sock)
{
    int fd = -1;
    size_t size = sizeof fd;
    return zmq_getsockopt(sock, ZMQ_FD, &fd, &size) < 0 ? -1 : fd;
}

int zmq_poll_nointr(zmq_pollitem_t *items, int count, long timeout_ms)
{
    int rc = zmq_poll(items, count, timeout_ms);
    if (rc < 0 && zmq_errno() == EINTR) return 0;
    return rc;
}
