// Process-wide settings shared by every subsystem.
#include "core/settings.h"

#include <cstdio>
#include <cstdlib>

std::atomic<int> running{1};
std::atomic<int> verbose{0};
std::atomic<int> bus_mode{BUS_MODE_CARD};
std::atomic<int> publish_response_port{5551};
std::atomic<int> publish_command_port{5552};
std::atomic<int> pull_response_port{5553};
std::atomic<int> pull_command_port{5554};
std::atomic<int> tcp_nodelay{0};

void endpoint_local(char (&out)[ENDPOINT_SIZE], int port)
{
    snprintf(out, sizeof out, "tcp://localhost:%d", port);
}

void settings_defaults()
{
    running = 1;
    verbose = 0;
    bus_mode = BUS_MODE_CARD;
    tcp_nodelay = 0;
    // The usage text prints these same texts as the defaults.
    publish_response_port = atoi("5551");
    publish_command_port = atoi("5552");
    pull_response_port = atoi("5553");
    pull_command_port = atoi("5554");
}
