// Serial port open, line settings and restore: raw mode at a standard or custom
// baud rate and a data format, then the transceiver mode; closing gives the
// device back with the terminal settings it had.
#pragma once

#include <termios.h>

constexpr int SAVED_SETTINGS_SLOTS = 2; // ports whose former settings are kept

// Opens `path` raw at `baud` with `format` ("8n1" style) and sets the
// transceiver `mode` (PORT_MODE_*). Returns the descriptor, owned by the
// caller and given back with serial_close, or -1.
int serial_open(const char *path, int baud, int mode, const char *format);

// serial_open without the report of a device that cannot be opened.
int serial_open_quiet(const char *path, int baud, int mode, const char *format);

// Restores the settings saved when `fd` was opened, if any, and closes it.
// Returns `fd`.
int serial_close(int fd);

// --- Kept on purpose: the tables behind serial_open, part of its interface.

// The termios speed constant of one of the 30 standard rates, else 0 (B0).
speed_t baud_to_speed(int baud);

// The control-flag bits (size, parity, stop bits) of a three-character format.
tcflag_t format_to_cflag(const char *format);
