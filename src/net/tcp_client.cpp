// Peer links: outgoing links to other daemons.
//
// DESIGN: the list `tcp_clients` is shared by the start-up thread, shutdown and
// every console connection, so every walk or change of it holds
// `tcp_clients_lock`. Removal unlinks a record under the lock, raises its stop
// flag and waits for its thread outside the lock: a slow join never blocks
// `list`, `save` or another removal, and a second removal of the same link simply
// no longer finds it. Link threads never touch the list; each owns its socket and
// uses only its own record, and sleeps in polls that its stop flag ends at once.
#include "net/tcp_client.h"

#include "base/clock.h"
#include "base/settings.h"
#include "channels/bridge.h"
#include "channels/zmq_util.h"
#include "net/peer.h"
#include "net/tcp_listen.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

static std::mutex tcp_clients_lock;       // guards tcp_clients, the count and every `next`
static tcp_client *tcp_clients = nullptr; // head; records in the order they were added
static int tcp_clients_count = 0;         // listed links, against --max_links
static std::string own_server_bind;       // guarded by tcp_clients_lock
static int own_server_port = -1;          // guarded by tcp_clients_lock

// Pause (ms) between the end of one connection attempt and the next.
static const int TCP_CLIENT_RETRY_MS = 1000;

namespace {

// Waits for a removed link's thread and frees the record.
void link_free(tcp_client *c)
{
    if (c->has_thread) pthread_join(c->thread, nullptr);
    stats_unlist(&c->stats);
    stop_flag_close(&c->enabled);
    free(c->ip);
    delete c;
}

// Unlinks `c`, the record after `prev` (or the head), and tells it to end.
// Called with the lock held.
void link_unlink(tcp_client *prev, tcp_client *c)
{
    printf("Connection found, end it.\n");
    stop_flag_raise(&c->enabled);
    if (prev != nullptr)
        prev->next = c->next;
    else
        tcp_clients = c->next;
    c->next = nullptr;
    tcp_clients_count--;
}

// Polls the connecting socket until the connect has a result. Returns the poll
// events, or 0 when the link was removed or the daemon is stopping meanwhile.
short link_wait_connect(tcp_client *c, int fd)
{
    while (running.on && c->enabled.on) {
        struct pollfd p[3] = {
            {fd, POLLOUT, 0}, {running.fd, POLLIN, 0}, {c->enabled.fd, POLLIN, 0}};
        if (poll(p, 3, -1) > 0 && p[0].revents) return p[0].revents;
    }
    return 0;
}

// Bridges a connected link until the peer goes or the link is removed.
void link_bridge(tcp_client *c, int fd)
{
    c->state = TCP_CLIENT_CONNECTED;
    stat_add(&c->stats.connects, 1);
    peer_socket_setup(fd);
    inout_cfg cfg;
    inout_fill(&cfg, fd, fd, CHANNEL_RESPONSE, CHANNEL_COMMAND, &c->enabled, INOUT_STOP_ON_EOF,
               &c->stats);
    pthread_t bridge;
    if (threadify(inout_thread, &cfg, 0, &bridge) < 0) {
        printf("failed\n");
        return;
    }
    printf("success\n");
    pthread_join(bridge, nullptr);
}

// Reports a failed step with errno as it was, after closing the socket.
void link_step_failed(int fd, const char *what, int err)
{
    if (fd >= 0) close(fd);
    errno = err;
    perror(what);
}

// One connection attempt, from the progress line to the pause after it.
void link_attempt(tcp_client *c)
{
    printf("Connect to %s:%d... ", c->ip, c->port);
    fflush(stdout);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        clock_sleep(TCP_CLIENT_RETRY_MS, &c->enabled);
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
        link_step_failed(fd, "inet_pton", rc == 0 ? EINVAL : errno);
        clock_sleep(TCP_CLIENT_RETRY_MS, &c->enabled);
        return;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0 &&
        errno != EINPROGRESS) {
        link_step_failed(fd, "connect", errno);
        clock_sleep(TCP_CLIENT_RETRY_MS, &c->enabled);
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
    clock_sleep(TCP_CLIENT_RETRY_MS, &c->enabled);
}

void *tcp_client_thread(void *arg)
{
    tcp_client *c = static_cast<tcp_client *>(arg);
    while (running.on && c->enabled.on) {
        link_attempt(c);
        c->state = TCP_CLIENT_CONNECTING;
    }
    return nullptr;
}

// Why a new link to `ip`:`port` may not be made, or empty. Called with the lock held.
std::string link_refusal(const char *ip, int port)
{
    if (tcp_clients_count >= max_links)
        return "Too many links (limit " + std::to_string(max_links.load()) + ")";
    if (peer_is_own_port(ip, port, own_server_bind.c_str(), own_server_port))
        return std::string("Link to ") + ip + ":" + std::to_string(port) +
               " refused: it is this daemon's own server port";
    return std::string();
}

} // namespace

void tcp_client_own_server(const char *bind, int port)
{
    std::lock_guard<std::mutex> lock(tcp_clients_lock);
    own_server_bind = bind;
    own_server_port = port;
}

tcp_client *tcp_client_add(const char *ip, int port, std::string *why)
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
    std::string refusal = link_refusal(ip, port);
    if (!refusal.empty()) {
        fprintf(stderr, "%s\n", refusal.c_str());
        if (why) *why = refusal;
        return nullptr;
    }
    // Without memory for the record, its address copy or its stop flag no link is
    // made; the caller is the console or start-up, which go on.
    tcp_client *c = new (std::nothrow) tcp_client;
    if (c == nullptr) return nullptr;
    c->ip = strdup(ip);
    if (c->ip == nullptr || stop_flag_open(&c->enabled) < 0) {
        free(c->ip);
        delete c;
        return nullptr;
    }
    c->port = port;
    c->state = TCP_CLIENT_CONNECTING;
    c->has_thread = 0;
    c->next = nullptr;
    if (tail != nullptr)
        tail->next = c;
    else
        tcp_clients = c;
    tcp_clients_count++;
    stats_list(&c->stats, std::string("link ") + ip + ":" + std::to_string(port), STATS_LINK);
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
    for (tcp_client *c : ended) link_free(c);
    return 0;
}

void tcp_client_remove_all()
{
    std::vector<tcp_client *> ended;
    {
        std::lock_guard<std::mutex> lock(tcp_clients_lock);
        while (tcp_clients != nullptr) {
            ended.push_back(tcp_clients);
            link_unlink(nullptr, tcp_clients);
        }
    }
    for (tcp_client *c : ended) link_free(c);
}

std::vector<tcp_client_info> tcp_client_list()
{
    std::vector<tcp_client_info> out;
    std::lock_guard<std::mutex> lock(tcp_clients_lock);
    for (const tcp_client *c = tcp_clients; c != nullptr; c = c->next)
        out.push_back({c->ip, c->port, c->state.load()});
    return out;
}
