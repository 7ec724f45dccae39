// Channel forwarder: PULL in, PUB out, nothing in between.
//
// The PUB and the PULL socket each live in a ZeroMQ context of their own. Messages
// are forwarded as zmq messages, whatever their size: nothing is copied, and a
// message larger than any fixed receive buffer is published whole instead of being
// cut short or lost.
#include "channels/forwarder.h"

#include "channels/zmq_util.h"

#include <cstdio>

// The largest message (bytes) a channel takes. The daemon's own endpoints send at
// most INOUT_BUF_SIZE bytes at a time; this leaves programs room for larger ones
// while no sender can make the daemon store a message of any size it likes:
// ZeroMQ refuses a longer one as soon as its length header arrives, before
// storing any of it, and drops that sender's connection.
static const int64_t FWD_MAX_MSG_SIZE = 16 * 1024;

// Messages forwarded per poll at most, so that the run flags are still looked at
// often while a producer floods the channel.
static const int FWD_BATCH = 256;

void fwd_fill(fwd_cfg *cfg, bool command, const std::atomic<int> *run)
{
    int pub_port = command ? publish_command_port : publish_response_port;
    int pull_port = command ? pull_command_port : pull_response_port;
    snprintf(cfg->pub[0], ENDPOINT_SIZE, "tcp://*:%d", pub_port);
    snprintf(cfg->pub[1], ENDPOINT_SIZE, "%s",
             command ? "ipc:///tmp/vexlond_pub_cmd" : "ipc:///tmp/vexlond_pub_res");
    snprintf(cfg->pull[0], ENDPOINT_SIZE, "tcp://*:%d", pull_port);
    // Two slashes: a path relative to the working directory, which is / after
    // --daemon. Kept so for the programs that already connect there.
    snprintf(cfg->pull[1], ENDPOINT_SIZE, "%s",
             command ? "ipc://tmp/vexlond_pull_cmd" : "ipc://tmp/vexlond_pull_res");
    cfg->run = run;
}

// A bind that fails (port in use, missing directory) leaves the other endpoint
// serving; it is not reported.
static void bind_quietly(zmq_owned_socket &s, const char *endpoint)
{
    zmq_bind(s.sock.handle(), endpoint);
}

static void forward(const fwd_cfg *cfg, zmq_owned_socket &pub, zmq_owned_socket &pull)
{
    zmq_pollitem_t item = {pull.sock.handle(), 0, ZMQ_POLLIN, 0};
    while (running && *cfg->run) {
        if (zmq_poll_nointr(&item, 1, 100) <= 0) continue;
        if (item.revents & ZMQ_POLLERR) {
            fprintf(stderr, "%s: pollerr\n", "fwd_thread");
            sleep_while_running(1000, cfg->run);
        }
        if (!(item.revents & ZMQ_POLLIN)) continue;
        // Only the PULL socket is polled, so nothing else makes the PUB hear how
        // far its subscribers have read; with stale news it takes a subscriber
        // that keeps up for one that is full and drops its messages.
        zmq_catch_up(pub.sock.handle());
        for (int i = 0; i < FWD_BATCH; i++) {
            zmq::message_t msg;
            if (zmq_msg_recv(msg.handle(), pull.sock.handle(), ZMQ_DONTWAIT) < 0) break;
            // PUB never waits: a subscriber that cannot keep up loses messages
            // instead of stalling the channel.
            zmq_msg_send(msg.handle(), pub.sock.handle(), ZMQ_DONTWAIT);
        }
    }
}

void *fwd_thread(void *arg)
{
    const fwd_cfg *cfg = static_cast<const fwd_cfg *>(arg);
    if (verbose > 0)
        printf("%s: pub=%s,%s pull=%s,%s\n", "fwd_thread", cfg->pub[0], cfg->pub[1],
               cfg->pull[0], cfg->pull[1]);
    try {
        auto pub = zmq_owned_open(zmq::socket_type::pub);
        auto pull = zmq_owned_open(zmq::socket_type::pull);
        if (!pub || !pull) return nullptr;
        bind_quietly(*pub, cfg->pub[0]);
        bind_quietly(*pub, cfg->pub[1]);
        pull->sock.set(zmq::sockopt::maxmsgsize, FWD_MAX_MSG_SIZE);
        bind_quietly(*pull, cfg->pull[0]);
        bind_quietly(*pull, cfg->pull[1]);
        forward(cfg, *pub, *pull);
        pull.reset();
        pub.reset();
    } catch (const std::exception &e) {
        fprintf(stderr, "fwd_thread: %s\n", e.what());
    }
    return nullptr;
}
