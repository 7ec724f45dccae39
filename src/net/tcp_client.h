// Peer links: the list of self-healing outgoing links to other daemons.
#pragma once

#include "base/stop.h"
#include "channels/stats.h"

#include <atomic>
#include <pthread.h>
#include <string>
#include <vector>

enum { TCP_CLIENT_CONNECTING = 0, TCP_CLIENT_CONNECTED = 1 };

// One outgoing link. Listed from tcp_client_add until tcp_client_remove frees
// it; its thread uses only `ip`, `port`, `enabled`, `state` and `stats`.
struct tcp_client {
    char *ip;               // dotted address text, owned; fixed once listed
    int port;               // as given; the connection uses its low 16 bits
    stop_flag enabled;      // on while wanted; also the run flag of the link's bridge
    std::atomic<int> state; // TCP_CLIENT_*, written by the link thread
    endpoint_stats stats;   // "link <ip>:<port>"; `connects` written by the link thread
    pthread_t thread;       // the link thread, valid when has_thread
    int has_thread;         // 0 when the thread could not start: nothing to join
    tcp_client *next;       // guarded by the list lock
};

// A copy of one listed link, taken under the list lock.
struct tcp_client_info {
    std::string ip;
    int port;
    int state; // TCP_CLIENT_*
};

// Lists a link to `ip`:`port` and starts its thread. Returns the new record, the
// one already listed for the same address text and port, or null when the link
// is refused: `why` (may be null) then says why, or stays empty without memory.
tcp_client *tcp_client_add(const char *ip, int port, std::string *why = nullptr);

// Ends and frees every listed link that is `record`, or (when `ip` is given)
// whose address text and port are `ip` and `port`; waits for their threads.
// Either selector may be null. Returns 0.
int tcp_client_remove(const tcp_client *record, const char *ip, int port);

// Removes every link, in list order: all are told to end at once, then each is
// waited for, so removing many takes about as long as removing one.
void tcp_client_remove_all();

// The listed links in the order they were added.
std::vector<tcp_client_info> tcp_client_list();

// Names this daemon's own server port, on `bind` (empty: all interfaces); a link
// to it would loop every message back, so tcp_client_add refuses one.
void tcp_client_own_server(const char *bind, int port);
