// Line framing of the stream bridge, fed read by read.
#include "channels/framing.h"

#include <gtest/gtest.h>

using msgs = std::vector<std::string>;

static msgs sent; // every message of the bridge under test, in order

// The messages one read of the bridge with state `st` sends.
static msgs frame(line_state &st, const std::string &chunk)
{
    size_t before = sent.size();
    auto emit = [](void *, const char *m, size_t n) { sent.emplace_back(m, n); };
    line_frame(&st, chunk.data(), chunk.size(), emit, nullptr);
    return msgs(sent.begin() + static_cast<long>(before), sent.end());
}

TEST(LineFraming, ALineLongerThanTheBufferLosesNothingAndEachReadSendsTheMessagesItEnds)
{
    // A line longer than the buffer goes in fragments that fit it (the first bridge).
    line_state first;
    const size_t chunk = INOUT_BUF_SIZE - 1;
    std::string all = "x", joined;
    for (char c = 'a'; c < 'f'; c++) all += std::string(chunk, c);
    frame(first, "x");
    for (size_t at = 1; at < all.size(); at += chunk) frame(first, all.substr(at, chunk));
    frame(first, "\n");
    for (const auto &m : sent) joined += m.size() <= INOUT_BUF_SIZE ? m : "(too long)";
    EXPECT_EQ(joined, all + "\n");
    EXPECT_EQ(frame(first, "y"), msgs({"y"})); // the line end re-armed the early fragment
    const std::string b510(510, 'b'), c511(511, 'c'), q(INOUT_BUF_SIZE, 'q');
    // Each case is one bridge's reads, each with the messages it must send.
    const std::vector<std::pair<std::string, msgs>> cases[] = {
        {{"abc\n", {"abc\n"}}, {"abc\ndef", {"abc\n", "def"}}, {"gh\n", {"gh\n"}}, {"", {}}},
        // A line's first fragment goes at once, the rest at its end, which re-arms it.
        {{"ab", {"ab"}}, {"cd", {}}, {"ef\n", {"cdef\n"}}, {"gh", {"gh"}}},
        {{q, {q}}, {"end\n", {"end\n"}}},
        // Backslash-newline continues the message, also across reads...
        {{"set x \\\n y\n", {"set x \\\n y\n"}}, {"a\\\\\nb\n", {"a\\\\\nb\n"}}},
        {{"x\\", {"x\\"}}, {"\ny\n", {"\ny\n"}}},
        // ... while the message is at most 512 bytes.
        {{b510 + "\\\nz\n", {b510 + "\\\nz\n"}}, {c511 + "\\\nz\n", {c511 + "\\\n", "z\n"}}},
    };
    for (const auto &reads : cases) {
        line_state st;
        for (const auto &r : reads) EXPECT_EQ(frame(st, r.first), r.second);
    }
}
