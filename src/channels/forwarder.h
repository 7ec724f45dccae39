// Channel forwarder: one thread per message channel that publishes, unchanged,
// every message pushed into the channel.
#pragma once

#include "base/settings.h"

// Filled completely before the forwarder is opened and only read afterwards.
struct fwd_cfg {
    char pub[2][ENDPOINT_SIZE];  // PUB socket binds to pub[0], then pub[1]
    char pull[2][ENDPOINT_SIZE]; // PULL socket binds to pull[0], then pull[1]
    const stop_flag *run;        // runs while this and `running` are on
    int channel;                 // CHANNEL_COMMAND or CHANNEL_RESPONSE
};

// Fills the descriptor of `channel` from the port settings (and --bind), with
// the fixed IPC endpoints.
void fwd_fill(fwd_cfg *cfg, int channel, const stop_flag *run);

// Makes the channel's sockets and binds them, its in-process endpoints first;
// an endpoint that cannot be bound is reported on stderr and left out. Called
// before fwd_thread, so that the channel is there before any bridge reads.
// Returns 0, or -1 when ZeroMQ refuses the sockets (reported).
int fwd_open(const fwd_cfg *cfg);

// Publishes a message of the daemon's own endpoints on `channel` from the
// calling thread, counted as pushed into the channel: the line goes out without
// a hand-over to the forwarder's thread. Never waits longer than another
// publisher's send. Returns 0, or -1 when the channel is not open.
int fwd_publish(int channel, const char *msg, size_t len);

// Thread entry point; `arg` is a fwd_cfg opened with fwd_open. Forwards until
// the channel is to stop, then closes its sockets. Returns null.
void *fwd_thread(void *arg);
