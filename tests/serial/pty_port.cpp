// A pseudo-terminal standing in for a serial port.
#include "pty_port.h"

#include "harness.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>

pty_port::pty_port()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    struct termios t = settings();
    t.c_cflag |= CSTOPB;
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    tcsetattr(master, TCSANOW, &t);
    found = settings();
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

bool pty_port::as_found() const
{
    struct termios t = settings();
    return t.c_iflag == found.c_iflag && t.c_oflag == found.c_oflag && t.c_cflag == found.c_cflag &&
           t.c_lflag == found.c_lflag && memcmp(t.c_cc, found.c_cc, sizeof t.c_cc) == 0;
}
