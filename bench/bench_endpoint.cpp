// Benchmark clients of the daemon's byte-stream endpoints.
#include "bench_endpoint.h"

#include "bench_channel.h"
#include "bench_proc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

int pty_pair_open(std::string *slave_path)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        perror("posix_openpt");
        return -1;
    }
    char name[128];
    if (grantpt(m) < 0 || unlockpt(m) < 0 || ptsname_r(m, name, sizeof name) != 0) {
        perror("grantpt/unlockpt/ptsname_r");
        close(m);
        return -1;
    }
    *slave_path = name;
    return m;
}

int pty_slave_open_raw(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        perror(path.c_str());
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        // Raw: the bytes written reach the master unchanged (no \n to \r\n).
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

static struct sockaddr_in loopback(int port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int tcp_connect_loopback(int port, int timeout_ms)
{
    long long end = bench_now_ns() + timeout_ms * 1000000LL;
    struct sockaddr_in a = loopback(port);
    while (true) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return -1;
        if (connect(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0) {
            // One short line at a time: Nagle would hold each behind the peer's
            // delayed acknowledgement of the previous one.
            int one = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return s;
        }
        int e = errno;
        close(s);
        if (e != ECONNREFUSED || bench_now_ns() > end) return -1;
        usleep(20 * 1000);
    }
}

bool tcp_port_free(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = loopback(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

std::string banner_value(const std::string &out, const std::string &tag)
{
    size_t at = out.find(tag);
    if (at == std::string::npos) return "";
    at += tag.size();
    size_t end = out.find('\n', at);
    return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

static bool write_all(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == ENOTSOCK) w = write(fd, s.data() + off, s.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// Waits for `line` on `sub`. An endpoint without line framing may pass a line in
// pieces; consecutive pieces that spell it count as its arrival.
static bool wait_line(zmq::socket_t &sub, const std::string &line, int timeout_ms)
{
    long long end = bench_now_ns() + timeout_ms * 1000000LL;
    std::string acc, msg;
    while (true) {
        long long left_ms = (end - bench_now_ns()) / 1000000LL;
        if (left_ms <= 0 || !channel_recv(sub, msg, static_cast<int>(left_ms))) return false;
        if (line.compare(0, acc.size() + msg.size(), acc + msg) == 0)
            acc += msg;
        else
            acc.clear(); // a stale message or a probe
        if (acc == line) return true;
    }
}

int endpoint_latency(int fd, const std::string &sub_ep, const std::string &probe_ep, int count,
                     std::vector<double> *us, int *lost, std::string *why)
{
    zmq::context_t ctx;
    zmq::socket_t sub(ctx, zmq::socket_type::sub);
    zmq::socket_t probe(ctx, zmq::socket_type::push);
    sub.set(zmq::sockopt::linger, 0);
    probe.set(zmq::sockopt::linger, 0);
    sub.set(zmq::sockopt::subscribe, "");
    sub.connect(sub_ep);
    probe.connect(probe_ep);
    if (channel_make_live(probe, sub) < 0) {
        *why = "channel not live";
        return -1;
    }

    // The endpoint's own connection to the channel is made in the background, and
    // a pty bridge that saw no slave yet may be pausing: send warm-up lines until
    // one gets through.
    bool through = false;
    std::string msg;
    long long end = bench_now_ns() + 3000 * 1000000LL;
    for (int i = 0; !through && bench_now_ns() < end; i++) {
        char line[32];
        snprintf(line, sizeof line, "W%06d warm-up\n", i);
        if (!write_all(fd, line)) {
            *why = std::string("write: ") + strerror(errno);
            return -1;
        }
        while (channel_recv(sub, msg, 50))
            if (msg.rfind("W", 0) == 0) through = true;
    }
    if (!through) {
        *why = "no line reached the command channel";
        return -1;
    }
    while (channel_recv(sub, msg, 100)) {
    }

    for (int i = 0; i < count; i++) {
        char line[32];
        snprintf(line, sizeof line, "E%06d endpoint line\n", i);
        long long t0 = bench_now_ns();
        if (!write_all(fd, line)) {
            *why = std::string("write: ") + strerror(errno);
            return -1;
        }
        if (wait_line(sub, line, 1000))
            us->push_back((bench_now_ns() - t0) / 1000.0);
        else
            (*lost)++;
    }
    return 0;
}
