// Transceiver modes of the board's serial ports: RS-232, RS-422 and four- and
// two-wire RS-485, chosen through the UART driver, the RTS line and GPIO lines.
#pragma once

enum {
    PORT_MODE_RS232 = 0,
    PORT_MODE_RS422 = 1,
    PORT_MODE_RS485_4W = 2,
    PORT_MODE_RS485_2W = 3,
};

// Sets the port at `path` (open as `fd`) up for `mode`. Returns 0 for a valid
// mode whatever the ioctls and GPIO writes did, -1 (after "Invalid port mode")
// for any other mode, without touching the port.
int serial_set_mode(int fd, const char *path, int mode);

// --- Kept on purpose: the rest of the modem-line and mode interface the
// board's tools know. serial_set_mode uses the first two; the daemon calls none
// of them directly.

// Raises (level non-zero) or drops RTS. Returns 0, or -1 after perror("ioctl").
int serial_set_rts(int fd, int level);

// The RTS level RS-232 mode gives /dev/ttyS1 (paths starting with it); 1 for
// any other path.
int serial_stored_rts(const char *path);

// The same as serial_set_rts for DTR.
int serial_set_dtr(int fd, int level);

// Sets the RTS level RS-232 mode gives /dev/ttyS1; other paths are ignored.
void serial_store_rts(const char *path, int level);

// Drives the RTS stand-in GPIO line of a QUICC Engine UART and returns 0; for
// other paths sets RTS on `fd`, or returns -1 when `fd` is negative.
int serial_set_qe_rts(int fd, const char *path, int level);

// Reads the mode back from the GPIO lines: 0, 2 (RS-422 reads as four-wire) or
// 3; 4 for a port without mode lines.
int serial_get_mode(const char *path);
