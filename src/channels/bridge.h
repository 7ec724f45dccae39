// Stream bridge: joins a pair of file descriptors to the message channels.
// What is read from the input descriptor is pushed into one channel; what a
// channel publishes is written to the output descriptor.
#pragma once

#include "core/settings.h"

#include <atomic>
#include <cstddef>

enum : unsigned {
    INOUT_STOP_ON_EOF = 1, // end the bridge at end of input or a read error
    INOUT_DRAIN = 2,       // tcdrain() the output after every write
    INOUT_DUMP = 4,        // trace every chunk read and message written
    INOUT_LINES = 8,       // frame the input into line messages
};

constexpr size_t INOUT_BUF_SIZE = 4096;  // bytes per read, and of the line buffer
constexpr size_t INOUT_CONT_LIMIT = 512; // backslash-newline continues a message up to this size

// Filled completely by the starter, kept alive until the bridge returns. The
// descriptors belong to the starter: the bridge never closes them.
struct inout_cfg {
    int ifd;                     // input descriptor; negative: no input side
    int ofd;                     // output descriptor; negative: no output side
    char push[ENDPOINT_SIZE];    // PUSH endpoint; empty: no input side
    char sub[ENDPOINT_SIZE];     // SUB endpoint; empty: no output side
    const std::atomic<int> *run; // runs while this and `running` are non-zero
    unsigned flags;              // INOUT_* bits
};

// Fills a descriptor; a port below 0 leaves that endpoint empty (no such side).
void inout_fill(inout_cfg *cfg, int ifd, int ofd, int push_port, int sub_port,
                const std::atomic<int> *run, unsigned flags);

// Line framing state, carried from one read to the next for a bridge's life.
struct line_state {
    char line_buf[INOUT_BUF_SIZE]; // the line being collected
    size_t line_len = 0;           // bytes held in line_buf
    bool line_escaped = false;     // the last byte taken was a backslash
    bool line_partial_sent = false; // a fragment of the current line has gone out
};

typedef void (*line_emit_fn)(void *ctx, const char *msg, size_t len);

// Frames one chunk read from the input: calls `emit` for every message it ends,
// in order. A line ends at a newline that does not follow a backslash (or does,
// once the message would pass INOUT_CONT_LIMIT); the first fragment of a line
// that a read leaves unfinished is sent at once, the rest waits for the line end.
void line_frame(line_state *st, const char *data, size_t len, line_emit_fn emit, void *ctx);

// Thread entry point; `arg` is an inout_cfg. Also called directly by the TCP
// server connection handler. Returns null when the bridge ends.
void *inout_thread(void *arg);
