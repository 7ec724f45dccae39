// A pseudo-terminal standing in for a serial port: the test holds the master
// ("the bus") and the port is reached through a symbolic link whose name holds
// "tty", as a board's device would be.
#pragma once

#include <string>
#include <termios.h>

struct pty_port {
    int master = -1;  // the bus side, -1 when the pty could not be made
    std::string dir;  // temporary directory holding the link
    std::string link; // dir + "/ttyBUS", pointing at the slave
    pty_port();
    ~pty_port(); // closes the master, removes the link and the directory
    pty_port(const pty_port &) = delete;
    pty_port &operator=(const pty_port &) = delete;

    // The slave's terminal settings, read through the master.
    struct termios settings() const;
    // Sets the slave's terminal settings through the master.
    void set_settings(const struct termios &t) const;
    // Writes all of `data` to the bus.
    bool send(const std::string &data) const;
    // Reads from the bus until `want` bytes have arrived or `timeout_ms` passed.
    std::string receive(size_t want, int timeout_ms = 2000) const;
};
