// Line framing of the stream bridge, fed read by read.
#include "channels/framing.h"

#include <gtest/gtest.h>

using msgs = std::vector<std::string>;

static msgs sent; // by one read of the bridge under test

static msgs frame(line_state &st, const std::string &chunk)
{
    auto emit = [](void *, const char *m, size_t n) { sent.emplace_back(m, n); };
    sent.clear();
    line_frame(&st, chunk.data(), chunk.size(), emit, nullptr);
    return sent;
}

TEST(LineFraming, ALineLongerThanTheBufferLosesNothingAndEachReadSendsTheMessagesItEnds)
{
    line_state first;
    std::string all = "x", joined; // read as one byte, reads of a byte less than the buffer, "\n"
    for (char c = 'a'; c < 'f'; c++) all += std::string(INOUT_BUF_SIZE - 1, c);
    all += "\n";
    for (size_t at = 0, n = 1; at < all.size(); at += n, n = INOUT_BUF_SIZE - 1)
        for (const auto &m : frame(first, all.substr(at, n)))
            joined += m.size() <= INOUT_BUF_SIZE ? m : "(too long)";
    EXPECT_EQ(joined, all);
    const std::string b510(510, 'b'), c511(511, 'c'), q(INOUT_BUF_SIZE, 'q');
    const std::vector<std::pair<std::string, msgs>> cases[] = {
        // A line's first fragment goes at once, the rest at its end, which re-arms it.
        {{"ab", {"ab"}}, {"cd", {}}, {"ef\n", {"cdef\n"}}, {"gh", {"gh"}}},
        {{q, {q}}, {"end\n", {"end\n"}}},
        // Backslash-newline continues the message, also across reads, up to 512 bytes.
        {{"set x \\\n y\n", {"set x \\\n y\n"}}, {"a\\\\\nb\n", {"a\\\\\nb\n"}}},
        {{"x\\", {"x\\"}}, {"\ny\n", {"\ny\n"}}},
        {{b510 + "\\\nz\n", {b510 + "\\\nz\n"}}, {c511 + "\\\nz\n", {c511 + "\\\n", "z\n"}}},
    };
    for (const auto &reads : cases) {
        line_state st;
        for (const auto &r : reads) EXPECT_EQ(frame(st, r.first), r.second);
    }
}
