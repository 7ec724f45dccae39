// Small ZeroMQ helpers shared by the forwarders and the bridges: sockets that own
// their context, and a poll that survives signals.
#pragma once

#include <ctime>
#include <memory>
#include <zmq.hpp>

// The daemon gives every socket a ZeroMQ context of its own. Member order closes
// the socket before its context is destroyed.
struct zmq_owned_socket {
    zmq::context_t ctx;
    zmq::socket_t sock;
    explicit zmq_owned_socket(zmq::socket_type type) : ctx(), sock(ctx, type) {}
};

// ZeroMQ's default linger is infinite: a PUSH whose peer is gone would block the
// context's destruction, and with it shutdown. Pending messages get this long to
// leave (ms), enough for a local forwarder and short enough for a prompt exit.
constexpr int ZMQ_LINGER_MS = 200;

// Creates a context and a socket of `type` in it with ZMQ_LINGER_MS. Returns null
// after a message on stderr when ZeroMQ refuses (no memory, too many sockets).
std::unique_ptr<zmq_owned_socket> zmq_owned_open(zmq::socket_type type);

// Lets `sock` act at once on the commands its I/O thread has queued for it, above
// all how far its peers have read. Sends do that at most about once a millisecond,
// so within a burst a queue that has room can look full: a PUB then drops what it
// is given, a PUSH refuses it. Returns 0, or -1.
int zmq_catch_up(void *sock);

// zmq_send with ZMQ_DONTWAIT that, when the queue looks full, catches up with the
// peers' progress and tries once more. Never waits. Returns zmq_send's result.
int zmq_send_nowait(void *sock, const void *buf, size_t len);

// zmq_poll that reports a signal landing in this thread as "nothing ready" (0):
// EINTR is no poll error. Returns the number of ready items, or -1 on a real error.
int zmq_poll_nointr(zmq_pollitem_t *items, int count, long timeout_ms);

// Sleeps up to `ms`, in slices short enough to notice `*run` or `running` dropping.
void sleep_while_running(int ms, const std::atomic<int> *run);

// A clock reading in milliseconds, in 64 bits: on the board's 32-bit target a
// long holds only 24.8 days of CLOCK_MONOTONIC (time since boot) in milliseconds.
long long timespec_ms(const struct timespec &ts);

// CLOCK_MONOTONIC in milliseconds (see timespec_ms).
long long monotonic_ms();
