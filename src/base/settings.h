// Process-wide settings shared by every subsystem: the bottom of the tree.
// Written by the main thread while the options are applied (and `running` by the
// signal handler and the console's quit); read by every thread afterwards. The
// integers are atomics because link threads already run while later options are
// still being applied.
#pragma once

#include "base/stop.h"

#include <atomic>
#include <string>

extern stop_flag running;        // on while the daemon runs; dropped by a signal or `quit`
extern std::atomic<int> verbose; // raised by each -v

enum { BUS_MODE_CARD = 0, BUS_MODE_CTRL = 1 };
extern std::atomic<int> bus_mode; // BUS_MODE_CTRL with --ctrl, BUS_MODE_CARD otherwise

constexpr int DEFAULT_PUBLISH_RESPONSE_PORT = 5551;
constexpr int DEFAULT_PUBLISH_COMMAND_PORT = 5552;
constexpr int DEFAULT_PULL_RESPONSE_PORT = 5553;
constexpr int DEFAULT_PULL_COMMAND_PORT = 5554;
extern std::atomic<int> publish_response_port;
extern std::atomic<int> publish_command_port;
extern std::atomic<int> pull_response_port;
extern std::atomic<int> pull_command_port;

// The daemon's two message channels.
enum { CHANNEL_NONE = -1, CHANNEL_COMMAND = 0, CHANNEL_RESPONSE = 1 };

extern std::atomic<int> tcp_nodelay; // 1 with --tcp_nodelay

// --bind: the IPv4 address (dotted text) on which the channels' TCP endpoints,
// the console and the server port listen; empty for all interfaces. Written
// only before the threads that read it start.
constexpr int BIND_ADDRESS_SIZE = 16; // "255.255.255.255" and its NUL
extern char bind_address[BIND_ADDRESS_SIZE];

// Caps on what peers can make the daemon hold (each costs a thread, its stack
// and descriptors). The defaults are far above any sane deployment; they exist
// so that a flood of connections meets a limit set by configuration.
constexpr int DEFAULT_MAX_CONSOLES = 64;
constexpr int DEFAULT_MAX_SERVER_CONNS = 256;
constexpr int DEFAULT_MAX_LINKS = 64;
extern std::atomic<int> max_consoles;
extern std::atomic<int> max_server_conns;
extern std::atomic<int> max_links;

// Every ZeroMQ endpoint text fits a field of this size.
constexpr int ENDPOINT_SIZE = 100;

// "tcp://*:<port>", or "tcp://<bind_address>:<port>" with --bind: how a
// listening TCP endpoint of the daemon is written, in binds and in messages.
std::string tcp_listen_endpoint(int port);

// Resets every setting above to its start value; `running` is set on again and
// keeps its descriptor.
void settings_defaults();
