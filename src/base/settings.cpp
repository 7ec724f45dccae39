// Process-wide settings.
#include "base/settings.h"

#include <cstdlib>

stop_flag running;
std::atomic<int> verbose{0};
std::atomic<int> bus_mode{BUS_MODE_CARD};
std::atomic<int> publish_response_port{DEFAULT_PUBLISH_RESPONSE_PORT};
std::atomic<int> publish_command_port{DEFAULT_PUBLISH_COMMAND_PORT};
std::atomic<int> pull_response_port{DEFAULT_PULL_RESPONSE_PORT};
std::atomic<int> pull_command_port{DEFAULT_PULL_COMMAND_PORT};
std::atomic<int> tcp_nodelay{0};
char bind_address[BIND_ADDRESS_SIZE];
std::atomic<int> max_consoles{DEFAULT_MAX_CONSOLES};
std::atomic<int> max_server_conns{DEFAULT_MAX_SERVER_CONNS};
std::atomic<int> max_links{DEFAULT_MAX_LINKS};

std::string tcp_listen_endpoint(int port)
{
    return std::string("tcp://") + (bind_address[0] ? bind_address : "*") + ":" +
           std::to_string(port);
}

void settings_defaults()
{
    running.on = 1;
    verbose = 0;
    bus_mode = BUS_MODE_CARD;
    tcp_nodelay = 0;
    bind_address[0] = '\0';
    max_consoles = DEFAULT_MAX_CONSOLES;
    max_server_conns = DEFAULT_MAX_SERVER_CONNS;
    max_links = DEFAULT_MAX_LINKS;
    // Kept on purpose: the defaults are converted from the same texts that the
    // usage prints.
    publish_response_port = atoi("5551");
    publish_command_port = atoi("5552");
    pull_response_port = atoi("5553");
    pull_command_port = atoi("5554");
}
