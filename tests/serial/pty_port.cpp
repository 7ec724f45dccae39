// A pseudo-terminal standing in for a serial port.
#include "pty_port.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

static long mono_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

pty_port::pty_port()
{
    char tmpl[] = "/tmp/vexlond-pty-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir = tmpl;
    link = dir + "/ttyBUS";
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return;
    const char *slave = nullptr;
    if (grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    if (!slave || symlink(slave, link.c_str()) != 0) {
        close(master);
        master = -1;
    }
}

pty_port::~pty_port()
{
    if (master >= 0) close(master);
    if (!link.empty()) unlink(link.c_str());
    if (!dir.empty()) rmdir(dir.c_str());
}

struct termios pty_port::settings() const
{
    struct termios t;
    memset(&t, 0, sizeof t);
    tcgetattr(master, &t); // on Linux the master reports the slave's settings
    return t;
}

void pty_port::set_settings(const struct termios &t) const
{
    tcsetattr(master, TCSANOW, &t);
}

bool pty_port::send(const std::string &data) const
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t w = write(master, data.data() + off, data.size() - off);
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

std::string pty_port::receive(size_t want, int timeout_ms) const
{
    std::string got;
    long end = mono_ms() + timeout_ms;
    while (got.size() < want) {
        long left = end - mono_ms();
        if (left <= 0) break;
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[512];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break; // EIO once the slave is closed
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}
