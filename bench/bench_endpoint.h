// Benchmark clients of the byte-stream endpoints: line latency from a program on
// a pty, a TCP peer or a bus, to whatever carries the line on, and the two-hop
// socat relay that the daemon's endpoints are set against.
#pragma once

#include "kit.h"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

// Hands over what has arrived since the last call (a message, or bytes of a
// stream) within `timeout_ms`; false when nothing came.
using chunk_source = std::function<bool(std::string &chunk, int timeout_ms)>;

// A channel subscriber as a chunk source: its messages, probes left out.
chunk_source chunks_of(channel_sub &sub);
// A stream socket as a chunk source: what one read gives.
chunk_source chunks_of(int fd);

struct line_result {
    std::vector<double> us; // each timed line, written until come out, microseconds
    int lost = 0;           // timed lines that never came
    double wakeups = NAN;   // wake-ups of the relaying processes a timed line
    double cpu_us = NAN;    // their CPU time a timed line, microseconds
};

// Line latency: writes numbered lines to `fd` one at a time and times each until
// it has come out of `from` (whole, or in pieces), and counts what the processes
// `relay` (those between the two) spent on them. Warm-up lines go first until
// one gets through, since the path is set up in the background. Returns 0, or
// -1 with the reason in `why` when no line got through.
int line_latency(int fd, const chunk_source &from, const std::vector<pid_t> &relay, int count,
                 line_result *r, std::string *why);

// The relay a user would set up instead of the daemon's pty or TCP server
// endpoint and its channel: two socat processes in a chain (see bench_endpoint.cpp).
struct socat_relay {
    daemon_proc hop1, hop2; // the endpoint's hop and the channel's hop
    int reader = -1;        // the TCP reader that stands for the subscriber
    int writer = -1;        // the pty slave or TCP connection lines are written to
    ~socat_relay();
};

enum relay_kind { RELAY_PTY, RELAY_TCP };

// Sets up the relay with a reader and a writer. False with the reason in `why`.
bool relay_start(socat_relay &r, relay_kind kind, std::string *why);
