// Stream bridge: one thread per byte-stream endpoint, between a descriptor pair
// and the channels.
//
// DESIGN: the bridge polls its input descriptor and its SUB socket together,
// 100 ms at a time, so a dropped run flag is noticed within one period. Sends
// into the channel never wait (a full or unconnected channel loses the message,
// reported by perror). Writes to the output descriptor never block: a message
// that finds no room is waited for a bounded time, then the output counts as not
// read and what does not fit is dropped, so a reader that stops (a TCP peer
// whose window stays full, a program on a pty, a bus nobody drains) holds neither
// the bridge's input side nor shutdown (see write_out). A pty master is a special
// case on both sides: its hang-up only means that no program has the slave open.
#include "channels/bridge.h"

#include "channels/dump.h"
#include "channels/zmq_util.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// After end of input on a descriptor that stays readable (a regular file, stdin
// on /dev/null) the descriptor sits out this long (ms) before it is read again:
// data appended later is still picked up, without a busy loop.
static const int INOUT_EOF_PAUSE_MS = 1000;

// A pty master without a program on the slave side is looked at this often (ms),
// so that a program that opens the slave later is served at once.
static const int INOUT_PTY_IDLE_MS = 100;

// A message that finds its output full gets this long (ms) for the reader to make
// room. Long enough for a reader that is merely slow (a serial line draining at
// its baud rate, a peer on a busy network); short enough that one that has
// stopped holds the bridge's input side and shutdown no longer than this.
static const int INOUT_FULL_WAIT_MS = 1000;

// Messages a bridge's SUB socket queues (ZeroMQ's high-water mark; the forwarder
// queues up to 1000 more for it). A bridge empties its queue at once unless it is
// waiting for room at its output, so this only has to cover that wait; being a
// copy per bridge, it is kept small to bound what many slow endpoints hold.
static const int INOUT_SUB_HWM = 100;

// Messages taken from the SUB socket per poll at most, so the input side and the
// run flags are not starved by a flooding channel.
static const int INOUT_SUB_BATCH = 64;

void inout_fill(inout_cfg *cfg, int ifd, int ofd, int push_port, int sub_port,
                const std::atomic<int> *run, unsigned flags)
{
    cfg->ifd = ifd;
    cfg->ofd = ofd;
    cfg->push[0] = '\0';
    cfg->sub[0] = '\0';
    if (push_port >= 0) endpoint_local(cfg->push, push_port);
    if (sub_port >= 0) endpoint_local(cfg->sub, sub_port);
    cfg->run = run;
    cfg->flags = flags;
}

void line_frame(line_state *st, const char *data, size_t len, line_emit_fn emit, void *ctx)
{
    for (size_t i = 0; i < len; i++) {
        char c = data[i];
        if (st->line_len == INOUT_BUF_SIZE) {
            // A line longer than the buffer: send what is held and keep collecting,
            // rather than store past the buffer or drop bytes. The rest of the line
            // still goes out at its end.
            emit(ctx, st->line_buf, st->line_len);
            st->line_len = 0;
            st->line_partial_sent = true;
        }
        st->line_buf[st->line_len++] = c;
        if (c == '\n' && !(st->line_escaped && st->line_len <= INOUT_CONT_LIMIT)) {
            emit(ctx, st->line_buf, st->line_len);
            st->line_len = 0;
            if (!st->line_escaped) st->line_partial_sent = false;
        }
        st->line_escaped = (c == '\\');
    }
    if (st->line_len > 0 && !st->line_partial_sent) {
        emit(ctx, st->line_buf, st->line_len);
        st->line_len = 0;
        st->line_partial_sent = true;
    }
}

namespace {

struct bridge {
    const inout_cfg *cfg;
    std::unique_ptr<zmq_owned_socket> push;
    std::unique_ptr<zmq_owned_socket> sub;
    bool keep = true;
    bool ofd_is_socket = false;
    bool ifd_is_pty = false;  // the input is a pty master
    bool ofd_is_pty = false;  // the output is a pty master
    bool out_full = false;    // the reader has stopped: messages that find no room are dropped
    std::string out_tail;     // unsent end of a message cut short by a full output
    bool at_eof = false;      // the last read ended the input; not reported again
    long long input_resume_ms = 0; // monotonic time from which the input is polled again
    line_state line;
    char buf[INOUT_BUF_SIZE];
};

bool bridge_running(const bridge &b)
{
    return running && b.keep && *b.cfg->run;
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

void push_message(void *ctx, const char *msg, size_t len)
{
    bridge *b = static_cast<bridge *>(ctx);
    if (zmq_send_nowait(b->push->sock.handle(), msg, len) < 0) perror("zmq_send");
}

// Writes what fits now, without waiting; returns the bytes taken. Sockets are
// written with MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE. A failed
// write takes everything: the peer has gone, and its end of input ends the bridge
// or idles it.
size_t write_some(bridge &b, const char *data, size_t len)
{
    size_t off = 0;
    while (off < len) {
        ssize_t w = b.ofd_is_socket
                        ? send(b.cfg->ofd, data + off, len - off, MSG_NOSIGNAL | MSG_DONTWAIT)
                        : write(b.cfg->ofd, data + off, len - off);
        if (w > 0)
            off += static_cast<size_t>(w);
        else if (w < 0 && errno == EINTR)
            continue;
        else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        else
            return len;
    }
    return off;
}

// Sends what room allows of a message that a full output cut short. The rest of a
// message goes out before anything else, so the reader never gets half of one
// followed by another. True once nothing is held.
bool flush_tail(bridge &b)
{
    if (b.ofd_is_pty && (poll_now(b.cfg->ofd, POLLOUT) & POLLHUP)) b.out_tail.clear();
    if (b.out_tail.empty()) return true;
    b.out_tail.erase(0, write_some(b, b.out_tail.data(), b.out_tail.size()));
    if (!b.out_tail.empty()) return false;
    b.out_full = false;
    return true;
}

// Writes one message whole, or as much as the reader takes within
// INOUT_FULL_WAIT_MS; the rest is then held for flush_tail and the output counts
// as full: until the reader takes data again, messages that find no room are
// dropped at once, reported once, instead of being waited for one by one.
void write_out(bridge &b, const char *data, size_t len)
{
    int fd = b.cfg->ofd;
    // Nobody on a pty's slave side: the message would wait there for a later
    // program and, with echo on, come back as a command. It is dropped.
    if (b.ofd_is_pty && (poll_now(fd, POLLOUT) & POLLHUP)) return;
    if (!flush_tail(b)) return;
    size_t off = write_some(b, data, len);
    long long give_up_ms = monotonic_ms() + INOUT_FULL_WAIT_MS;
    while (off < len && !b.out_full && bridge_running(b) && monotonic_ms() < give_up_ms) {
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 100);
        off += write_some(b, data + off, len - off);
    }
    if (off == len) {
        b.out_full = false;
        if (b.cfg->flags & INOUT_DRAIN) tcdrain(fd);
        return;
    }
    if (!bridge_running(b)) return;
    if (off > 0) b.out_tail.assign(data + off, len - off);
    if (!b.out_full)
        fprintf(stderr, "%s: %s not read, dropping messages\n", "inout_thread",
                b.ofd_is_pty ? "pty" : "output");
    b.out_full = true;
}

void receive_from_channel(bridge &b)
{
    for (int i = 0; i < INOUT_SUB_BATCH; i++) {
        // Taken as a zmq message: a message of any size is written whole, never cut
        // to a fixed buffer.
        zmq::message_t msg;
        if (zmq_msg_recv(msg.handle(), b.sub->sock.handle(), ZMQ_DONTWAIT) < 0) return;
        if (msg.size() == 0) continue;
        const char *data = static_cast<const char *>(msg.data());
        if (b.cfg->flags & INOUT_DUMP) traffic_dump(0, 1, data, msg.size());
        write_out(b, data, msg.size());
    }
}

void read_input(bridge &b, int item_index)
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
    // Reported once per stretch of end of input, not on every retry.
    if (!b.at_eof) printf("i=%d socket=%p length=%d\n", item_index, nullptr, static_cast<int>(r));
    b.at_eof = true;
    if (b.cfg->flags & INOUT_STOP_ON_EOF)
        b.keep = false;
    else
        b.input_resume_ms = monotonic_ms() + (b.ifd_is_pty ? INOUT_PTY_IDLE_MS : INOUT_EOF_PAUSE_MS);
}

void run_bridge(bridge &b)
{
    const inout_cfg *cfg = b.cfg;
    bool has_input = cfg->ifd >= 0 && cfg->push[0] != '\0';
    bool has_output = cfg->ofd >= 0 && cfg->sub[0] != '\0';
    if (has_input) {
        b.ifd_is_pty = is_pty_master(cfg->ifd);
        b.push = zmq_owned_open(zmq::socket_type::push);
        if (!b.push) return;
        zmq_connect(b.push->sock.handle(), cfg->push);
    }
    if (has_output) {
        b.sub = zmq_owned_open(zmq::socket_type::sub);
        if (!b.sub) return;
        b.sub->sock.set(zmq::sockopt::rcvhwm, INOUT_SUB_HWM);
        zmq_setsockopt(b.sub->sock.handle(), ZMQ_SUBSCRIBE, "", 0);
        zmq_connect(b.sub->sock.handle(), cfg->sub);
        struct stat st;
        b.ofd_is_socket = fstat(cfg->ofd, &st) == 0 && S_ISSOCK(st.st_mode);
        b.ofd_is_pty = is_pty_master(cfg->ofd);
    }

    while (bridge_running(b)) {
        zmq_pollitem_t items[3];
        int count = 0, input_item = -1, sub_item = -1, tail_item = -1;
        if (has_input && monotonic_ms() >= b.input_resume_ms) {
            items[count] = {nullptr, cfg->ifd, ZMQ_POLLIN, 0};
            input_item = count++;
        }
        if (has_output) {
            items[count] = {b.sub->sock.handle(), 0, ZMQ_POLLIN, 0};
            sub_item = count++;
        }
        if (!b.out_tail.empty()) {
            items[count] = {nullptr, cfg->ofd, ZMQ_POLLOUT, 0};
            tail_item = count++;
        }
        if (zmq_poll_nointr(items, count, 100) <= 0) continue;
        for (int i = 0; i < count; i++) {
            short ev = items[i].revents;
            // A hung-up input (pipe without writer, pty without slave) polls as an
            // error for ever: it is reported once, then read like end of input,
            // which pauses it, instead of a "pollerr" line every second. On a pty
            // master it is no error at all: no program has the slave open.
            bool quiet_hangup = i == tail_item || (i == input_item && (b.at_eof || b.ifd_is_pty));
            if ((ev & ZMQ_POLLERR) && !quiet_hangup) {
                fprintf(stderr, "%s: pollerr\n", "inout_thread");
                sleep_while_running(1000, cfg->run);
            }
            if (i == sub_item && (ev & ZMQ_POLLIN)) receive_from_channel(b);
            if (i == input_item && (ev & (ZMQ_POLLIN | ZMQ_POLLERR))) read_input(b, i);
            if (i == tail_item && ev != 0) flush_tail(b);
        }
    }
    // Held line bytes not yet sent are dropped with the bridge.
}

} // namespace

void *inout_thread(void *arg)
{
    const inout_cfg *cfg = static_cast<const inout_cfg *>(arg);
    if (verbose > 0)
        printf("%s: ifd=%d ofd=%d push=%s sub=%s\n", "inout_thread", cfg->ifd, cfg->ofd, cfg->push,
               cfg->sub);
    try {
        auto b = std::make_unique<bridge>();
        b->cfg = cfg;
        run_bridge(*b);
        b->push.reset(); // PUSH first: its context goes in the order of creation
        b->sub.reset();
    } catch (const std::exception &e) {
        fprintf(stderr, "inout_thread: %s\n", e.what());
    }
    return nullptr;
}
