// TCP listener and thread launcher.
//
// DESIGN: tcp_listen binds the port before it returns, so the port accepts
// connections as soon as the caller says so; a port that cannot be bound is
// reported there and gets no thread. The listener thread then owns the socket and
// waits for connections in 100 ms polls, so that tcp_listen_stop ends it promptly
// through a flag (no thread cancellation, which would unwind C++ frames at
// arbitrary points). Each
// accepted connection gets a record of its own and a detached thread that runs
// the handler, closes the descriptor and frees the record. Only shutdown waits
// for them (tcp_conn_wait), so that no handler is left using the daemon's
// globals while exit destroys them.
#include "net/tcp_listen.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct tcp_listener {
    tcp_conn conn;            // handler and port; copied whole for every connection
    int fd;                   // the listening socket, closed by the listener thread
    std::atomic<int> stop{0}; // set by tcp_listen_stop; read by the listener thread
    pthread_t thread;         // the listener, joined by tcp_listen_stop
};

// How long (ms) the listener waits before accepting again after accept failed
// for want of descriptors or memory: the pending connection keeps the socket
// readable, so retrying at once would spin.
static const long ACCEPT_RETRY_MS = 100;

// Connection threads started and not yet ended. An atomic rather than a lock and
// a condition: a thread still running at exit must find nothing destroyed.
static std::atomic<int> conn_live{0};

namespace
{

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

void pause_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

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
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        perror("bind");
        return -1;
    }
    if (listen(fd, TCP_LISTEN_BACKLOG) < 0) {
        perror("listen");
        return -1;
    }
    owner.fd = -1;
    return fd;
}

// Hands one accepted connection to a thread of its own. Returns -1 when the
// listener has to end (no memory for the record).
int serve_connection(const tcp_listener *l, int cfd, const struct sockaddr_in &peer)
{
    tcp_conn *c = new (std::nothrow) tcp_conn(l->conn);
    if (c == nullptr) {
        close(cfd);
        errno = ENOMEM;
        perror("malloc");
        return -1;
    }
    c->fd = cfd;
    char ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip) == nullptr) ip[0] = '\0';
    snprintf(c->name, sizeof c->name, "%s:%d", ip, ntohs(peer.sin_port));
    printf("Connection from ip: %s\n", c->name);
    conn_live++;
    if (threadify(tcp_conn_thread, c, 1, nullptr) < 0) {
        conn_live--;
        // Nobody would ever serve it: close it so that the peer sees the end
        // instead of a connection that hangs.
        close(cfd);
        delete c;
    }
    return 0;
}

void accept_loop(tcp_listener *l, int lfd)
{
    bool failing = false; // reported once per stretch of accept failures
    while (!l->stop) {
        struct pollfd p = {lfd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        struct sockaddr_in peer;
        socklen_t len = sizeof peer;
        memset(&peer, 0, sizeof peer);
        int cfd = accept4(lfd, reinterpret_cast<struct sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (cfd < 0) {
            // A connection reset while queued, or a signal: nothing to wait for.
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            if (!failing) perror("accept");
            failing = true;
            pause_ms(ACCEPT_RETRY_MS);
            continue;
        }
        failing = false;
        if (serve_connection(l, cfd, peer) < 0) return;
    }
}

} // namespace

int threadify(void *(*fn)(void *), void *arg, int detach, pthread_t *thread)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, detach ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    // A new thread inherits the creator's mask; the stop signals are kept for
    // the main thread even when the creator is the main thread itself.
    sigset_t stop_signals, old;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &old);
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

tcp_listener *tcp_listen(tcp_handler handler, int port)
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
    l->fd = listen_socket(port);
    if (l->fd < 0 || threadify(tcp_listen_thread, l, 0, &l->thread) < 0) {
        if (l->fd >= 0) close(l->fd);
        delete l;
        return nullptr;
    }
    return l;
}

void tcp_listen_stop(tcp_listener *listener)
{
    if (listener == nullptr) return;
    listener->stop = 1;
    pthread_join(listener->thread, nullptr);
    delete listener;
}

void *tcp_listen_thread(void *arg)
{
    tcp_listener *l = static_cast<tcp_listener *>(arg);
    fd_owner owner(l->fd);
    // Ends when stopped, or when no memory is left for a connection; the record
    // is freed by tcp_listen_stop either way.
    accept_loop(l, l->fd);
    return nullptr;
}

void *tcp_conn_thread(void *arg)
{
    tcp_conn *c = static_cast<tcp_conn *>(arg);
    try {
        c->handler(c->fd, c->name);
    } catch (const std::exception &e) {
        fprintf(stderr, "tcp_conn_thread: %s\n", e.what());
    }
    close(c->fd);
    delete c;
    conn_live--;
    return nullptr;
}

int tcp_conn_wait(int timeout_ms)
{
    for (long waited = 0; conn_live > 0 && waited < timeout_ms; waited += 10)
        pause_ms(10);
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
