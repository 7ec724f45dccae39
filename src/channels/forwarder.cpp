// Channel forwarder: PULL in, PUB out, nothing in between.
//
// DESIGN: the daemon's own bridges publish on the channel's PUB socket
// themselves (fwd_publish), under the lock that every use of that socket takes:
// a line from a pty, a serial port or a TCP connection then wakes one thread of
// the daemon less on its way (the bridge's send hands it straight to ZeroMQ's I/O
// thread), and costs a quarter less CPU. The forwarder serves what programs push
// into the PULL side. It sleeps in one poll over its PULL socket, its PUB socket
// and the stop flags. Messages move from PULL to PUB as ZeroMQ message objects,
// never copied, and everything waiting is drained before the next poll, in
// order. The PUB socket is in the poll set although it never has anything to
// read: its peers' comings and goings (and the subscriptions of the daemon's own
// bridges) are then handled as they happen, instead of at the next message, so
// a subscriber that has gone gives back its memory on a quiet channel too.
//
// The poll is a plain poll() over the sockets' notification descriptors
// (ZMQ_FD), not zmq_poll: zmq_poll asks every socket for its events before it
// sleeps, polls once without waiting, and asks again after it wakes, some ten
// system calls a wake-up here against one. A notification descriptor turns
// readable only when the socket gets a command (a message has arrived on a pipe
// that was empty, a peer came or went); that is enough because the PULL socket is
// always drained until it would block, which is when it asks to be told again,
// and the PUB socket's commands are processed whenever its descriptor wakes us.
#include "channels/forwarder.h"

#include "base/clock.h"
#include "channels/stats.h"
#include "channels/zmq_util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The largest message (bytes) a channel forwards. The daemon's own endpoints
// send at most INOUT_BUF_SIZE bytes at a time; this leaves programs room for
// larger ones. A longer message is dropped alone and counted.
static const size_t FWD_MAX_MSG_SIZE = 16 * 1024;

// The longest message ZeroMQ takes in at all (bytes): it refuses a longer one as
// soon as its length header arrives, before storing any of it, and drops that
// sender's connection. Far above any message the channel forwards, so that an
// oversize message costs the sender only itself; low enough that no sender can
// make the daemon store a message of any size it likes.
static const int64_t FWD_HARD_MAX_MSG_SIZE = 256 * 1024;

// Pause (ms) after a poll error, so that a failing socket does not spin.
static const int FWD_POLLERR_PAUSE_MS = 1000;

namespace {

// An IPC endpoint this forwarder bound, to remove its socket file at the end.
struct fwd_ipc_file {
    std::string path; // as bound: relative ones against the working directory
    ino_t inode;      // the file this forwarder made
};

struct fwd_sockets {
    // The PUB socket is shared with the bridges (fwd_publish): every use of it
    // after start-up holds this lock, which also orders ZeroMQ's socket state
    // between the threads.
    std::mutex pub_lock;
    zmq::socket_t pub;
    zmq::socket_t pull;
    std::vector<fwd_ipc_file> ipc_files;
};

fwd_sockets fwd_open_sockets[2]; // by channel; opened by start-up, then used by its thread

void bind_reported(fwd_sockets &f, zmq::socket_t &s, const char *endpoint)
{
    if (zmq_bind(s.handle(), endpoint) < 0) {
        fprintf(stderr, "%s: %s\n", endpoint, zmq_strerror(zmq_errno()));
        return;
    }
    struct stat st;
    std::string path = endpoint + strlen("ipc://");
    if (strncmp(endpoint, "ipc://", 6) == 0 && stat(path.c_str(), &st) == 0)
        f.ipc_files.push_back({path, st.st_ino});
}

// ZeroMQ leaves an IPC socket file behind when its socket closes. Only a file
// still this forwarder's is removed: a daemon started later takes the path over
// with a file of its own, which must stay.
void remove_ipc_files(fwd_sockets &f)
{
    for (const fwd_ipc_file &i : f.ipc_files) {
        struct stat st;
        if (stat(i.path.c_str(), &st) == 0 && st.st_ino == i.inode) unlink(i.path.c_str());
    }
    f.ipc_files.clear();
}

void forward_waiting(const fwd_cfg *cfg, fwd_sockets &s, bool *told_oversize)
{
    channel_stats &st = channel_counters[cfg->channel];
    // Only now does the PUB hear how far its subscribers have read and who has
    // subscribed since; with stale news it would drop messages that have room.
    {
        std::lock_guard<std::mutex> hold(s.pub_lock);
        zmq_catch_up(s.pub.handle());
    }
    while (running.on && cfg->run->on) {
        zmq::message_t msg;
        if (zmq_msg_recv(msg.handle(), s.pull.handle(), ZMQ_DONTWAIT) < 0) return;
        stat_add(&st.msgs_in, 1);
        if (msg.size() > FWD_MAX_MSG_SIZE) {
            stat_add(&st.dropped, 1);
            if (!*told_oversize)
                fprintf(stderr, "%s: message of %zu bytes over %zu dropped\n", "fwd_thread",
                        msg.size(), FWD_MAX_MSG_SIZE);
            *told_oversize = true;
            continue;
        }
        // PUB never waits: a subscriber that cannot keep up loses messages
        // instead of stalling the channel.
        std::lock_guard<std::mutex> hold(s.pub_lock);
        if (zmq_msg_send(msg.handle(), s.pub.handle(), ZMQ_DONTWAIT) < 0)
            stat_add(&st.dropped, 1);
        else
            stat_add(&st.msgs_out, 1);
    }
}

} // namespace

void fwd_fill(fwd_cfg *cfg, int channel, const stop_flag *run)
{
    bool command = channel == CHANNEL_COMMAND;
    int pub_port = command ? publish_command_port : publish_response_port;
    int pull_port = command ? pull_command_port : pull_response_port;
    snprintf(cfg->pub[0], ENDPOINT_SIZE, "%s", tcp_listen_endpoint(pub_port).c_str());
    snprintf(cfg->pub[1], ENDPOINT_SIZE, "%s",
             command ? "ipc:///tmp/vexlond_pub_cmd" : "ipc:///tmp/vexlond_pub_res");
    snprintf(cfg->pull[0], ENDPOINT_SIZE, "%s", tcp_listen_endpoint(pull_port).c_str());
    // Kept on purpose: two slashes, a path relative to the working directory
    // (which is / after --daemon), where programs already connect.
    snprintf(cfg->pull[1], ENDPOINT_SIZE, "%s",
             command ? "ipc://tmp/vexlond_pull_cmd" : "ipc://tmp/vexlond_pull_res");
    cfg->run = run;
    cfg->channel = channel;
}

int fwd_open(const fwd_cfg *cfg)
{
    fwd_sockets &s = fwd_open_sockets[cfg->channel];
    s.pub = zmq_open_socket(zmq::socket_type::pub);
    s.pull = zmq_open_socket(zmq::socket_type::pull);
    if (!s.pub.handle() || !s.pull.handle()) {
        s.pub.close();
        s.pull.close();
        return -1;
    }
    s.pull.set(zmq::sockopt::maxmsgsize, FWD_HARD_MAX_MSG_SIZE);
    // Kept on purpose: ZeroMQ's high-water marks (1,000 messages a peer) and the
    // kernel's own socket buffer sizing. A higher publisher mark only turns a
    // slow subscriber's drops into memory held for it (it bounds messages, not
    // bytes: 10,000 messages of 16 KiB would be 160 MiB a subscriber), without
    // delivering more a second; fixed buffer sizes would turn autotuning off.
    bind_reported(s, s.pub, channel_pub_inproc(cfg->channel));
    bind_reported(s, s.pub, cfg->pub[0]);
    bind_reported(s, s.pub, cfg->pub[1]);
    bind_reported(s, s.pull, cfg->pull[0]);
    bind_reported(s, s.pull, cfg->pull[1]);
    return 0;
}

int fwd_publish(int channel, const char *msg, size_t len)
{
    fwd_sockets &s = fwd_open_sockets[channel];
    channel_stats &st = channel_counters[channel];
    std::lock_guard<std::mutex> hold(s.pub_lock);
    if (!s.pub.handle()) return -1;
    stat_add(&st.msgs_in, 1);
    // As the forwarder does before each batch: a PUB acting on stale news of its
    // subscribers drops messages that have room.
    zmq_catch_up(s.pub.handle());
    if (zmq_send(s.pub.handle(), msg, len, ZMQ_DONTWAIT) < 0) {
        stat_add(&st.dropped, 1);
        return -1;
    }
    stat_add(&st.msgs_out, 1);
    return 0;
}

void *fwd_thread(void *arg)
{
    const fwd_cfg *cfg = static_cast<const fwd_cfg *>(arg);
    fwd_sockets &s = fwd_open_sockets[cfg->channel];
    if (verbose > 0)
        printf("%s: pub=%s,%s pull=%s,%s\n", "fwd_thread", cfg->pub[0], cfg->pub[1], cfg->pull[0],
               cfg->pull[1]);
    try {
        bool told_oversize = false;
        struct pollfd items[4] = {{zmq_notify_fd(s.pull.handle()), POLLIN, 0},
                                  {zmq_notify_fd(s.pub.handle()), POLLIN, 0},
                                  {running.fd, POLLIN, 0},
                                  {cfg->run->fd, POLLIN, 0}};
        int n = cfg->run == &running ? 3 : 4;
        // Messages may have come before the first poll, without a new notice.
        bool waiting = true;
        while (s.pull.handle() && running.on && cfg->run->on) {
            if (waiting) forward_waiting(cfg, s, &told_oversize);
            if (poll(items, n, -1) < 0) {
                if (errno == EINTR) continue;
                perror("poll");
                break;
            }
            if (items[0].revents & POLLERR) {
                fprintf(stderr, "%s: pollerr\n", "fwd_thread");
                clock_sleep(FWD_POLLERR_PAUSE_MS, cfg->run);
            }
            // Its peers' news, taken now; it would otherwise stay readable.
            if (items[1].revents) {
                std::lock_guard<std::mutex> hold(s.pub_lock);
                zmq_catch_up(s.pub.handle());
            }
            waiting = items[0].revents != 0;
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "fwd_thread: %s\n", e.what());
    }
    s.pull.close();
    {
        std::lock_guard<std::mutex> hold(s.pub_lock);
        s.pub.close();
    }
    remove_ipc_files(s);
    return nullptr;
}
