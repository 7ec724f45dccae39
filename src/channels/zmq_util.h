// ZeroMQ for the whole daemon: one shared context, the in-process endpoints
// through which the daemon's own bridges reach the channels, and sends and polls
// that never wait and survive signals.
#pragma once

#include "base/settings.h"

#include <zmq.hpp>

// The in-process endpoint of a channel's publisher (CHANNEL_COMMAND or
// CHANNEL_RESPONSE): its forwarder binds it beside the TCP and IPC endpoints,
// and the daemon's bridges subscribe there, without name resolution or a TCP hop.
const char *channel_pub_inproc(int channel);
// "command" or "response".
const char *channel_name(int channel);

// The context every socket of the daemon lives in, created on first use.
zmq::context_t &zmq_shared_context();

// Ends the shared context once every socket has been closed (after the threads
// that used them have been joined). A no-op when it was never created.
void zmq_shared_context_end();

// A socket of `type` in the shared context, with ZMQ_LINGER_MS. Null (a socket
// whose handle() is null) after a message on stderr when ZeroMQ refuses.
zmq::socket_t zmq_open_socket(zmq::socket_type type);

// ZeroMQ's default linger is infinite: a PUSH whose peer is gone would block
// the context's end, and with it shutdown. Pending messages get this long to
// leave (ms), enough for a local forwarder and short enough for a prompt exit.
constexpr int ZMQ_LINGER_MS = 200;

// Lets `sock` act at once on the commands its peers have queued for it: new and
// ended connections, subscriptions, how far each peer has read. Sends do that at
// most about once a millisecond, so within a burst a queue that has room can
// look full (a PUB then drops, a PUSH refuses) and a new subscription can be
// missed. Returns 0, or -1.
int zmq_catch_up(void *sock);

// The descriptor that turns readable when `sock` gets news (ZMQ_FD), to be
// polled as a plain descriptor; -1 when ZeroMQ refuses. After it wakes, the
// socket must be drained until it would block, or caught up (zmq_catch_up),
// before it is polled again: it tells only what is new.
int zmq_notify_fd(void *sock);

// zmq_poll that reports a signal landing in this thread as "nothing ready" (0).
int zmq_poll_nointr(zmq_pollitem_t *items, int count, long timeout_ms);
