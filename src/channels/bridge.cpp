// Stream bridge: one thread per byte-stream endpoint, between a descriptor pair
// and the channels.
//
// DESIGN: the bridge sleeps in one poll over its input descriptor, its SUB
// socket and the stop flags, so it wakes only for traffic or a stop. What it
// reads it publishes on the channel itself (fwd_publish), which never waits: a
// subscriber that cannot keep up loses the message, as with any publisher.
// Writes to the output never block: a message that finds no room waits, with the
// SUB side left alone, up to INOUT_FULL_WAIT_MS for the reader; then the output
// counts as not read and messages that find no room are dropped until it reads
// again, so a reader that stops (a TCP peer whose window stays full, a program on
// a pty, a bus nobody drains) holds neither the input side nor shutdown.
//
// End of input is reported once and the descriptor is no longer polled when it
// would stay readable: a regular file is watched with inotify for data appended
// later, a pty master for a program opening its slave; /dev/null, a pipe without
// a writer or a closed socket are left alone. The other side goes on at full speed.
#include "channels/bridge.h"

#include "base/clock.h"
#include "channels/dump.h"
#include "channels/forwarder.h"
#include "channels/framing.h"
#include "channels/zmq_util.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// A message that finds its output full gets this long (ms) for the reader to make
// room. Long enough for a reader that is merely slow (a serial line draining at
// its baud rate, a peer on a busy network); short enough that one that has
// stopped holds the channel's messages for this bridge no longer than this.
static const int INOUT_FULL_WAIT_MS = 1000;

// Pause (ms) after a poll error on the input, so that a descriptor that keeps
// failing does not spin; kept on purpose, as every loop of the daemon reports a
// poll error and then waits this long.
static const int INOUT_POLLERR_PAUSE_MS = 1000;

// Messages a bridge's SUB socket queues (ZeroMQ's high-water mark; the forwarder
// queues up to its own mark more). A bridge empties its queue at once unless it
// is waiting for room at its output, so this only has to cover that wait; being
// a copy per bridge, it is kept small to bound what many slow endpoints hold.
static const int INOUT_SUB_HWM = 100;

// Messages taken from the SUB socket per wake-up at most, so the input side is
// not starved by a flooding channel.
static const int INOUT_SUB_BATCH = 64;

void inout_fill(inout_cfg *cfg, int ifd, int ofd, int push_channel, int sub_channel,
                const stop_flag *run, unsigned flags, endpoint_stats *stats)
{
    cfg->ifd = ifd;
    cfg->ofd = ofd;
    cfg->push_channel = push_channel;
    cfg->sub_channel = sub_channel;
    cfg->run = run;
    cfg->flags = flags;
    cfg->stats = stats;
}

namespace {

struct bridge {
    const inout_cfg *cfg = nullptr;
    zmq::socket_t sub;
    bool has_input = false;
    bool has_output = false;
    int ended = -1; // INOUT_ENDED_* once the bridge is to end
    bool ifd_is_pty = false;
    bool ofd_is_pty = false;
    bool ofd_is_socket = false;
    bool at_eof = false;       // the last read ended the input; reported once per stretch
    bool input_idle = false;   // the input is not polled (see the DESIGN note)
    int watch_fd = -1;         // inotify descriptor that wakes an idle input; -1: none
    bool pushed_once = false;  // a message has reached the channel
    bool unreachable = false;  // "not reachable" has been said
    std::string out_tail;      // unsent end of a message that found its output full
    long long out_give_up = 0; // when a waiting tail makes the output count as not read
    bool out_full = false;     // the reader has stopped: messages that find no room are dropped
    line_state line;
    char buf[INOUT_BUF_SIZE];
};

void count(const bridge &b, stat_counter endpoint_stats::*which, uint64_t n)
{
    if (b.cfg->stats) stat_add(&(b.cfg->stats->*which), n);
}

bool is_pty_master(int fd)
{
    unsigned n;
    return ioctl(fd, TIOCGPTN, &n) == 0;
}

short poll_now(int fd, short events)
{
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, 0) == 1 ? p.revents : 0;
}

// A pty master whose slave no program holds open polls as hung up.
bool pty_unheld(int master)
{
    return poll_now(master, POLLOUT) & POLLHUP;
}

void push_message(void *ctx, const char *msg, size_t len)
{
    bridge *b = static_cast<bridge *>(ctx);
    if (fwd_publish(b->cfg->push_channel, msg, len) < 0) {
        count(*b, &endpoint_stats::dropped, 1);
        if (!b->pushed_once && !b->unreachable) {
            fprintf(stderr, "%s: channel %s not reachable\n", "inout_thread",
                    channel_name(b->cfg->push_channel));
            b->unreachable = true;
        }
        return;
    }
    b->pushed_once = true;
    count(*b, &endpoint_stats::msgs_in, 1);
    count(*b, &endpoint_stats::bytes_in, len);
}

void idle_unwatch(bridge &b)
{
    if (b.watch_fd >= 0) close(b.watch_fd);
    b.watch_fd = -1;
    b.input_idle = false;
}

// Starts watching `path` for `mask`; the input is idle until it fires. An input
// that cannot be watched (no inotify, no /proc) stays idle: it is never busy.
void idle_watch(bridge &b, const std::string &path, uint32_t mask)
{
    b.input_idle = true;
    b.watch_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (b.watch_fd >= 0 && inotify_add_watch(b.watch_fd, path.c_str(), mask) < 0) {
        close(b.watch_fd);
        b.watch_fd = -1;
    }
}

// End of input on an input that the bridge outlives: decides how to wait for more.
void input_rest(bridge &b)
{
    int fd = b.cfg->ifd;
    struct stat st;
    if (b.ifd_is_pty) {
        char name[128]; // "/dev/pts/<n>"; ptsname_r reports ERANGE rather than cut it
        if (ptsname_r(fd, name, sizeof name) != 0) name[0] = '\0';
        idle_watch(b, name, IN_OPEN);
        // A program that opened the slave before the watch was in place.
        if (!pty_unheld(fd)) idle_unwatch(b);
    } else if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        idle_watch(b, "/proc/self/fd/" + std::to_string(fd), IN_MODIFY);
        // Data appended before the watch was in place.
        off_t at = lseek(fd, 0, SEEK_CUR);
        if (fstat(fd, &st) == 0 && at >= 0 && at < st.st_size) idle_unwatch(b);
    } else if (poll_now(fd, POLLIN) != 0) {
        // Readable at its end for good (/dev/null, a pipe without a writer, a
        // closed socket): nothing more will come.
        b.input_idle = true;
    }
    // Otherwise (a terminal after end of file) it reads again once there is more.
}

void input_wake(bridge &b)
{
    char events[4096]; // drained whole: any event means "look again"
    while (read(b.watch_fd, events, sizeof events) > 0) {
    }
    idle_unwatch(b);
}

void read_input(bridge &b)
{
    ssize_t r = read(b.cfg->ifd, b.buf, sizeof b.buf);
    if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (r > 0) {
        b.at_eof = false;
        if (b.cfg->flags & INOUT_DUMP) traffic_dump(0, 0, b.buf, static_cast<size_t>(r));
        if (b.cfg->flags & INOUT_LINES)
            line_frame(&b.line, b.buf, static_cast<size_t>(r), push_message, &b);
        else
            push_message(&b, b.buf, static_cast<size_t>(r));
        return;
    }
    // Reported once per stretch of end of input, not at every wake-up; the line's
    // odd form (item index, socket pointer) is kept on purpose, as users see it.
    // The null socket of a descriptor item is written as the C libraries of the
    // board and the PC print a null %p, whichever the daemon is built with.
    if (!b.at_eof) printf("i=%d socket=%s length=%d\n", 0, "(nil)", static_cast<int>(r));
    b.at_eof = true;
    if (b.cfg->flags & INOUT_STOP_ON_EOF)
        b.ended = INOUT_ENDED_EOF;
    else if (b.cfg->flags & INOUT_STOP_ON_FAIL)
        b.ended = INOUT_ENDED_FAIL;
    else
        input_rest(b);
}

void handle_input(bridge &b, short zmq_revents)
{
    // zmq_poll reports a hang-up as an error; only a real error is one. A pipe
    // without a writer or a pty without a program simply reads as end of input.
    if ((zmq_revents & ZMQ_POLLERR) && !b.ifd_is_pty && (poll_now(b.cfg->ifd, POLLIN) & POLLERR)) {
        fprintf(stderr, "%s: pollerr\n", "inout_thread");
        // A device that fails ends the bridge at its read below instead.
        if (!(b.cfg->flags & INOUT_STOP_ON_FAIL)) clock_sleep(INOUT_POLLERR_PAUSE_MS, b.cfg->run);
    }
    read_input(b);
}

// Writes what fits now, without waiting; returns the bytes taken. Sockets are
// written with MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE. A failed
// write takes everything: the peer has gone, and its end of input ends the
// bridge or idles it; a device that fails ends the bridge (INOUT_STOP_ON_FAIL).
size_t write_some(bridge &b, const char *data, size_t len)
{
    size_t off = 0;
    while (off < len) {
        ssize_t w = b.ofd_is_socket
                        ? send(b.cfg->ofd, data + off, len - off, MSG_NOSIGNAL | MSG_DONTWAIT)
                        : write(b.cfg->ofd, data + off, len - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            if (b.cfg->flags & INOUT_STOP_ON_FAIL) b.ended = INOUT_ENDED_FAIL;
            return len;
        }
    }
    return off;
}

// Sends what room allows of a message that a full output cut short. The rest of a
// message goes out before anything else, so the reader never gets half of one
// followed by another.
void flush_tail(bridge &b)
{
    if (b.ofd_is_pty && pty_unheld(b.cfg->ofd)) b.out_tail.clear();
    b.out_tail.erase(0, write_some(b, b.out_tail.data(), b.out_tail.size()));
    if (!b.out_tail.empty()) return;
    b.out_full = false;
    if (b.cfg->flags & INOUT_DRAIN) tcdrain(b.cfg->ofd);
}

void output_message(bridge &b, const char *data, size_t len)
{
    // Nobody on a pty's slave side: the message would wait there for a later
    // program and, with echo on, come back as a command. It is dropped.
    bool nobody = b.ofd_is_pty && pty_unheld(b.cfg->ofd);
    if (!nobody && !b.out_tail.empty()) flush_tail(b);
    if (nobody || !b.out_tail.empty()) {
        count(b, &endpoint_stats::dropped, 1);
        return;
    }
    size_t off = write_some(b, data, len);
    count(b, &endpoint_stats::msgs_out, 1);
    count(b, &endpoint_stats::bytes_out, len);
    if (off == len) {
        b.out_full = false;
        if (b.cfg->flags & INOUT_DRAIN) tcdrain(b.cfg->ofd);
        return;
    }
    b.out_tail.assign(data + off, len - off);
    if (!b.out_full) b.out_give_up = monotonic_ms() + INOUT_FULL_WAIT_MS;
}

// The reader has not made room in time: from now on what finds no room is
// dropped, reported once per stretch.
void output_give_up(bridge &b)
{
    b.out_full = true;
    fprintf(stderr, "%s: %s not read, dropping messages\n", "inout_thread",
            b.ofd_is_pty ? "pty" : "output");
}

void receive_from_channel(bridge &b)
{
    for (int i = 0; i < INOUT_SUB_BATCH; i++) {
        // Taken as a zmq message: a message of any size is written whole, never
        // cut to a fixed buffer.
        zmq::message_t msg;
        if (zmq_msg_recv(msg.handle(), b.sub.handle(), ZMQ_DONTWAIT) < 0) return;
        if (msg.size() == 0) continue;
        const char *data = static_cast<const char *>(msg.data());
        if (b.cfg->flags & INOUT_DUMP) traffic_dump(0, 1, data, msg.size());
        output_message(b, data, msg.size());
        // Waiting for the reader: the rest stays queued in the channel.
        if (!b.out_tail.empty() && !b.out_full) return;
    }
}

const char *side_name(int channel)
{
    return channel == CHANNEL_NONE ? "" : channel_name(channel);
}

zmq::socket_t connect_sub(const char *endpoint)
{
    zmq::socket_t s = zmq_open_socket(zmq::socket_type::sub);
    if (!s.handle()) return s;
    s.set(zmq::sockopt::rcvhwm, INOUT_SUB_HWM);
    s.set(zmq::sockopt::subscribe, "");
    if (zmq_connect(s.handle(), endpoint) < 0)
        fprintf(stderr, "%s: %s: %s\n", "inout_thread", endpoint, zmq_strerror(zmq_errno()));
    return s;
}

bool bridge_running(const bridge &b)
{
    return b.ended < 0 && running.on && b.cfg->run->on;
}

void run_bridge(bridge &b)
{
    const inout_cfg *cfg = b.cfg;
    b.has_input = cfg->ifd >= 0 && cfg->push_channel != CHANNEL_NONE;
    b.has_output = cfg->ofd >= 0 && cfg->sub_channel != CHANNEL_NONE;
    b.ifd_is_pty = b.has_input && is_pty_master(cfg->ifd);
    // Subscribed before the first read: what this bridge publishes on the
    // channel it subscribes to comes back to it.
    if (b.has_output) {
        b.sub = connect_sub(channel_pub_inproc(cfg->sub_channel));
        if (!b.sub.handle()) return;
        struct stat st;
        b.ofd_is_socket = fstat(cfg->ofd, &st) == 0 && S_ISSOCK(st.st_mode);
        b.ofd_is_pty = is_pty_master(cfg->ofd);
    }

    while (bridge_running(b)) {
        zmq_pollitem_t items[6];
        int n = 0, in_i = -1, watch_i = -1, sub_i = -1, out_i = -1;
        bool waiting = !b.out_tail.empty() && !b.out_full;
        if (b.has_input && !b.input_idle) {
            items[n] = {nullptr, cfg->ifd, ZMQ_POLLIN, 0};
            in_i = n++;
        }
        if (b.has_input && b.input_idle && b.watch_fd >= 0) {
            items[n] = {nullptr, b.watch_fd, ZMQ_POLLIN, 0};
            watch_i = n++;
        }
        if (b.has_output && !waiting) {
            items[n] = {b.sub.handle(), 0, ZMQ_POLLIN, 0};
            sub_i = n++;
        }
        if (!b.out_tail.empty()) {
            items[n] = {nullptr, cfg->ofd, ZMQ_POLLOUT, 0};
            out_i = n++;
        }
        items[n++] = {nullptr, running.fd, ZMQ_POLLIN, 0};
        if (cfg->run != &running) items[n++] = {nullptr, cfg->run->fd, ZMQ_POLLIN, 0};

        long timeout = -1;
        if (waiting) timeout = static_cast<long>(std::max(0LL, b.out_give_up - monotonic_ms()));
        if (zmq_poll_nointr(items, n, timeout) < 0) {
            perror("zmq_poll");
            return;
        }
        if (waiting && !b.out_tail.empty() && monotonic_ms() >= b.out_give_up) output_give_up(b);
        if (in_i >= 0 && items[in_i].revents) handle_input(b, items[in_i].revents);
        if (watch_i >= 0 && items[watch_i].revents) input_wake(b);
        if (sub_i >= 0 && (items[sub_i].revents & ZMQ_POLLIN)) receive_from_channel(b);
        if (out_i >= 0 && items[out_i].revents && !b.out_tail.empty()) flush_tail(b);
    }
    // Held line bytes not yet sent are dropped with the bridge.
}

} // namespace

int inout_run(const inout_cfg *cfg)
{
    if (verbose > 0)
        printf("%s: ifd=%d ofd=%d push=%s sub=%s\n", "inout_thread", cfg->ifd, cfg->ofd,
               side_name(cfg->push_channel), side_name(cfg->sub_channel));
    int ended = INOUT_ENDED_STOP;
    try {
        auto b = std::make_unique<bridge>();
        b->cfg = cfg;
        run_bridge(*b);
        if (b->ended >= 0) ended = b->ended;
        idle_unwatch(*b);
        b->sub.close();
    } catch (const std::exception &e) {
        fprintf(stderr, "inout_thread: %s\n", e.what());
    }
    return ended;
}

void *inout_thread(void *arg)
{
    inout_run(static_cast<const inout_cfg *>(arg));
    return nullptr;
}
