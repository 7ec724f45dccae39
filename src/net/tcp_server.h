// Server connections: TCP peers accepted on the --tcpserver port, each bridged
// as a controller-side endpoint for as long as it lasts.
#pragma once

// The handler of the --tcpserver port: bridges the connection (peer into the
// command channel, response channel to the peer) until it ends. Returns 0.
int tcp_server_handler(int fd, const char *name);
