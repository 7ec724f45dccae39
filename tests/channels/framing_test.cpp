// Line framing of the stream bridge, fed read by read.
#include "channels/framing.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using msgs = std::vector<std::string>;

struct framer {
    line_state st;
    msgs sent;

    static void emit(void *ctx, const char *msg, size_t len)
    {
        static_cast<framer *>(ctx)->sent.emplace_back(msg, len);
    }
    // Feeds one read; returns the messages it sent.
    msgs read(const std::string &chunk)
    {
        size_t before = sent.size();
        line_frame(&st, chunk.data(), chunk.size(), emit, this);
        return msgs(sent.begin() + static_cast<long>(before), sent.end());
    }
};

TEST(LineFraming, EachReadSendsTheMessagesItEnds)
{
    const std::string a598(598, 'a'), b510(510, 'b'), c511(511, 'c'), q(INOUT_BUF_SIZE, 'q');
    // Each case is one bridge's reads, each with the messages it must send.
    const std::vector<std::pair<std::string, msgs>> cases[] = {
        {{"abc\n", {"abc\n"}}, {"abc\ndef\n", {"abc\n", "def\n"}}, {"", {}}},
        // The first fragment of a line goes at once, the rest at the line end; the
        // newline re-arms the early fragment for the next line.
        {{"ab", {"ab"}}, {"cd", {}}, {"ef\n", {"cdef\n"}}, {"gh", {"gh"}}},
        {{"abc\ndef", {"abc\n", "def"}}, {"gh\n", {"gh\n"}}},
        {{q, {q}}, {"end\n", {"end\n"}}},
        // Backslash-newline continues the message, also across reads.
        {{"set x \\\n y\n", {"set x \\\n y\n"}}},
        {{"set x \\\n", {"set x \\\n"}}, {" y\n", {" y\n"}}},
        {{"x\\", {"x\\"}}, {"\ny\n", {"\ny\n"}}},
        {{"a\\\\\nb\n", {"a\\\\\nb\n"}}},
        // ... while the message is at most 512 bytes.
        {{a598 + "\\\n", {a598 + "\\\n"}}},
        {{b510 + "\\\nz\n", {b510 + "\\\nz\n"}}},
        {{c511 + "\\\nz\n", {c511 + "\\\n", "z\n"}}},
    };
    for (const auto &reads : cases) {
        framer f;
        for (const auto &r : reads) EXPECT_EQ(f.read(r.first), r.second) << r.first.substr(0, 20);
    }
}

TEST(LineFraming, LineLongerThanTheBufferLosesNothing)
{
    framer f;
    EXPECT_EQ(f.read("x"), msgs({"x"}));
    std::string all;
    for (int i = 0; i < 5; i++) {
        std::string chunk(INOUT_BUF_SIZE - 1, static_cast<char>('a' + i));
        all += chunk;
        for (const auto &m : f.read(chunk)) EXPECT_LE(m.size(), INOUT_BUF_SIZE);
    }
    f.read("\n");
    std::string joined;
    for (size_t i = 1; i < f.sent.size(); i++) joined += f.sent[i];
    EXPECT_EQ(joined, all + "\n");
    EXPECT_EQ(f.read("y"), msgs({"y"})); // the line end re-armed the early fragment
}

} // namespace
