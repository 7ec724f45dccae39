// Line framing.
#include "channels/framing.h"

void line_frame(line_state *st, const char *data, size_t len, line_emit_fn emit, void *ctx)
{
    for (size_t i = 0; i < len; i++) {
        char c = data[i];
        if (st->line_len == INOUT_BUF_SIZE) {
            // A line longer than the buffer: send what is held and keep collecting,
            // rather than store past the buffer or drop bytes. The rest of the line
            // still goes out at its end.
            emit(ctx, st->line_buf, st->line_len);
            st->line_len = 0;
            st->line_partial_sent = true;
        }
        st->line_buf[st->line_len++] = c;
        if (c == '\n' && !(st->line_escaped && st->line_len <= INOUT_CONT_LIMIT)) {
            emit(ctx, st->line_buf, st->line_len);
            st->line_len = 0;
            if (!st->line_escaped) st->line_partial_sent = false;
        }
        st->line_escaped = (c == '\\');
    }
    if (st->line_len > 0 && !st->line_partial_sent) {
        emit(ctx, st->line_buf, st->line_len);
        st->line_len = 0;
        st->line_partial_sent = true;
    }
}
