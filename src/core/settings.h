// Process-wide settings shared by every subsystem.
// Written by the main thread while the options are applied (and `running` by the
// signal handler and the console); read by every thread. They are atomics because
// link threads already run while later options are still being applied.
#pragma once

#include <atomic>

extern std::atomic<int> running; // 1 while the daemon runs; 0 asks every loop to end
extern std::atomic<int> verbose; // raised by each -v

enum { BUS_MODE_CARD = 0, BUS_MODE_CTRL = 1 };
extern std::atomic<int> bus_mode; // BUS_MODE_CTRL with --ctrl, BUS_MODE_CARD otherwise

extern std::atomic<int> publish_response_port; // default 5551
extern std::atomic<int> publish_command_port;  // default 5552
extern std::atomic<int> pull_response_port;    // default 5553
extern std::atomic<int> pull_command_port;     // default 5554

extern std::atomic<int> tcp_nodelay; // 1 with --tcp_nodelay

// Every ZeroMQ endpoint text lives in a field of this size.
constexpr int ENDPOINT_SIZE = 100;

// Writes "tcp://localhost:<port>", the endpoint through which every bridge
// reaches the local forwarders.
void endpoint_local(char (&out)[ENDPOINT_SIZE], int port);

// Resets every setting above to its start value (the port defaults included).
void settings_defaults();
