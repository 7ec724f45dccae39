// Fuzzes the line framer as a bridge feeds it: a sequence of reads of any sizes.
// Checks that framing never loses, reorders or invents a byte and never stores
// past its buffer.
#include "channels/framing.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void collect(void *ctx, const char *msg, size_t len)
{
    if (len > INOUT_BUF_SIZE) abort();
    static_cast<std::string *>(ctx)->append(msg, len);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    line_state st;
    std::string out, in;
    size_t pos = 0;
    while (pos < size) {
        // Each read: one length byte (scaled to reach the full buffer), then data.
        size_t want = (static_cast<size_t>(data[pos++]) * 17) % (INOUT_BUF_SIZE + 1);
        size_t len = want < size - pos ? want : size - pos;
        const char *chunk = reinterpret_cast<const char *>(data + pos);
        in.append(chunk, len);
        line_frame(&st, chunk, len, collect, &out);
        pos += len;
        if (st.line_len > INOUT_BUF_SIZE) abort();
    }
    // What went out plus what is still held is exactly what came in.
    if (out + std::string(st.line_buf, st.line_len) != in) abort();
    return 0;
}
