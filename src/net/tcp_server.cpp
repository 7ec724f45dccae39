// Server connections.
#include "net/tcp_server.h"

#include "channels/bridge.h"
#include "channels/zmq_util.h"
#include "net/peer.h"

#include <cstdio>
#include <memory>
#include <string>

int tcp_server_handler(int fd, const char *name)
{
    printf("Connected by %s...\n", name);
    peer_socket_setup(fd);
    // Listed while the connection lasts: an ended connection's counters go.
    auto stats = std::make_unique<endpoint_stats>();
    stats_list(stats.get(), std::string("server ") + name, STATS_SERVER);
    inout_cfg cfg;
    inout_fill(&cfg, fd, fd, CHANNEL_COMMAND, CHANNEL_RESPONSE, &running, INOUT_STOP_ON_EOF,
               stats.get());
    inout_thread(&cfg);
    stats_unlist(stats.get());
    printf("Connection from %s closed\n", name);
    return 0;
}
