// A pseudo-terminal standing in for a serial port.
#include "pty_port.h"

#include "harness.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

pty_port::pty_port()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    const struct termios cooked = cooked_settings();
    tcsetattr(master, TCSANOW, &cooked);
    link = temp_dir() + "/ttyBUS";
    if (symlink(ptsname(master), link.c_str()) != 0) link.clear();
}

pty_port::~pty_port()
{
    close(master);
    if (link.empty()) return;
    unlink(link.c_str());
    rmdir(link.substr(0, link.rfind('/')).c_str());
}

struct termios pty_port::settings() const
{
    struct termios t = {};
    tcgetattr(master, &t);
    return t;
}

struct termios cooked_settings()
{
    struct termios t = {};
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG;
    t.c_cflag = CS8 | CSTOPB | CREAD | HUPCL | B4800;
    t.c_cc[VMIN] = 1;
    t.c_cc[VINTR] = 3;
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    return t;
}

bool same_settings(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}
