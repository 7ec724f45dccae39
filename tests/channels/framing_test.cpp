// Line framing of the stream bridge, fed read by read.
#include "channels/bridge.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct framer {
    line_state st;
    std::vector<std::string> sent;

    static void emit(void *ctx, const char *msg, size_t len)
    {
        static_cast<framer *>(ctx)->sent.emplace_back(msg, len);
    }
    // Feeds one read; returns the messages it sent.
    std::vector<std::string> read(const std::string &chunk)
    {
        size_t before = sent.size();
        line_frame(&st, chunk.data(), chunk.size(), emit, this);
        return std::vector<std::string>(sent.begin() + before, sent.end());
    }
};

using msgs = std::vector<std::string>;

TEST(LineFraming, WholeLinesInOneReadEachBecomeAMessage)
{
    framer f;
    EXPECT_EQ(f.read("abc\n"), msgs({"abc\n"}));
    EXPECT_EQ(f.read("abc\ndef\n"), msgs({"abc\n", "def\n"}));
}

TEST(LineFraming, FirstFragmentGoesAtOnceAndTheRestWaitsForTheLineEnd)
{
    framer f;
    EXPECT_EQ(f.read("ab"), msgs({"ab"}));
    EXPECT_EQ(f.read("cd"), msgs());
    EXPECT_EQ(f.read("ef\n"), msgs({"cdef\n"}));
    // The plain newline re-arms the early fragment for the next line.
    EXPECT_EQ(f.read("gh"), msgs({"gh"}));
}

TEST(LineFraming, ReadEndingInsideASecondLineSendsItsFragment)
{
    framer f;
    EXPECT_EQ(f.read("abc\ndef"), msgs({"abc\n", "def"}));
    EXPECT_EQ(f.read("gh\n"), msgs({"gh\n"}));
}

TEST(LineFraming, UnendedLineIsHeld)
{
    framer f;
    EXPECT_EQ(f.read("ab"), msgs({"ab"}));
    EXPECT_EQ(f.read("cd"), msgs());
    EXPECT_EQ(f.read("ef"), msgs());
    EXPECT_EQ(f.st.line_len, 4u);
}

TEST(LineFraming, BackslashNewlineContinuesTheMessage)
{
    framer f;
    EXPECT_EQ(f.read("set x \\\n y\n"), msgs({"set x \\\n y\n"}));

    framer g;
    EXPECT_EQ(g.read("set x \\\n"), msgs({"set x \\\n"}));
    EXPECT_EQ(g.read(" y\n"), msgs({" y\n"}));
}

TEST(LineFraming, BackslashIsRememberedAcrossReads)
{
    framer f;
    EXPECT_EQ(f.read("x\\"), msgs({"x\\"}));
    EXPECT_EQ(f.read("\ny\n"), msgs({"\ny\n"}));
}

TEST(LineFraming, TwoBackslashesBeforeANewlineStillContinue)
{
    framer f;
    EXPECT_EQ(f.read("a\\\\\nb\n"), msgs({"a\\\\\nb\n"}));
}

TEST(LineFraming, ContinuationEndsPastTheLimit)
{
    framer f;
    std::string long_line(598, 'a');
    EXPECT_EQ(f.read(long_line + "\\\n"), msgs({long_line + "\\\n"}));

    // Exactly at the limit the continuation still holds: 510 + "\\\n" = 512.
    framer g;
    std::string at_limit(510, 'b');
    EXPECT_EQ(g.read(at_limit + "\\\nz\n"), msgs({at_limit + "\\\nz\n"}));

    // 511 + "\\\n" = 513 ends the message at the newline.
    framer h;
    std::string over(511, 'c');
    EXPECT_EQ(h.read(over + "\\\nz\n"), msgs({over + "\\\n", "z\n"}));
}

TEST(LineFraming, FullReadWithoutNewlineIsOneFragment)
{
    framer f;
    std::string chunk(INOUT_BUF_SIZE, 'q');
    EXPECT_EQ(f.read(chunk), msgs({chunk}));
    EXPECT_EQ(f.read("end\n"), msgs({"end\n"}));
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
    EXPECT_EQ(f.sent.back().back(), '\n');
    EXPECT_FALSE(f.st.line_partial_sent);
}

TEST(LineFraming, EmptyReadChangesNothing)
{
    framer f;
    EXPECT_EQ(f.read(""), msgs());
    EXPECT_EQ(f.read("a\n"), msgs({"a\n"}));
}

} // namespace
