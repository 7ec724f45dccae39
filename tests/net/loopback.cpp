// Loopback TCP peers for the net tests.
#include "loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

static sockaddr_in lo_addr(int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int lo_listen(int *port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = lo_addr(*port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) < 0 || listen(fd, backlog) < 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int lo_accept(int lfd, int timeout_ms)
{
    pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    return accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
}

int lo_connect(int port, int rcvbuf)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    timeval bound = {5, 0}; // also for the connect: a full listen queue fails, not hangs
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in a = lo_addr(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

bool lo_send(int fd, const std::string &text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

bool lo_wait_eof(int fd, int timeout_ms)
{
    char buf[4096];
    for (long end = now_ms() + timeout_ms; now_ms() < end;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0 && read(fd, buf, sizeof buf) <= 0) return true;
    }
    return false;
}

void lo_reset(int fd)
{
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

std::string lo_local_name(int fd)
{
    sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

int lo_free_port()
{
    int port = 0;
    close(lo_listen(&port));
    return port;
}

void console_vanishes_mid_reply()
{
    int fd = lo_connect(5550, 1024);
    std::string chunk;
    for (int i = 0; i < 40; i++)
        chunk += "help\n";
    int refused = 0;
    for (long end = now_ms() + 10000; refused < 3 && now_ms() < end;) {
        bool taken = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
        refused = taken ? 0 : refused + 1;
        if (!taken) usleep(100000);
    }
    EXPECT_EQ(refused, 3);
    lo_reset(fd);
}
