// The serial endpoint: the bus on the channels, as controller or card, with a
// port that comes back after its device failed or was unplugged.
#pragma once

#include "channels/bridge.h"

constexpr int SERIAL_ARG_SIZE = 100; // the serial argument as start-up keeps it

// Filled by serial_endpoint_setup; its thread owns `fd` and `bridge` until it
// has been joined.
struct serial_endpoint {
    char arg[SERIAL_ARG_SIZE]; // the serial argument: the port is opened again with it
    int fd;                    // the open port; -1 while it is away
    inout_cfg bridge;          // the bridge on `fd` (the serial bridge)
    endpoint_stats stats;      // "serial" in the console's stats
};

// The shell command that signals the bus mode to the board on GPIO 219.
const char *serial_bus_mode_command(int ctrl);

// Fills `cfg` for the serial port `fd`: as controller (ctrl non-zero) the bus
// goes into the response channel and the command channel onto the bus; as card
// the other way round. `dump` adds INOUT_DUMP.
void serial_bridge_fill(inout_cfg *cfg, int fd, int ctrl, int dump, endpoint_stats *stats);

// Announces the bus mode, signals it on GPIO 219 and fills `ep` for the port
// `fd`, opened from `arg`. The caller starts serial_endpoint_thread on it.
void serial_endpoint_setup(serial_endpoint *ep, const char *arg, int fd, int dump);

// Thread entry point; `arg` is a serial_endpoint. Bridges the port; when its
// device fails, says so once, closes it and opens it again once a second with
// the same argument until it is back (said once) or the daemon stops.
void *serial_endpoint_thread(void *arg);

// After the thread has been joined: gives the port back with the settings it
// had and closes it, when it is open.
void serial_endpoint_close(serial_endpoint *ep);
