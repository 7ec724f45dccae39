// Channel forwarder: one thread per message channel that publishes, unchanged,
// every message pushed into the channel.
#pragma once

#include "core/settings.h"

#include <atomic>

// Filled completely before the thread starts and only read by it.
struct fwd_cfg {
    char pub[2][ENDPOINT_SIZE];  // PUB socket binds to pub[0], then pub[1]
    char pull[2][ENDPOINT_SIZE]; // PULL socket binds to pull[0], then pull[1]
    const std::atomic<int> *run; // runs while this and `running` are non-zero
};

// Fills the descriptor of the command channel (command = true) or of the response
// channel from the port settings, with the fixed IPC endpoints.
void fwd_fill(fwd_cfg *cfg, bool command, const std::atomic<int> *run);

// Thread entry point; `arg` is a fwd_cfg. Returns null once the channel stops.
void *fwd_thread(void *arg);
