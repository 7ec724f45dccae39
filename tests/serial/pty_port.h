// A pseudo-terminal standing in for a serial port: the test holds the master
// ("the bus"); the port is reached through a link whose name holds "tty".
#pragma once

#include <string>
#include <termios.h>

struct pty_port {
    int master = -1;  // the bus side; -1 when the pty could not be made
    std::string link; // <temporary directory>/ttyBUS, pointing at the slave
    // Cooked at 4800 baud with two stop bits: no default that a restore could
    // fall back on looks like it.
    struct termios found;
    pty_port();
    ~pty_port();
    pty_port(const pty_port &) = delete;
    pty_port &operator=(const pty_port &) = delete;
    // The slave's settings, read through the master (Linux reports the slave's).
    struct termios settings() const;
    bool as_found() const; // the settings are `found` again
};
