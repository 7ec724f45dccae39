// vexlon-cat: sends to and watches a channel of vexlond from a shell, for boards
// that have no scripting language to drive a ZeroMQ client.
//
// DESIGN: ZeroMQ connects in the background and queues whatever it is given, so
// a client that just connected and sent would report success with no daemon at
// all, and a subscriber would miss what passes before its subscription arrives.
// Both commands therefore watch their socket's events (zmq_socket_monitor) and
// go on only once the ZeroMQ handshake with the daemon has succeeded, within the
// time-out; past it they report that nothing answers.
// - send: ZMQ_IMMEDIATE keeps messages off connections that are not complete, a
//   message that waits longer than the time-out fails, and the context's end
//   waits (linger, bounded by the time-out) until the queue has left.
// - watch: the subscription is the first thing the SUB writes after the
//   handshake, and the daemon applies it once it has read it. That moment cannot
//   be seen from here (the daemon's PUB is no XPUB that would say so), so watch
//   waits once more as long as the handshake took (several round trips, where
//   the subscription needs half of one) plus a margin for a busy daemon, and
//   only then says it is ready. A probe message sent round through the channel
//   would prove it, but every other subscriber of the bus, the serial port
//   included, would receive the probe.
#include "base/clock.h"
#include "base/stop.h"
#include "cat/cat_args.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>
#include <zmq.hpp>

namespace {

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// After the handshake, before watch says it is ready: the daemon's I/O thread
// passes the subscription to its PUB within this margin (ms) even when busy.
const long long WATCH_SETTLE_MS = 50;

const char MONITOR_ENDPOINT[] = "inproc://vexlon-cat-events";

stop_flag stop; // dropped by SIGINT or SIGTERM; watch polls its descriptor

void on_stop_signal(int)
{
    stop_flag_raise(&stop);
}

// A socket connected to one port of a channel, and the PAIR on which its
// connection events arrive.
struct channel_conn {
    zmq::context_t ctx;
    zmq::socket_t sock;
    zmq::socket_t events;
    std::string endpoint; // "tcp://<host>:<port>", as messages name it
    bool lost = false;    // the connection went down after it was made
};

// Creates the socket, lets `setup` set its options, starts watching its events
// and connects it. Returns 0, or -1 (reported).
int conn_open(channel_conn &c, zmq::socket_type type, const cat_args &a,
              void (*setup)(zmq::socket_t &, const cat_args &))
{
    c.endpoint = cat_endpoint(a);
    c.sock = zmq::socket_t(c.ctx, type);
    setup(c.sock, a);
    if (zmq_socket_monitor(c.sock.handle(), MONITOR_ENDPOINT,
                           ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED |
                               ZMQ_EVENT_HANDSHAKE_SUCCEEDED) < 0) {
        fprintf(stderr, "vexlon-cat: zmq_socket_monitor: %s\n", zmq_strerror(zmq_errno()));
        return -1;
    }
    c.events = zmq::socket_t(c.ctx, zmq::socket_type::pair);
    c.events.set(zmq::sockopt::linger, 0);
    c.events.connect(MONITOR_ENDPOINT);
    if (zmq_connect(c.sock.handle(), c.endpoint.c_str()) < 0) {
        fprintf(stderr, "vexlon-cat: %s: %s\n", c.endpoint.c_str(), zmq_strerror(zmq_errno()));
        return -1;
    }
    return 0;
}

// The next connection event without waiting (ZMQ_EVENT_*), or 0 when none.
int conn_event(channel_conn &c)
{
    zmq::message_t head, rest;
    if (zmq_msg_recv(head.handle(), c.events.handle(), ZMQ_DONTWAIT) < 0) return 0;
    uint16_t event = 0; // a 16-bit event number, then a 32-bit value, then the address
    if (head.size() >= sizeof event) memcpy(&event, head.data(), sizeof event);
    while (head.more() && zmq_msg_recv(rest.handle(), c.events.handle(), ZMQ_DONTWAIT) >= 0 &&
           rest.more()) {
    }
    return event;
}

// zmq_poll over the socket, its events and the stop descriptor; a signal counts
// as nothing ready. The poll's result.
int conn_poll(channel_conn &c, zmq_pollitem_t (&items)[3], long timeout_ms)
{
    items[0] = {c.sock.handle(), 0, ZMQ_POLLIN, 0};
    items[1] = {c.events.handle(), 0, ZMQ_POLLIN, 0};
    items[2] = {nullptr, stop.fd, ZMQ_POLLIN, 0};
    int rc = zmq_poll(items, stop.fd >= 0 ? 3 : 2, timeout_ms);
    return rc < 0 && zmq_errno() == EINTR ? 0 : rc;
}

// Waits for the ZeroMQ handshake with the daemon, at most `timeout_ms`.
// Returns the time the handshake took after the TCP connection was made (ms,
// 0 or more), -1 when the time ran out (reported), -2 when stopped by a signal.
long long conn_await(channel_conn &c, int timeout_ms)
{
    long long end = monotonic_ms() + timeout_ms, connected_at = -1;
    for (long long left; (left = end - monotonic_ms()) > 0;) {
        zmq_pollitem_t items[3];
        if (conn_poll(c, items, static_cast<long>(left)) < 0) {
            fprintf(stderr, "vexlon-cat: zmq_poll: %s\n", zmq_strerror(zmq_errno()));
            return -1;
        }
        if (!stop.on) return -2;
        for (int ev; (ev = conn_event(c)) != 0;) {
            if (ev == ZMQ_EVENT_CONNECTED) connected_at = monotonic_ms();
            if (ev == ZMQ_EVENT_HANDSHAKE_SUCCEEDED)
                return connected_at < 0 ? 0 : monotonic_ms() - connected_at;
        }
    }
    // A peer that took the connection but never completed a handshake is no
    // ZeroMQ socket of the right kind: most likely a wrong port.
    fprintf(stderr, "vexlon-cat: %s: nothing answers (%s within %d ms)\n", c.endpoint.c_str(),
            connected_at < 0 ? "no connection" : "connected, but no ZeroMQ handshake", timeout_ms);
    return -1;
}

// Reports a lost and a regained connection while watching.
void conn_note_events(channel_conn &c)
{
    for (int ev; (ev = conn_event(c)) != 0;) {
        if (ev == ZMQ_EVENT_DISCONNECTED && !c.lost)
            fprintf(stderr, "vexlon-cat: %s: connection lost, reconnecting\n", c.endpoint.c_str());
        else if (ev == ZMQ_EVENT_HANDSHAKE_SUCCEEDED && c.lost)
            fprintf(stderr, "vexlon-cat: %s: connected again\n", c.endpoint.c_str());
        if (ev == ZMQ_EVENT_DISCONNECTED) c.lost = true;
        if (ev == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) c.lost = false;
    }
}

void push_setup(zmq::socket_t &s, const cat_args &a)
{
    s.set(zmq::sockopt::immediate, 1);
    s.set(zmq::sockopt::sndtimeo, a.timeout_ms);
    s.set(zmq::sockopt::linger, a.timeout_ms);
}

void sub_setup(zmq::socket_t &s, const cat_args &)
{
    s.set(zmq::sockopt::linger, 0);
    s.set(zmq::sockopt::subscribe, "");
}

// Pushes one message, waiting at most the time-out for room. 0, or -1 (reported).
int send_message(channel_conn &c, const std::string &msg, int timeout_ms)
{
    int rc;
    while ((rc = zmq_send(c.sock.handle(), msg.data(), msg.size(), 0)) < 0 &&
           zmq_errno() == EINTR) {
    }
    if (rc >= 0) return 0;
    if (zmq_errno() == EAGAIN)
        fprintf(stderr, "vexlon-cat: %s: nothing answers (a message waited %d ms)\n",
                c.endpoint.c_str(), timeout_ms);
    else
        fprintf(stderr, "vexlon-cat: %s: %s\n", c.endpoint.c_str(), zmq_strerror(zmq_errno()));
    return -1;
}

// Pushes the TEXTs, or the lines of standard input. 0, or -1 (reported).
int push_all(channel_conn &c, const cat_args &a)
{
    for (const std::string &text : a.texts)
        if (send_message(c, text + "\n", a.timeout_ms) < 0) return -1;
    if (!a.texts.empty()) return 0;
    // Each line goes out as soon as it is read, so a pipe that stays open
    // (tail -f) streams.
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!std::cin.eof()) line += '\n'; // a last line without one is sent as is
        if (send_message(c, line, a.timeout_ms) < 0) return -1;
    }
    if (!std::cin.bad()) return 0;
    fprintf(stderr, "vexlon-cat: standard input: read error\n");
    return -1;
}

int cat_send(const cat_args &a)
{
    channel_conn c;
    if (conn_open(c, zmq::socket_type::push, a, push_setup) < 0 || conn_await(c, a.timeout_ms) < 0)
        return EXIT_FAILED;
    if (push_all(c, a) < 0) {
        // Reported already: what is still queued need not hold up the exit.
        c.sock.set(zmq::sockopt::linger, 0);
        return EXIT_FAILED;
    }
    // The context's end waits for the queue to leave for at most the linger
    // time: taking all of it means messages were still queued when it gave up.
    c.events.close();
    c.sock.close();
    long long start = monotonic_ms();
    c.ctx.close();
    if (monotonic_ms() - start >= a.timeout_ms) {
        fprintf(stderr, "vexlon-cat: %s: messages may not have left (still queued after %d ms)\n",
                c.endpoint.c_str(), a.timeout_ms);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

// Writes all of a message part to standard output. 0, or -1 (reported).
int print_part(const zmq::message_t &part)
{
    const char *p = static_cast<const char *>(part.data());
    for (size_t left = part.size(); left > 0;) {
        ssize_t n = write(1, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            perror("vexlon-cat: standard output");
            return -1;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

// Prints what has arrived, at most `limit` whole messages (0: no limit).
// Returns the number of whole messages printed, or -1.
int print_waiting(channel_conn &c, int limit)
{
    int whole = 0;
    for (zmq::message_t part; (limit == 0 || whole < limit) &&
                              zmq_msg_recv(part.handle(), c.sock.handle(), ZMQ_DONTWAIT) >= 0;) {
        if (print_part(part) < 0) return -1;
        if (!part.more()) whole++;
    }
    return whole;
}

// Prints the channel's messages until `deadline` (ms on monotonic_ms's clock; -1:
// none), a signal or a.count messages in all (0: no limit). Returns 1 when done
// or stopped, 0 at the deadline, -1 on a failure (reported).
int watch_until(channel_conn &c, const cat_args &a, long long deadline, int *printed)
{
    for (;;) {
        long timeout = -1;
        if (deadline >= 0) {
            long long left = deadline - monotonic_ms();
            if (left <= 0) return 0;
            timeout = static_cast<long>(left);
        }
        zmq_pollitem_t items[3];
        if (conn_poll(c, items, timeout) < 0) {
            fprintf(stderr, "vexlon-cat: zmq_poll: %s\n", zmq_strerror(zmq_errno()));
            return -1;
        }
        if (!stop.on) return 1;
        int n = print_waiting(c, a.count > 0 ? a.count - *printed : 0);
        if (n < 0) return -1;
        *printed += n;
        if (a.count > 0 && *printed >= a.count) return 1;
        conn_note_events(c);
    }
}

int cat_watch(const cat_args &a)
{
    // ZeroMQ's own threads start with the first socket: they must not take the
    // stop signals, whose handler wakes this thread's poll through `stop`.
    sigset_t old;
    stop_signals_mask(SIG_BLOCK, &old);
    channel_conn c;
    int opened = conn_open(c, zmq::socket_type::sub, a, sub_setup);
    if (opened == 0 && stop_flag_open(&stop) == 0) {
        struct sigaction sa = {};
        sa.sa_handler = on_stop_signal;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (opened < 0) return EXIT_FAILED;

    long long took = conn_await(c, a.timeout_ms);
    if (took == -2) return EXIT_OK;
    if (took < 0) return EXIT_FAILED;
    int printed = 0;
    int rc = watch_until(c, a, monotonic_ms() + took + WATCH_SETTLE_MS, &printed);
    if (rc < 0) return EXIT_FAILED;
    if (!stop.on) return EXIT_OK;
    // Said even when --count was reached while settling: a script waits for it.
    fprintf(stderr, "vexlon-cat: watching %s on %s\n", cat_channel_name(a.channel),
            c.endpoint.c_str());
    if (rc == 0) rc = watch_until(c, a, -1, &printed);
    return rc < 0 ? EXIT_FAILED : EXIT_OK;
}

} // namespace

int main(int argc, char **argv)
{
    cat_args a;
    std::string error;
    if (cat_parse(std::vector<std::string>(argv + 1, argv + argc), &a, &error) < 0) {
        fprintf(stderr, "vexlon-cat: %s\nTry 'vexlon-cat --help'.\n", error.c_str());
        return EXIT_USAGE;
    }
    if (a.help) {
        fputs(cat_usage().c_str(), stdout);
        return EXIT_OK;
    }
    try {
        return a.mode == CAT_SEND ? cat_send(a) : cat_watch(a);
    } catch (const zmq::error_t &e) {
        fprintf(stderr, "vexlon-cat: %s\n", e.what());
        return EXIT_FAILED;
    }
}
