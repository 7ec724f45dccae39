// Serial port open, line settings and restore.
//
// DESIGN: serial_open and serial_close run on the main thread only (the open
// before the serial bridge starts, the close after it has been joined), so the
// saved settings need no lock.
#include "serial/serial_port.h"

#include "serial/serial_ioctl.h"
#include "serial/serial_mode.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The settings a port had when serial_open took it, to be put back at close.
struct saved_setting {
    int fd;                 // descriptor the slot belongs to; -1: free
    struct termios termios; // settings read when the port was opened
};

saved_setting saved_settings[SAVED_SETTINGS_SLOTS] = {{-1, {}}, {-1, {}}};

struct baud_speed {
    int baud;
    speed_t speed;
};

const baud_speed BAUD_TABLE[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

saved_setting *slot_claim(int fd)
{
    for (saved_setting &s : saved_settings)
        if (s.fd < 0) {
            s.fd = fd;
            return &s;
        }
    return nullptr;
}

// Sets a rate the speed codes do not have: the driver runs the line at
// baud_base / custom_divisor whenever B38400 is selected with ASYNC_SPD_CUST.
// Returns 0, or -1 when the driver does not take it.
int set_custom_rate(int fd, int baud)
{
    struct serial_struct info;
    memset(&info, 0, sizeof info);
    if (serial_ioctl.get_serial(fd, &info) < 0) return -1;
    info.flags = (info.flags & ~ASYNC_SPD_MASK) | ASYNC_SPD_CUST;
    // The nearest divisor, a half rounded up; 64 bits so that no base overflows.
    long long divisor = (static_cast<long long>(info.baud_base) + baud / 2) / baud;
    info.custom_divisor = divisor < 1 ? 1 : static_cast<int>(divisor);
    if (serial_ioctl.set_serial(fd, &info) < 0) return -1;

    // Read back: the driver may refuse or round the divisor.
    memset(&info, 0, sizeof info);
    if (serial_ioctl.get_serial(fd, &info) < 0) {
        fprintf(stderr, "Warning: Unable check baudrate.\n"); // kept on purpose, as worded
        return 0;
    }
    if (static_cast<long long>(info.custom_divisor) * baud != info.baud_base) {
        float actual = static_cast<float>(info.baud_base) / static_cast<float>(info.custom_divisor);
        fprintf(stderr, "Warning: Actual baudrate is %d / %d = %f.\n", info.baud_base,
                info.custom_divisor, static_cast<double>(actual));
    }
    return 0;
}

} // namespace

speed_t baud_to_speed(int baud)
{
    for (const baud_speed &b : BAUD_TABLE)
        if (b.baud == baud) return b.speed;
    return B0;
}

tcflag_t format_to_cflag(const char *format)
{
    tcflag_t cflag;
    switch (format[0]) {
    case '5': cflag = CS5; break;
    case '6': cflag = CS6; break;
    case '7': cflag = CS7; break;
    default: cflag = CS8; break;
    }
    if (format[0] == '\0') return cflag;
    if (format[1] == 'e') cflag |= PARENB;
    if (format[1] == 'o') cflag |= PARENB | PARODD;
    if (format[1] == '\0') return cflag;
    if (format[2] == '2') cflag |= CSTOPB;
    return cflag;
}

static int serial_open_reported(const char *path, int baud, int mode, const char *format,
                                bool report)
{
    if (path[0] == '\0' || baud <= 0) return -1;
    // Close-on-exec: the shell run for the bus-mode line and later children
    // must not keep the port open. Non-blocking: the open must not wait for a
    // carrier (CLOCAL is only set below), and the bridge's writes must never
    // block on a line that is not drained, which would hold its reads and
    // shutdown; it waits for room in poll instead.
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (report) perror(path);
        return -1;
    }

    saved_setting *slot = slot_claim(fd);
    if (slot) {
        memset(&slot->termios, 0, sizeof slot->termios);
        if (tcgetattr(fd, &slot->termios) < 0) perror("tcgetattr");
    }

    speed_t speed = baud_to_speed(baud);
    if (speed == B0) {
        speed = B38400;
        if (set_custom_rate(fd, baud) < 0) {
            // The port is not handed out, so its slot is not kept either: a
            // later open gets it back.
            if (slot) slot->fd = -1;
            close(fd);
            return -1;
        }
    }

    struct termios tio;
    memset(&tio, 0, sizeof tio);
    tio.c_iflag = IGNPAR;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = format_to_cflag(format) | speed | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    // Also in the separate speed fields, which some C libraries prefer over
    // the bits in c_cflag.
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) < 0) perror("tcsetattr");
    if (tcflush(fd, TCIOFLUSH) < 0) perror("tcflush");

    serial_set_mode(fd, path, mode);
    return fd;
}

int serial_open(const char *path, int baud, int mode, const char *format)
{
    return serial_open_reported(path, baud, mode, format, true);
}

int serial_open_quiet(const char *path, int baud, int mode, const char *format)
{
    return serial_open_reported(path, baud, mode, format, false);
}

int serial_close(int fd)
{
    for (saved_setting &s : saved_settings) {
        if (s.fd != fd) continue;
        s.fd = -1;
        tcsetattr(fd, TCSANOW, &s.termios);
    }
    close(fd);
    return fd;
}
