// Peer links: server connections and outgoing links to other daemons.
//
// DESIGN: the list `tcp_clients` is shared by the start-up thread, shutdown and
// every console connection, so every walk or change of it holds
// `tcp_clients_lock`. Removal unlinks a record under the lock and waits for its
// thread outside it: a slow join never blocks `list`, `save` or another removal,
// and a second removal of the same link simply no longer finds it. Link threads
// never touch the list; each owns its socket and uses only its own record.
#include "net/tcp_client.h"

#include "channels/bridge.h"
#include "channels/zmq_util.h"
#include "core/settings.h"
#include "net/tcp_listen.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

static std::mutex tcp_clients_lock;       // guards tcp_clients and every record's `next`
static tcp_client *tcp_clients = nullptr; // head; records in the order they were added

// Pause (ms) between the end of one connection attempt and the next.
static const int TCP_CLIENT_RETRY_MS = 1000;

// A peer that vanishes without closing (power lost, cable pulled, a host that
// hangs) would hold an idle connection open for ever, and one with data in flight
// for the kernel's quarter of an hour of retransmissions. Both kinds of peer
// connection therefore probe after PEER_KEEPIDLE_S (s) of silence and are given up
// once nothing has come back for PEER_USER_TIMEOUT_MS (ms), which also ends one
// whose sent data stays unacknowledged or whose peer keeps its window shut (it
// has stopped reading) that long; a link then reconnects a second later.
static const int PEER_KEEPIDLE_S = 5;
static const int PEER_KEEPINTVL_S = 1; // s between probes
static const int PEER_KEEPCNT = 3;     // probes; the user timeout below decides first
static const int PEER_USER_TIMEOUT_MS = PEER_KEEPIDLE_S * 1000 + 3 * PEER_KEEPINTVL_S * 1000;

namespace
{

void set_nodelay(int fd)
{
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) perror("setsockopt");
}

// Keepalive and user timeout on a peer connection (see PEER_KEEPIDLE_S). A
// refusal is reported and the connection goes on without it.
void peer_timeouts(int fd)
{
    const int one = 1, idle = PEER_KEEPIDLE_S, intvl = PEER_KEEPINTVL_S, cnt = PEER_KEEPCNT;
    const unsigned user_ms = PEER_USER_TIMEOUT_MS;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_ms, sizeof user_ms) < 0)
        perror("setsockopt");
}

// Waits for a removed link's thread and frees the record.
void link_free(tcp_client *c)
{
    if (c->has_thread) pthread_join(c->thread, nullptr);
    free(c->ip);
    delete c;
}

// Unlinks `c`, the record after `prev` (or the head), and stops it. Called with
// the lock held.
void link_unlink(tcp_client *prev, tcp_client *c)
{
    printf("Connection found, end it.\n");
    c->enabled = 0;
    if (prev != nullptr)
        prev->next = c->next;
    else
        tcp_clients = c->next;
    c->next = nullptr;
}

// The link's pause between attempts, cut short when it is removed or the daemon
// stops, so that removal and shutdown need not wait out the second.
void link_pause(tcp_client *c)
{
    sleep_while_running(TCP_CLIENT_RETRY_MS, &c->enabled);
}

// Polls the connecting socket until the connect has a result. Returns the poll
// events, or 0 when the link was removed or the daemon is stopping meanwhile.
short link_wait_connect(tcp_client *c, int fd)
{
    while (running && c->enabled) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 100) > 0) return p.revents;
    }
    return 0;
}

// Bridges a connected link until the peer goes or the link is removed.
void link_bridge(tcp_client *c, int fd)
{
    c->state = TCP_CLIENT_CONNECTED;
    if (tcp_nodelay == 1) set_nodelay(fd);
    peer_timeouts(fd);
    inout_cfg cfg;
    inout_fill(&cfg, fd, fd, pull_response_port, publish_command_port, &c->enabled,
               INOUT_STOP_ON_EOF);
    pthread_t bridge;
    if (threadify(inout_thread, &cfg, 0, &bridge) < 0) {
        printf("failed\n");
        return;
    }
    printf("success\n");
    pthread_join(bridge, nullptr);
}

// One connection attempt, from the progress line to the pause after it.
void link_attempt(tcp_client *c)
{
    printf("Connect to %s:%d... ", c->ip, c->port);
    fflush(stdout);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        link_pause(c);
        return;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    // A port above 65535 reaches its low 16 bits; messages keep the number given.
    addr.sin_port = htons(static_cast<uint16_t>(c->port & 0xffff));
    int rc = inet_pton(AF_INET, c->ip, &addr.sin_addr);
    if (rc != 1) {
        // inet_pton leaves errno alone for a malformed text (300.1.1.1).
        int err = rc == 0 ? EINVAL : errno;
        close(fd);
        errno = err;
        perror("inet_pton");
        link_pause(c);
        return;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0 &&
        errno != EINPROGRESS) {
        int err = errno;
        close(fd);
        errno = err;
        perror("connect");
        link_pause(c);
        return;
    }
    short ev = link_wait_connect(c, fd);
    if (ev == 0) {
        close(fd); // removed while connecting: no attempt is left behind
        return;
    }
    if (ev & (POLLERR | POLLHUP))
        printf("failed\n");
    else if (ev & POLLOUT)
        link_bridge(c, fd);
    close(fd);
    link_pause(c);
}

} // namespace

int tcp_server_handler(int fd, const char *name)
{
    printf("Connected by %s...\n", name);
    if (tcp_nodelay == 1) set_nodelay(fd);
    peer_timeouts(fd);
    inout_cfg cfg;
    inout_fill(&cfg, fd, fd, pull_command_port, publish_response_port, &running, INOUT_STOP_ON_EOF);
    inout_thread(&cfg);
    printf("Connection from %s closed\n", name);
    return 0;
}

tcp_client *tcp_client_add(const char *ip, int port)
{
    std::lock_guard<std::mutex> lock(tcp_clients_lock);
    tcp_client *tail = nullptr;
    for (tcp_client *c = tcp_clients; c != nullptr; c = c->next) {
        if (strcmp(c->ip, ip) == 0 && c->port == port) {
            printf("Client %s:%d already added.\n", ip, port);
            return c;
        }
        tail = c;
    }
    // Without memory for the record or its address copy no link is made; the
    // caller is the console or start-up, which go on.
    tcp_client *c = new (std::nothrow) tcp_client;
    if (c == nullptr) return nullptr;
    c->ip = strdup(ip);
    if (c->ip == nullptr) {
        delete c;
        return nullptr;
    }
    c->port = port;
    c->enabled = 1;
    c->state = TCP_CLIENT_CONNECTING;
    c->has_thread = 0;
    c->next = nullptr;
    if (tail != nullptr)
        tail->next = c;
    else
        tcp_clients = c;
    // A link whose thread cannot start stays listed (list and save show it, and
    // disconnect followed by connect to retries it); removal then joins nothing.
    if (threadify(tcp_client_thread, c, 0, &c->thread) == 0) c->has_thread = 1;
    return c;
}

int tcp_client_remove(const tcp_client *record, const char *ip, int port)
{
    std::vector<tcp_client *> ended;
    {
        std::lock_guard<std::mutex> lock(tcp_clients_lock);
        tcp_client *prev = nullptr;
        tcp_client *c = tcp_clients;
        while (c != nullptr) {
            tcp_client *next = c->next;
            bool match = (record != nullptr && c == record) ||
                         (ip != nullptr && strcmp(c->ip, ip) == 0 && c->port == port);
            if (match) {
                link_unlink(prev, c);
                ended.push_back(c);
            } else {
                prev = c;
            }
            c = next;
        }
    }
    for (tcp_client *c : ended)
        link_free(c);
    return 0;
}

void tcp_client_remove_all()
{
    for (;;) {
        tcp_client *c;
        {
            std::lock_guard<std::mutex> lock(tcp_clients_lock);
            c = tcp_clients;
            if (c == nullptr) return;
            link_unlink(nullptr, c);
        }
        link_free(c);
    }
}

std::vector<tcp_client_info> tcp_client_list()
{
    std::vector<tcp_client_info> out;
    std::lock_guard<std::mutex> lock(tcp_clients_lock);
    for (const tcp_client *c = tcp_clients; c != nullptr; c = c->next)
        out.push_back({c->ip, c->port, c->state.load()});
    return out;
}

void *tcp_client_thread(void *arg)
{
    tcp_client *c = static_cast<tcp_client *>(arg);
    while (running && c->enabled) {
        link_attempt(c);
        c->state = TCP_CLIENT_CONNECTING;
    }
    return nullptr;
}
