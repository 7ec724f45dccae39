// Benchmark clients of the byte-stream endpoints, and the socat relay.
//
// DESIGN of the relay. In the daemon a line written to a pty travels: pty ->
// the pty bridge (one thread: read, frame, publish) -> ZeroMQ's I/O thread (one
// thread: write to each subscriber) -> TCP -> a subscriber. The relay does the
// same work with two socat processes, each one hop:
//
//   pty -> socat (hop 1) -> TCP -> socat (hop 2) -> TCP -> reader
//
// Hop 1 stands for the bridge: it holds the pty (socat's PTY address, raw, no
// echo) or accepts the TCP connection, and relays what it reads to hop 2. Hop 2
// stands for the publisher: it accepts hop 1 on one port and the reader on
// another, and relays between them as the publisher writes to a subscriber.
// Every relaying socket has TCP_NODELAY, as ZeroMQ's TCP connections have, so
// that Nagle never holds a line back. What the relay does not do, the daemon
// does on top: frame lines, let any number of producers and subscribers share
// the channel, drop for a slow subscriber instead of stalling. The reader is a
// plain TCP socket; a channel subscriber is a ZeroMQ SUB, whose own I/O thread is
// one more hop inside the subscribing program, counted in the daemon's figure.
#include "bench_endpoint.h"

#include "bench_stats.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// How long a relay or an endpoint gets to carry the first line (ms): the paths
// are set up in the background (connects, subscriptions, socat's retries).
static const int SETUP_MS = 3000;

// A timed line that has not come within this long (ms) counts as lost.
static const int LINE_TIMEOUT_MS = 1000;

chunk_source chunks_of(channel_sub &sub)
{
    return [&sub](std::string &chunk, int timeout_ms) { return sub.recv(chunk, timeout_ms); };
}

chunk_source chunks_of(int fd)
{
    return [fd](std::string &chunk, int timeout_ms) {
        struct pollfd p = {fd, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        chunk.assign(buf, static_cast<size_t>(n));
        return true;
    };
}

static bool write_all(int fd, const std::string &s)
{
    for (size_t off = 0; off < s.size();) {
        ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) w = write(fd, s.data() + off, s.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// Waits until `line` is in what `from` hands over; anything before it (a stale
// line, a piece of one) is passed over. `pending` keeps what came after it.
static bool wait_line(const chunk_source &from, std::string &pending, const std::string &line,
                      int timeout_ms)
{
    long long end = bench_now_ns() + timeout_ms * 1000000LL;
    for (std::string chunk;;) {
        size_t at = pending.find(line);
        if (at != std::string::npos) {
            pending.erase(0, at + line.size());
            return true;
        }
        // Only the tail can still be the start of the line.
        if (pending.size() > line.size()) pending.erase(0, pending.size() - line.size());
        long long left_ms = (end - bench_now_ns()) / 1000000LL;
        if (left_ms <= 0 || !from(chunk, static_cast<int>(left_ms))) return false;
        pending += chunk;
    }
}

// Wake-ups and CPU time (ns) of `pids` together; false when /proc does not say.
static bool relay_sched(const std::vector<pid_t> &pids, proc_sched *sum)
{
    sum->wakeups = sum->cpu_ns = 0;
    for (pid_t pid : pids) {
        proc_sched s;
        if (proc_sched_read(pid, &s) != 0) return false;
        sum->wakeups += s.wakeups;
        sum->cpu_ns += s.cpu_ns;
    }
    return true;
}

int line_latency(int fd, const chunk_source &from, const std::vector<pid_t> &relay, int count,
                 line_result *r, std::string *why)
{
    std::string pending, chunk;
    bool through = false;
    for (long long end = bench_now_ns() + SETUP_MS * 1000000LL; !through && bench_now_ns() < end;) {
        if (!write_all(fd, "W warm-up\n")) {
            *why = std::string("write: ") + strerror(errno);
            return -1;
        }
        through = wait_line(from, pending, "W warm-up\n", 50);
    }
    if (!through) {
        *why = "no line came through";
        return -1;
    }
    while (from(chunk, 100)) {
    }
    pending.clear();
    proc_sched s0, s1;
    bool counted = relay_sched(relay, &s0);
    for (int i = 0; i < count; i++) {
        char line[32];
        snprintf(line, sizeof line, "E%06d endpoint line\n", i);
        long long t0 = bench_now_ns();
        if (!write_all(fd, line)) {
            *why = std::string("write: ") + strerror(errno);
            return -1;
        }
        if (wait_line(from, pending, line, LINE_TIMEOUT_MS))
            r->us.push_back((bench_now_ns() - t0) / 1000.0);
        else
            r->lost++;
    }
    if (counted && relay_sched(relay, &s1) && count > 0) {
        r->wakeups = static_cast<double>(s1.wakeups - s0.wakeups) / count;
        r->cpu_us = (s1.cpu_ns - s0.cpu_ns) / 1000.0 / count;
    }
    return 0;
}

socat_relay::~socat_relay()
{
    if (reader >= 0) close(reader);
    if (writer >= 0) close(writer);
    daemon_stop(hop1, SIGTERM, 2000);
    daemon_stop(hop2, SIGTERM, 2000);
}

static bool socat_start(daemon_proc &p, const std::vector<std::string> &args,
                        const std::string &dir)
{
    daemon_start_opts opts;
    opts.binary = "socat";
    opts.wait_ready = false;
    opts.make_tmp_dir = false;
    opts.dir = dir;
    daemon_start(p, args, opts);
    return p.pid > 0;
}

// Connects to a socat that is about to listen on `port`.
static int connect_when_listening(int port)
{
    int fd = -1;
    wait_until([&] { return (fd = lo_connect(port)) >= 0; }, SETUP_MS);
    int one = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool relay_start(socat_relay &r, relay_kind kind, std::string *why)
{
    std::string dir = temp_dir();
    std::string listen = ",bind=127.0.0.1,reuseaddr,nodelay";
    int out_port = lo_free_port(), mid_port = lo_free_port(), in_port = lo_free_port();
    while (mid_port == out_port) mid_port = lo_free_port();
    while (in_port == out_port || in_port == mid_port) in_port = lo_free_port();
    // Hop 2 takes the reader first, then waits for hop 1: socat opens its two
    // addresses in turn.
    if (!socat_start(r.hop2,
                     {"TCP-LISTEN:" + std::to_string(out_port) + listen,
                      "TCP-LISTEN:" + std::to_string(mid_port) + listen},
                     dir)) {
        *why = "socat did not start (scripts/setup.sh bench installs it)";
        return false;
    }
    r.reader = connect_when_listening(out_port);
    // Hop 1 retries its connect until hop 2 listens.
    std::string to_hop2 =
        "TCP:127.0.0.1:" + std::to_string(mid_port) + ",nodelay,retry=300,interval=0.01";
    if (kind == RELAY_PTY) {
        std::string link = dir + "/relay-pty";
        socat_start(r.hop1, {"PTY,link=" + link + ",raw,echo=0", to_hop2}, dir);
        struct stat st;
        if (wait_until([&] { return stat(link.c_str(), &st) == 0; }, SETUP_MS))
            r.writer = open_raw(link);
    } else {
        socat_start(r.hop1, {"TCP-LISTEN:" + std::to_string(in_port) + listen, to_hop2}, dir);
        r.writer = connect_when_listening(in_port);
    }
    if (r.reader < 0 || r.writer < 0) {
        *why = "relay not set up; socat said: " + daemon_stderr(r.hop1) + daemon_stderr(r.hop2);
        return false;
    }
    return true;
}
