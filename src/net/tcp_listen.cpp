// TCP listener and thread launcher.
//
// DESIGN: tcp_listen binds the port before it returns, so the port accepts
// connections as soon as the caller says so; a port that cannot be bound is
// reported there and gets no thread. The listener thread then owns the socket and
// sleeps in one poll over it and two stop flags (the daemon's and its own, raised
// by tcp_listen_stop), so it ends at once without thread cancellation, which
// would unwind C++ frames at arbitrary points. Each accepted connection gets a
// record of its own and a detached thread that runs the handler, closes the
// descriptor and frees the record. Only shutdown waits for them (tcp_conn_wait),
// so that no handler is left using the daemon's globals while exit destroys them.
#include "net/tcp_listen.h"

#include "base/clock.h"
#include "base/settings.h"
#include "base/stop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

struct tcp_listener {
    tcp_conn conn;               // handler, port and live count; copied whole for every connection
    int fd;                      // the listening socket, closed by the listener thread
    const char *what;            // "console", "server": names the port in refusals
    const std::atomic<int> *cap; // connections served at once at most
    stop_flag stop;              // raised by tcp_listen_stop
    pthread_t thread;            // the listener, joined by tcp_listen_stop
};

// How long (ms) the listener waits before accepting again after accept failed
// for want of descriptors or memory: the pending connection keeps the socket
// readable, so retrying at once would spin.
static const long ACCEPT_RETRY_MS = 100;

// Every thread's stack (bytes). The daemon's threads keep their buffers on the
// heap and need little; set explicitly because C libraries differ tenfold in
// their default (musl 128 KiB, glibc 8 MiB of address space), and on the board
// each thread's stack counts. Sanitizers inflate every frame.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
static const size_t THREAD_STACK_SIZE = 1024 * 1024;
#else
static const size_t THREAD_STACK_SIZE = 256 * 1024;
#endif

static void *tcp_conn_thread(void *arg);

// Connection threads started and not yet ended, for shutdown.
static std::mutex conn_lock;
static std::condition_variable conn_ended;
static int conn_live = 0; // guarded by conn_lock

namespace {

struct fd_owner {
    int fd;
    explicit fd_owner(int f) : fd(f) {}
    ~fd_owner()
    {
        if (fd >= 0) close(fd);
    }
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
};

int listen_socket(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    fd_owner owner(fd);
    int one = 1;
    // A restarted daemon binds its port again at once, even while connections of
    // the previous run are in TIME_WAIT.
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        perror("setsockopt");
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind_address[0] && inet_pton(AF_INET, bind_address, &addr.sin_addr) != 1) {
        fprintf(stderr, "%s: not an IPv4 address\n", tcp_listen_endpoint(port).c_str());
        return -1;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        int err = errno;
        perror("bind");
        fprintf(stderr, "%s: %s\n", tcp_listen_endpoint(port).c_str(), strerror(err));
        return -1;
    }
    if (listen(fd, TCP_LISTEN_BACKLOG) < 0) {
        perror("listen");
        return -1;
    }
    owner.fd = -1;
    return fd;
}

// Turns a connection beyond the cap away with one line, without a thread.
void refuse(tcp_listener *l, int cfd, const char *name, bool *refusing)
{
    std::string why = std::string("  Too many ") + l->what + " connections (limit " +
                      std::to_string(l->cap->load()) + ")\n";
    (void)!send(cfd, why.data(), why.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(cfd);
    // Said once while the limit holds, not for every connection of a flood.
    if (!*refusing)
        fprintf(stderr, "%s connection from %s refused: limit of %d reached\n", l->what, name,
                l->cap->load());
    *refusing = true;
}

// Hands one accepted connection to a thread of its own. Returns -1 when the
// listener has to end (no memory for the record).
int serve_connection(tcp_listener *l, int cfd, const struct sockaddr_in &peer, bool *refusing)
{
    char ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip) == nullptr) ip[0] = '\0';
    char name[TCP_CONN_NAME_SIZE];
    snprintf(name, sizeof name, "%s:%d", ip, ntohs(peer.sin_port));
    printf("Connection from ip: %s\n", name);
    if (*l->conn.live >= *l->cap) {
        refuse(l, cfd, name, refusing);
        return 0;
    }
    *refusing = false;
    tcp_conn *c = new (std::nothrow) tcp_conn(l->conn);
    if (c == nullptr) {
        close(cfd);
        errno = ENOMEM;
        perror("malloc");
        return -1;
    }
    c->fd = cfd;
    memcpy(c->name, name, sizeof name);
    ++*c->live;
    {
        std::lock_guard<std::mutex> lock(conn_lock);
        conn_live++;
    }
    if (threadify(tcp_conn_thread, c, 1, nullptr) < 0) {
        --*c->live;
        std::lock_guard<std::mutex> lock(conn_lock);
        conn_live--;
        // Nobody would ever serve it: close it so that the peer sees the end
        // instead of a connection that hangs.
        close(cfd);
        delete c;
    }
    return 0;
}

void *tcp_listen_thread(void *arg)
{
    tcp_listener *l = static_cast<tcp_listener *>(arg);
    fd_owner owner(l->fd);
    bool failing = false;  // reported once per stretch of accept failures
    bool refusing = false; // reported once per stretch of refused connections
    while (running.on && l->stop.on) {
        struct pollfd p[3] = {{l->fd, POLLIN, 0}, {running.fd, POLLIN, 0}, {l->stop.fd, POLLIN, 0}};
        if (poll(p, 3, -1) <= 0 || !(p[0].revents & POLLIN)) continue;
        struct sockaddr_in peer;
        socklen_t len = sizeof peer;
        memset(&peer, 0, sizeof peer);
        int cfd = accept4(l->fd, reinterpret_cast<struct sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (cfd < 0) {
            // A connection reset while queued, or a signal: nothing to wait for.
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            if (!failing) perror("accept");
            failing = true;
            clock_sleep(ACCEPT_RETRY_MS, &l->stop);
            continue;
        }
        failing = false;
        // Ends when no memory is left for a connection; the record is freed by
        // tcp_listen_stop either way.
        if (serve_connection(l, cfd, peer, &refusing) < 0) break;
    }
    return nullptr;
}

} // namespace

int threadify(void *(*fn)(void *), void *arg, int detach, pthread_t *thread)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, detach ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    pthread_attr_setstacksize(&attr, THREAD_STACK_SIZE);
    // A new thread inherits the creator's mask; the stop signals are kept for
    // the main thread even when the creator is the main thread itself.
    sigset_t old;
    stop_signals_mask(SIG_BLOCK, &old);
    pthread_t t;
    int rc = pthread_create(&t, &attr, fn, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        fprintf(stderr, "%s(): pthread_create() failed\n", "threadify");
        return -1;
    }
    if (thread != nullptr) *thread = t;
    return 0;
}

tcp_listener *tcp_listen(tcp_handler handler, int port, const char *what,
                         const std::atomic<int> *cap)
{
    tcp_listener *l = new (std::nothrow) tcp_listener;
    if (l == nullptr) {
        errno = ENOMEM;
        perror("malloc");
        return nullptr;
    }
    l->conn.handler = handler;
    l->conn.port = port;
    l->conn.fd = -1;
    l->conn.name[0] = '\0';
    l->conn.live = std::make_shared<std::atomic<int>>(0);
    l->what = what;
    l->cap = cap;
    l->fd = listen_socket(port);
    if (l->fd < 0 || stop_flag_open(&l->stop) < 0 ||
        threadify(tcp_listen_thread, l, 0, &l->thread) < 0) {
        if (l->fd >= 0) close(l->fd);
        stop_flag_close(&l->stop);
        delete l;
        return nullptr;
    }
    return l;
}

void tcp_listen_stop(tcp_listener *listener)
{
    if (listener == nullptr) return;
    stop_flag_raise(&listener->stop);
    pthread_join(listener->thread, nullptr);
    stop_flag_close(&listener->stop);
    delete listener;
}

// Runs the handler, then closes the descriptor and frees the record.
static void *tcp_conn_thread(void *arg)
{
    tcp_conn *c = static_cast<tcp_conn *>(arg);
    try {
        c->handler(c->fd, c->name);
    } catch (const std::exception &e) {
        fprintf(stderr, "tcp_conn_thread: %s\n", e.what());
    }
    close(c->fd);
    --*c->live;
    delete c;
    std::lock_guard<std::mutex> lock(conn_lock);
    if (--conn_live == 0) conn_ended.notify_all();
    return nullptr;
}

int tcp_conn_wait(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(conn_lock);
    conn_ended.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return conn_live == 0; });
    return conn_live;
}

int tcp_connect(const char *ip, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int rc = inet_pton(AF_INET, ip, &addr.sin_addr);
    if (rc != 1) {
        // inet_pton leaves errno alone for a malformed text.
        int err = rc == 0 ? EINVAL : errno;
        close(fd);
        errno = err;
        perror("inet_pton");
        return -1;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        int err = errno;
        close(fd);
        fprintf(stderr, "Unable to connect to %s:%d: %s\n", ip, port, strerror(err));
        return -1;
    }
    return fd;
}
