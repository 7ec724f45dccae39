// Stream bridge: joins a pair of file descriptors to the message channels.
// What is read from the input descriptor is pushed into one channel; what a
// channel publishes is written to the output descriptor.
#pragma once

#include "base/settings.h"
#include "channels/stats.h"

enum : unsigned {
    INOUT_STOP_ON_EOF = 1, // end the bridge at end of input or a read error
    INOUT_DRAIN = 2,       // tcdrain() the output after every write
    INOUT_DUMP = 4,        // trace every chunk read and message written
    INOUT_LINES = 8,       // frame the input into line messages
    // End the bridge when its device fails (hang-up, read or write error), so
    // that its owner can close it and open it again.
    INOUT_STOP_ON_FAIL = 16,
};

// Filled completely by the starter, kept alive until the bridge returns. The
// descriptors belong to the starter: the bridge never closes them.
struct inout_cfg {
    int ifd;               // input descriptor; negative: no input side
    int ofd;               // output descriptor; negative: no output side
    int push_channel;      // channel the input is published on; CHANNEL_NONE: none
    int sub_channel;       // channel written to the output; CHANNEL_NONE: none
    const stop_flag *run;  // runs while this and `running` are on
    unsigned flags;        // INOUT_* bits
    endpoint_stats *stats; // where the traffic is counted; null: nowhere
};

// Fills a descriptor: the bridge publishes its input on `push_channel` and
// subscribes to `sub_channel` (CHANNEL_COMMAND, CHANNEL_RESPONSE, or
// CHANNEL_NONE for no such side) in-process.
void inout_fill(inout_cfg *cfg, int ifd, int ofd, int push_channel, int sub_channel,
                const stop_flag *run, unsigned flags, endpoint_stats *stats);

enum { INOUT_ENDED_STOP = 0, INOUT_ENDED_EOF = 1, INOUT_ENDED_FAIL = 2 };

// Runs the bridge in the calling thread until a run flag drops, or its input
// ends (INOUT_STOP_ON_EOF) or its device fails (INOUT_STOP_ON_FAIL). Returns
// INOUT_ENDED_*; the descriptors stay open.
int inout_run(const inout_cfg *cfg);

// Thread entry point: inout_run on `arg`, an inout_cfg. Returns null.
void *inout_thread(void *arg);
