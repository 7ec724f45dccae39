// Traffic counters: per channel and per endpoint, read by the console's `stats`.
//
// Each counter has one writer, the thread that moves the traffic it counts, and
// is updated without a lock; any thread may read it. Endpoints are listed while
// they exist: a server connection's counters go when the connection ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// A 64-bit count with one writer and any readers. Where the target has no
// lock-free 64-bit atomics (the board's 32-bit core) the two halves are
// published under a sequence number instead of through libatomic's locks.
struct stat_counter {
#if ATOMIC_LLONG_LOCK_FREE == 2
    std::atomic<uint64_t> value{0};
#else
    std::atomic<uint32_t> seq{0}; // odd while the writer updates the halves
    std::atomic<uint32_t> lo{0};
    std::atomic<uint32_t> hi{0};
#endif
};

// Adds `n`; only from the counter's writer thread.
void stat_add(stat_counter *c, uint64_t n);
uint64_t stat_get(const stat_counter *c);

// Counters of one channel, written by its forwarder and the bridges publishing on it.
struct channel_stats {
    stat_counter msgs_in;  // taken from the PULL side or a bridge
    stat_counter msgs_out; // published
    stat_counter dropped;  // refused: over the size limit, or not taken by the publisher
};
extern channel_stats channel_counters[2]; // CHANNEL_COMMAND, CHANNEL_RESPONSE

enum { STATS_STATIC = 0, STATS_SERVER = 1, STATS_LINK = 2 }; // listing order

// Counters of one endpoint, written by its bridge (and `connects` by a link's
// thread). Owned by whoever owns the endpoint.
struct endpoint_stats {
    std::string name; // "stdio", "server 10.0.0.2:40112", ...; fixed once listed
    int kind = STATS_STATIC;
    stat_counter msgs_in;   // messages pushed into the channel
    stat_counter bytes_in;  // their bytes
    stat_counter msgs_out;  // messages written to the endpoint
    stat_counter bytes_out; // their bytes
    stat_counter dropped;   // lost: output full or gone, or the channel did not take them
    stat_counter connects;  // links: connections made
};

// Lists `s` (until stats_unlist) under `name`.
void stats_list(endpoint_stats *s, const std::string &name, int kind);
// Takes `s` off the list; afterwards its owner may free it.
void stats_unlist(endpoint_stats *s);

// The console's reply: one line per channel, then per listed endpoint, every
// line but the last ending with a backslash.
std::string stats_report();
