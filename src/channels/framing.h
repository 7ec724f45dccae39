// Line framing: the byte stream of a text endpoint cut into line messages.
#pragma once

#include <cstddef>

constexpr size_t INOUT_BUF_SIZE = 4096;  // bytes per read, and of the line buffer
constexpr size_t INOUT_CONT_LIMIT = 512; // backslash-newline continues a message up to this size

// Line framing state, carried from one read to the next for a bridge's life.
struct line_state {
    char line_buf[INOUT_BUF_SIZE];  // the line being collected
    size_t line_len = 0;            // bytes held in line_buf
    bool line_escaped = false;      // the last byte taken was a backslash
    bool line_partial_sent = false; // a fragment of the current line has gone out
};

typedef void (*line_emit_fn)(void *ctx, const char *msg, size_t len);

// Frames one chunk read from the input: calls `emit` for every message it ends,
// in order. A line ends at a newline that does not follow a backslash (or does,
// once the message would pass INOUT_CONT_LIMIT); the first fragment of a line
// that a read leaves unfinished is sent at once, the rest waits for the line end.
void line_frame(line_state *st, const char *data, size_t len, line_emit_fn emit, void *ctx);
