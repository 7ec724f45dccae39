// The serial endpoint and its recovery.
//
// DESIGN: the endpoint's thread runs the bridge itself. The bridge ends when the
// device fails (INOUT_STOP_ON_FAIL: a hang-up, a read or write error, a removed
// USB adapter); the thread then closes the port, which frees its saved settings,
// and opens it again with the same argument (rate, format, transceiver mode and
// GPIO lines) once a second. Counters go on across the gap. GPIO 219 carries the
// bus mode and is written once, at set-up, as the board expects.
#include "serial/serial_endpoint.h"

#include "base/clock.h"
#include "serial/serial_arg.h"
#include "serial/serial_port.h"

#include <cstdio>
#include <cstdlib>

// Pause (ms) between attempts to open a port that has gone away: a replugged
// adapter is back within a second, and a missing one costs one open a second.
static const int SERIAL_REOPEN_MS = 1000;

const char *serial_bus_mode_command(int ctrl)
{
    return ctrl ? "echo \"0\" > /sys/class/gpio/gpio219/value"
                : "echo \"1\" > /sys/class/gpio/gpio219/value";
}

void serial_bridge_fill(inout_cfg *cfg, int fd, int ctrl, int dump, endpoint_stats *stats)
{
    unsigned flags = INOUT_LINES | INOUT_STOP_ON_FAIL;
    if (dump) flags |= INOUT_DUMP;
    inout_fill(cfg, fd, fd, ctrl ? CHANNEL_RESPONSE : CHANNEL_COMMAND,
               ctrl ? CHANNEL_COMMAND : CHANNEL_RESPONSE, &running, flags, stats);
}

void serial_endpoint_setup(serial_endpoint *ep, const char *arg, int fd, int dump)
{
    snprintf(ep->arg, sizeof ep->arg, "%s", arg);
    ep->fd = fd;
    int ctrl = bus_mode == BUS_MODE_CTRL;
    printf("Setting p1025 as %s on bus\n", ctrl ? "ctrl" : "card");
    // The shell's own output must follow the line above, not overtake it.
    fflush(stdout);
    // The result is not examined: a board without the line only loses the
    // signal, and the shell has already said why.
    (void)!system(serial_bus_mode_command(ctrl));
    serial_bridge_fill(&ep->bridge, fd, ctrl, dump, &ep->stats);
}

void *serial_endpoint_thread(void *arg)
{
    serial_endpoint *ep = static_cast<serial_endpoint *>(arg);
    while (inout_run(&ep->bridge) == INOUT_ENDED_FAIL && running.on) {
        fprintf(stderr, "Serial port %s failed: opening it again every second\n", ep->arg);
        serial_close(ep->fd);
        ep->fd = -1;
        while (ep->fd < 0 && clock_sleep(SERIAL_REOPEN_MS, nullptr) == 0)
            ep->fd = serial_parse_reopen(ep->arg);
        if (ep->fd < 0) break;
        printf("Serial port %s is back\n", ep->arg);
        ep->bridge.ifd = ep->fd;
        ep->bridge.ofd = ep->fd;
    }
    return nullptr;
}

void serial_endpoint_close(serial_endpoint *ep)
{
    if (ep->fd >= 0) serial_close(ep->fd);
    ep->fd = -1;
}
