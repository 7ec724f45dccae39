// TCP peers: address texts, socket options, and links that would loop.
#include "net/peer.h"

#include "base/settings.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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
static const unsigned PEER_USER_TIMEOUT_MS = 8000;

int peer_address_parse(const char *text, char (&ip)[PEER_IP_TEXT_SIZE], int *port)
{
    int a, b, c, d, p;
    int n = sscanf(text, "%d.%d.%d.%d:%d", &a, &b, &c, &d, &p);
    if (n < 4) return -1;
    snprintf(ip, sizeof ip, "%d.%d.%d.%d", a, b, c, d);
    *port = n == 5 ? p : TCP_CLIENT_DEFAULT_PORT;
    return 0;
}

void peer_socket_setup(int fd)
{
    const int one = 1, idle = PEER_KEEPIDLE_S, intvl = PEER_KEEPINTVL_S, cnt = PEER_KEEPCNT;
    const unsigned user_ms = PEER_USER_TIMEOUT_MS;
    if (tcp_nodelay == 1 && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0)
        perror("setsockopt");
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt) < 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_ms, sizeof user_ms) < 0)
        perror("setsockopt");
}

// Whether `addr` is one of this host's own addresses: only those can be bound.
// (Asking the interfaces instead takes netlink, which some emulators the
// board's build is tested under do not translate.)
static bool is_local_address(in_addr addr)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr = addr;
    bool local = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    return local;
}

bool peer_is_own_port(const char *ip, int port, const char *bind, int own_port)
{
    // The connection goes to the port's low 16 bits, and so does the loop.
    if (own_port < 0 || (port & 0xffff) != (own_port & 0xffff)) return false;
    in_addr addr;
    if (inet_pton(AF_INET, ip, &addr) != 1) return false;
    if (bind[0] == '\0') return is_local_address(addr);
    in_addr bound;
    return inet_pton(AF_INET, bind, &bound) == 1 && addr.s_addr == bound.s_addr;
}
