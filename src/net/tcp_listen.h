// TCP listener and thread launcher: serves a connection handler on an IPv4 port
// with one detached thread per connection, and starts every thread of the daemon.
#pragma once

#include <atomic>
#include <memory>
#include <pthread.h>

constexpr int TCP_CONN_NAME_SIZE = 50; // "%s:%d" of the peer; the longest IPv4 one has 21
constexpr int TCP_LISTEN_BACKLOG = 10;

// Called with a connected descriptor and the peer's "%s:%d" name (valid until it
// returns). It must not close the descriptor: the connection thread does that.
typedef int (*tcp_handler)(int fd, const char *name);

// One record type serves the listener and, as a whole copy, each connection.
struct tcp_conn {
    tcp_handler handler;           // run for every accepted connection
    int port;                      // listening port, host byte order
    int fd;                        // the accepted connection (not set for the listener)
    char name[TCP_CONN_NAME_SIZE]; // the peer as "%s:%d", NUL-terminated
    // Connections of this listener being served; shared with the connection
    // threads, which may outlive the listener.
    std::shared_ptr<std::atomic<int>> live;
};

// A running listener, kept by its starter to stop it.
struct tcp_listener;

// Starts `fn(arg)` joinable (detach 0) or detached (detach 1) with SIGINT and
// SIGTERM blocked, so only the main thread takes them; the caller's mask is kept.
// Returns 0 with the handle in *thread (may be null), or -1 after a message.
int threadify(void *(*fn)(void *), void *arg, int detach, pthread_t *thread);

// Binds `port` (on --bind's address) and serves `handler` on it from a new
// listener thread. A connection beyond `*cap` served at once is refused with one
// line saying so; `what` names the port in that line ("console", "server").
// Returns the listener, or null after a message (the port is then not served).
tcp_listener *tcp_listen(tcp_handler handler, int port, const char *what,
                         const std::atomic<int> *cap);

// Ends the listener at once, joins it and frees it; the listening socket is
// closed. Connections already accepted go on. Null is a no-op.
void tcp_listen_stop(tcp_listener *listener);

// Waits up to `timeout_ms` for every connection thread to end. Returns how many
// are still running (0 when all have ended).
int tcp_conn_wait(int timeout_ms);

// Kept on purpose, part of the listener's interface; the daemon connects its
// links without blocking instead. A blocking IPv4 connect: returns the connected
// descriptor, or -1 after a message.
int tcp_connect(const char *ip, int port);
