// Plain TCP peers on 127.0.0.1 for the net tests.
#pragma once

#include "harness.h"

#include <string>

// Listens on 127.0.0.1 at *port, or at a port the system picks (then written
// to *port) when it is 0.
int lo_listen(int *port, int backlog = 10);
// Accepts one connection, or -1 after `timeout_ms`.
int lo_accept(int lfd, int timeout_ms = 3000);
// Connects to 127.0.0.1:port; -1 when refused or not accepted within 5 s, which
// also bounds every blocking send on it. A small receive buffer set before
// the connect (`rcvbuf`) keeps the window small: a peer that does not read soon
// blocks its sender.
int lo_connect(int port, int rcvbuf = 0);
// Sends all of `text` (MSG_NOSIGNAL: a vanished peer cannot end the test).
bool lo_send(int fd, const std::string &text);
// True when the peer closes the connection within `timeout_ms`.
bool lo_wait_eof(int fd, int timeout_ms = 3000);
// Closes with a reset instead of an orderly end: the peer vanishes.
void lo_reset(int fd);
// This end's address as the other end names it, "127.0.0.1:<port>".
std::string lo_local_name(int fd);
// A port that was free a moment ago.
int lo_free_port();

// Sends help requests to the console without reading the replies until the daemon
// stops taking them, then resets the connection: the daemon is cut off in the
// middle of a chunk's replies.
void console_vanishes_mid_reply();
