// Loopback TCP helpers for the net tests.
#include "loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

static sockaddr_in lo_addr(int port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
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
    sockaddr_in a = lo_addr(*port > 0 ? *port : 0);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, backlog) < 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
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
    sockaddr_in a = lo_addr(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool lo_send(int fd, const std::string &text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t w = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

bool lo_read_until(int fd, std::string &out, const std::string &want, int timeout_ms)
{
    for (int waited = 0; out.find(want) == std::string::npos; waited += 50) {
        if (waited >= timeout_ms) return false;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return out.find(want) != std::string::npos;
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool lo_wait_eof(int fd, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        if (read(fd, buf, sizeof buf) <= 0) return true;
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
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

int lo_free_port()
{
    int port = 0;
    int fd = lo_listen(&port);
    close(fd);
    return port;
}

int fd_count(int pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos++)
        n++;
    return n;
}
