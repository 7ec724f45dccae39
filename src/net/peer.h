// TCP peers of the daemon (server connections and links): their address text
// as options and the console write it, and the socket options they run with.
#pragma once

constexpr int PEER_IP_TEXT_SIZE = 48; // "%d.%d.%d.%d" of four ints: 4 * 11 + 3 dots + NUL
constexpr int TCP_CLIENT_DEFAULT_PORT = 5010;

// Parses "<a>.<b>.<c>.<d>[:<port>]" as --tcpclient and the console do: the
// address is rebuilt as "%d.%d.%d.%d" (leading zeros go, no range check) and the
// port defaults to TCP_CLIENT_DEFAULT_PORT. Returns 0, or -1 for fewer than four
// numbers.
int peer_address_parse(const char *text, char (&ip)[PEER_IP_TEXT_SIZE], int *port);

// Sets TCP_NODELAY (with --tcp_nodelay) and the keepalive and user time-outs that
// give up a peer that has vanished without closing. Failures are reported.
void peer_socket_setup(int fd);

// Whether `ip`:`port` names this host's port `own_port` as served on `bind`
// (dotted text; empty for all interfaces): a link there would loop every
// message back into the daemon. `own_port` below 0: no such port.
bool peer_is_own_port(const char *ip, int port, const char *bind, int own_port);
