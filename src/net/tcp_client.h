// Peer links: TCP server connections bridged onto the channels, and the list of
// self-healing outgoing links to other daemons.
#pragma once

#include <atomic>
#include <pthread.h>
#include <string>
#include <vector>

enum { TCP_CLIENT_CONNECTING = 0, TCP_CLIENT_CONNECTED = 1 };

// One outgoing link. Listed from tcp_client_add until tcp_client_remove frees
// it; its thread uses only `ip`, `port`, `enabled` and `state`.
struct tcp_client {
    char *ip;                 // dotted address text, owned; fixed once listed
    int port;                 // as given; the connection uses its low 16 bits
    std::atomic<int> enabled; // 1 while wanted; also the run flag of the link's bridge
    std::atomic<int> state;   // TCP_CLIENT_*, written by the link thread
    pthread_t thread;         // the link thread, valid when has_thread
    int has_thread;           // 0 when the thread could not start: nothing to join
    tcp_client *next;         // guarded by the list lock
};

// A copy of one listed link, taken under the list lock.
struct tcp_client_info {
    std::string ip;
    int port;
    int state; // TCP_CLIENT_*
};

// The handler of the --tcpserver port: bridges the connection (peer into the
// command channel, response channel to the peer) until it ends. Returns 0.
int tcp_server_handler(int fd, const char *name);

// Lists a link to `ip`:`port` and starts its thread. Returns the new record, the
// one already listed for the same address text and port, or null without memory.
tcp_client *tcp_client_add(const char *ip, int port);

// Ends and frees every listed link that is `record`, or (when `ip` is given)
// whose address text and port are `ip` and `port`; waits for their threads.
// Either selector may be null. Returns 0.
int tcp_client_remove(const tcp_client *record, const char *ip, int port);

// Removes the links one at a time from the head until the list is empty.
void tcp_client_remove_all();

// The listed links in the order they were added.
std::vector<tcp_client_info> tcp_client_list();

// Link thread entry point; `arg` is the tcp_client. Connects, bridges, and
// reconnects a second after every loss until the link is removed. Returns null.
void *tcp_client_thread(void *arg);
