// A daemon with one endpoint of every kind, each held by the test.
#pragma once

#include "kit.h"

#include <memory>

struct rig {
    daemon_proc d;
    pty_port bus;         // serial stand-in: the test is the bus
    std::string pty_link; // where --pty puts its link
    int pty = -1;         // the program on the daemon's pty
    int server_port = 0, server = -1, link_port = 0, link_listen = -1, link = -1;
    std::unique_ptr<channel_sub> cmd, res; // both channels, live
    ~rig();
};

// Starts the daemon with every endpoint (`extra` options appended) and connects them.
void rig_start(rig &r, const std::vector<std::string> &extra = {},
               daemon_start_opts opts = daemon_start_opts());

// The endpoints whose traffic fails ("in:pty", "out:link", "console"...), empty
// when none does; `reading` false leaves out the consumers (their peers do not read).
std::string rig_failures(rig &r, const std::string &tag, bool reading = true);
