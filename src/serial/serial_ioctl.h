// The serial driver ioctls (serial information, RS-485 settings, modem lines),
// all reached through one table so that tests can stand in for UART drivers
// that exist only on the board. Terminal settings (tcgetattr and friends) do
// not go through here: a pty carries them for real.
#pragma once

#include <linux/serial.h>

// Each entry returns what ioctl returns: 0 or more on success, -1 with errno.
struct serial_ioctl_ops {
    int (*get_serial)(int fd, struct serial_struct *info);       // TIOCGSERIAL
    int (*set_serial)(int fd, const struct serial_struct *info); // TIOCSSERIAL
    int (*get_rs485)(int fd, struct serial_rs485 *conf);         // TIOCGRS485
    int (*set_rs485)(int fd, const struct serial_rs485 *conf);   // TIOCSRS485
    int (*modem_set)(int fd, int bits);                          // TIOCMBIS, TIOCM_* bits
    int (*modem_clear)(int fd, int bits);                        // TIOCMBIC, TIOCM_* bits
};

// Starts with the real ioctls. Replaced only by tests, on the main thread.
extern serial_ioctl_ops serial_ioctl;

// Puts the real ioctls back into every entry.
void serial_ioctl_reset();
