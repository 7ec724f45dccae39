// Transceiver modes of the board's serial ports.
//
// /dev/ttyS1 switches its transceiver with GPIO 238 (RS-232 or RS-422/485) and
// 237 (four- or two-wire) and uses RTS as the RS-485 driver enable. The QUICC
// Engine UARTs (/dev/ttyQE*) leave the driver enable to the UART driver's
// RS-485 settings and switch the wiring with one or two GPIO lines each.
#include "serial/serial_mode.h"

#include "serial/gpio.h"
#include "serial/serial_ioctl.h"

#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>

namespace {

const char TTYS1_PATH[] = "/dev/ttyS1";
const char QE_PREFIX[] = "/dev/ttyQE";
const size_t QE_PREFIX_LEN = sizeof QE_PREFIX - 1; // the unit digit follows it

const int TTYS1_SELECT_GPIO = 238; // 0: RS-232 transceiver, 1: RS-422/RS-485
const int TTYS1_WIRES_GPIO = 237;  // 0: four-wire, 1: two-wire

// The lines of one QUICC Engine UART, named by the digit after "/dev/ttyQE".
struct qe_port {
    char unit;
    int select_gpio; // 0: RS-232, 1: RS-422/RS-485; -1: the UART has no RS-232 side
    int wires_gpio;  // 0: four-wire, 1: two-wire
    int rts_gpio;    // driven by serial_set_qe_rts in place of a modem RTS line
};

const qe_port QE_PORTS[] = {
    {'0', 194, 224, 243},
    {'2', -1, 212, 229},
    {'3', -1, 250, 197},
};

// Only these bits of the RS-485 flags are the mode's; the rest stay as read.
const unsigned RS485_MODE_BITS =
    SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX;

// The mode bits set for each mode, indexed by mode.
const unsigned RS485_MODE_FLAGS[] = {
    SER_RS485_RX_DURING_TX, // RS-232: driver enable off, receiver always on
    RS485_MODE_BITS,        // RS-422: driver always on (RTS high before and after sending)
    SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RX_DURING_TX, // four-wire
    SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, // two-wire: no echo of our own bytes
};

bool is_qe_path(const char *path)
{
    return strncmp(path, QE_PREFIX, QE_PREFIX_LEN) == 0;
}

// The QUICC Engine UART with known lines that `path` names, or null.
const qe_port *qe_lookup(const char *path)
{
    if (!is_qe_path(path)) return nullptr;
    for (const qe_port &p : QE_PORTS)
        if (path[QE_PREFIX_LEN] == p.unit) return &p;
    return nullptr;
}

void ttys1_set_mode(int fd, const char *path, int mode)
{
    if (mode == PORT_MODE_RS232) {
        serial_set_rts(fd, serial_stored_rts(path));
        gpio_set_output(TTYS1_SELECT_GPIO, 0);
        return;
    }
    gpio_set_output(TTYS1_SELECT_GPIO, 1);
    serial_set_rts(fd, mode != PORT_MODE_RS422);
    gpio_set_output(TTYS1_WIRES_GPIO, mode == PORT_MODE_RS485_2W);
}

void qe_set_mode(int fd, const char *path, int mode)
{
    struct serial_rs485 conf;
    memset(&conf, 0, sizeof conf);
    if (serial_ioctl.get_rs485(fd, &conf) < 0) {
        perror("ioctl");
        // The update is written all the same; from a zero record, so that no
        // half-filled field (delays, addresses) reaches the driver.
        memset(&conf, 0, sizeof conf);
    }
    conf.flags = (conf.flags & ~RS485_MODE_BITS) | RS485_MODE_FLAGS[mode];
    if (serial_ioctl.set_rs485(fd, &conf) < 0) perror("ioctl");

    const qe_port *port = qe_lookup(path);
    if (!port) return;
    if (port->select_gpio >= 0) gpio_set_output(port->select_gpio, mode != PORT_MODE_RS232);
    // A UART without an RS-232 side keeps its wiring in RS-232 mode.
    if (mode != PORT_MODE_RS232 || port->select_gpio >= 0)
        gpio_set_output(port->wires_gpio, mode == PORT_MODE_RS485_2W);
}

int ttys1_rts_level = 1; // the daemon never changes it: RS-232 raises RTS on ttyS1

int modem_line(int fd, int bits, int level)
{
    int r = level ? serial_ioctl.modem_set(fd, bits) : serial_ioctl.modem_clear(fd, bits);
    if (r < 0) {
        perror("ioctl");
        return -1;
    }
    return 0;
}

} // namespace

int serial_set_mode(int fd, const char *path, int mode)
{
    if (static_cast<unsigned>(mode) > PORT_MODE_RS485_2W) {
        printf("Invalid port mode\n");
        return -1;
    }
    if (strcmp(path, TTYS1_PATH) == 0)
        ttys1_set_mode(fd, path, mode);
    else if (is_qe_path(path))
        qe_set_mode(fd, path, mode);
    else if (mode == PORT_MODE_RS485_4W || mode == PORT_MODE_RS485_2W)
        printf("tty not recognized\n");
    return 0;
}

int serial_set_rts(int fd, int level)
{
    return modem_line(fd, TIOCM_RTS, level);
}

int serial_set_dtr(int fd, int level)
{
    return modem_line(fd, TIOCM_DTR, level);
}

// These two compare a prefix, unlike serial_set_mode: /dev/ttyS10 shares the
// stored level of /dev/ttyS1.
int serial_stored_rts(const char *path)
{
    return strncmp(path, TTYS1_PATH, sizeof TTYS1_PATH - 1) == 0 ? ttys1_rts_level : 1;
}

void serial_store_rts(const char *path, int level)
{
    if (strncmp(path, TTYS1_PATH, sizeof TTYS1_PATH - 1) == 0) ttys1_rts_level = level;
}

int serial_set_qe_rts(int fd, const char *path, int level)
{
    if (is_qe_path(path)) {
        const qe_port *port = qe_lookup(path);
        if (port) gpio_set_output(port->rts_gpio, level);
        return 0;
    }
    if (fd < 0) return -1;
    return serial_set_rts(fd, level);
}

int serial_get_mode(const char *path)
{
    int select_gpio = -1, wires_gpio = -1;
    if (strcmp(path, TTYS1_PATH) == 0) {
        select_gpio = TTYS1_SELECT_GPIO;
        wires_gpio = TTYS1_WIRES_GPIO;
    } else if (const qe_port *port = qe_lookup(path)) {
        select_gpio = port->select_gpio;
        wires_gpio = port->wires_gpio;
    } else {
        return 4;
    }
    if (select_gpio >= 0 && gpio_read(select_gpio) == 0) return PORT_MODE_RS232;
    return gpio_read(wires_gpio) != 0 ? PORT_MODE_RS485_2W : PORT_MODE_RS485_4W;
}
