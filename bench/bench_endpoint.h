// Benchmark clients of the daemon's byte-stream endpoints: a program on a pty
// slave, a TCP peer of the server port, and a bus on the far side of a pty pair
// that stands in for the serial port.
#pragma once

#include <string>
#include <vector>

// Opens a new pseudo-terminal master (close-on-exec) and gives its slave's path.
// Returns the master descriptor, or -1.
int pty_pair_open(std::string *slave_path);

// Opens a pty slave (or a link to one) in raw mode, as a controller program
// would. Returns the descriptor, or -1.
int pty_slave_open_raw(const std::string &path);

// Connects to 127.0.0.1:port with TCP_NODELAY, retrying refusals for up to
// `timeout_ms` (a listener thread may still be binding). Returns the socket or -1.
int tcp_connect_loopback(int port, int timeout_ms);

// True when nothing holds `port` on any local address: it can be bound now.
bool tcp_port_free(int port);

// The text after `tag` up to the end of its line in `out`, or "" when absent
// (for the pty banner: "pty: " gives the slave, "pth: " the link).
std::string banner_value(const std::string &out, const std::string &tag);

// Line latency of an endpoint: writes numbered lines to `fd` one at a time and
// times each until it is published on `sub_ep` (made live by probes pushed to
// `probe_ep`). Appends microseconds to `us`, counts lines that never arrived in
// `lost`. Returns 0, or -1 with the reason in `why` when no line got through.
int endpoint_latency(int fd, const std::string &sub_ep, const std::string &probe_ep, int count,
                     std::vector<double> *us, int *lost, std::string *why);
