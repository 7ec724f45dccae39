// Console commands as the chunk processing runs them: replies byte for byte,
// prefix matching, the unknown-command echo, and the link commands.
#include "core/settings.h"
#include "loopback.h"
#include "net/console.h"
#include "net/tcp_client.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char HELP[] =
    "  quit                      Quit the program                              \\\n"
    "  exit                      Close the connection                          \\\n"
    "  connect to <ip>[:<port>]  Connect to another vexlond.                    \\\n"
    "  disconnect <ip>[:<port>]  Close connection to other vexlond.             \\\n"
    "  disconnect all            Close all connections to other vexlonds.       \\\n"
    "  list                      List active connections to other vexlonds.     \\\n"
    "  save                      Save current conection list to file.          \\\n"
    "  show bus mode             Show the bus mode\n";

class Console : public ::testing::Test
{
  protected:
    std::vector<std::string> replies;
    console_session s = {1, collect, &replies};

    static void collect(void *ctx, const std::string &text)
    {
        static_cast<std::vector<std::string> *>(ctx)->push_back(text);
    }

    void SetUp() override
    {
        settings_defaults();
        // Links that connect must not bridge into the channels of a daemon that
        // happens to run on this machine.
        pull_response_port = lo_free_port();
        publish_command_port = pull_response_port.load();
    }
    void TearDown() override
    {
        running = 1;
        tcp_client_remove_all();
    }

    std::vector<std::string> run(const std::string &chunk)
    {
        replies.clear();
        console_chunk(&s, chunk.data(), chunk.size());
        return replies;
    }
    std::string unknown(const std::string &token)
    {
        return "  Unknown command \"" + token + "\".\n";
    }
};

TEST_F(Console, HelpInAnyCaseAndWithMoreWordsGetsTheHelpText)
{
    EXPECT_EQ(run("help\n"), std::vector<std::string>{HELP});
    EXPECT_EQ(run("HELP me please\n"), std::vector<std::string>{HELP});
    EXPECT_EQ(run("Helpless"), std::vector<std::string>{HELP});
}

TEST_F(Console, ShowBusModeFollowsTheSetting)
{
    EXPECT_EQ(run("show bus mode\n"), std::vector<std::string>{"  Bus mode is card\n"});
    bus_mode = BUS_MODE_CTRL;
    EXPECT_EQ(run("SHOW BUS MODE now\n"), std::vector<std::string>{"  Bus mode is ctrl\n"});
}

TEST_F(Console, UnknownCommandEchoDropsTheLastByteOfAnUnterminatedFirstLine)
{
    EXPECT_EQ(run("abc"), std::vector<std::string>{unknown("ab")});
    EXPECT_EQ(run("abc\n"), std::vector<std::string>{unknown("abc")});
    // The last line loses its last character only when the first line is unknown.
    EXPECT_EQ(run("foo\nbarx"), (std::vector<std::string>{unknown("foo"), unknown("bar")}));
    EXPECT_EQ(run("list\nbarx"),
              (std::vector<std::string>{"  No tcp connections\n", unknown("barx")}));
    // The argument commands need their space.
    EXPECT_EQ(run("connect to\n"), std::vector<std::string>{unknown("connect to")});
    EXPECT_EQ(run("disconnect\n"), std::vector<std::string>{unknown("disconnect")});
    EXPECT_EQ(run("show bus\n"), std::vector<std::string>{unknown("show bus")});
}

TEST_F(Console, SingleBytesAndEmptyLinesGetNoReply)
{
    EXPECT_TRUE(run("\n").empty());
    EXPECT_TRUE(run("h").empty());
    EXPECT_TRUE(run("\n\n\n").empty());
    EXPECT_TRUE(run("").empty());
}

TEST_F(Console, SeveralCommandsInOneChunkAnswerInOrderAlsoWithCrLf)
{
    EXPECT_EQ(run("list\r\nshow bus mode\r\nhelp\r\n"),
              (std::vector<std::string>{"  No tcp connections\n", "  Bus mode is card\n", HELP}));
    // An empty CR LF line is no empty token: its carriage return is echoed.
    EXPECT_EQ(run("list\r\n\r\n"),
              (std::vector<std::string>{"  No tcp connections\n", unknown("\r")}));
}

TEST_F(Console, QuitAndExitStillRunTheRestOfTheirChunk)
{
    EXPECT_EQ(run("quit\nlist\n"), std::vector<std::string>{"  No tcp connections\n"});
    EXPECT_EQ(running, 0);
    EXPECT_EQ(s.keep_going, 1);
    running = 1;
    EXPECT_EQ(run("EXIT\nshow bus mode\n"), std::vector<std::string>{"  Bus mode is card\n"});
    EXPECT_EQ(s.keep_going, 0);
    EXPECT_EQ(running, 1);
}

TEST_F(Console, ConnectAndDisconnectManageTheLinks)
{
    int closed = lo_free_port();
    std::string p = std::to_string(closed);
    testing::internal::CaptureStdout();
    run("connect to 127.000.0.1\nconnect to 127.0.0.1:" + p + "\nconnect to 127.0.0\n");
    run("connect to 127.0.0.1:" + p + "\n");
    EXPECT_EQ(run("list\n"), std::vector<std::string>{"  127.0.0.1:5010 connecting...\\\n"
                                                      "  127.0.0.1:" +
                                                      p + " connecting...\n"});
    // Four numbers mean port 5010 only: the other port of the address stays.
    run("disconnect 127.0.0.1\ndisconnect 127.0.0.2\n");
    EXPECT_EQ(run("list\n"), std::vector<std::string>{"  127.0.0.1:" + p + " connecting...\n"});
    EXPECT_TRUE(run("disconnect all\n").empty());
    EXPECT_EQ(run("list\n"), std::vector<std::string>{"  No tcp connections\n"});
    run("disconnect all\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Client 127.0.0.1:" + p + " already added.\n"), std::string::npos);
    EXPECT_EQ(count_of(out, "Connection found, end it.\n"), 2u);
}

TEST_F(Console, SaveWritesTheLinksAsConfigurationLines)
{
    char dir[] = "/tmp/vexlond-console-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/links";
    console_save_path_set(path);
    run("save\n");
    EXPECT_EQ(read_text(path), "");
    run("connect to 300.1.1.1:70000\nconnect to 127.0.0.1\nsave\n");
    EXPECT_EQ(read_text(path), "tcpclient = 300.1.1.1:70000\ntcpclient = 127.0.0.1:5010\n");
    // A file that cannot be written is passed over without a reply.
    console_save_path_set(std::string(dir) + "/missing/links");
    EXPECT_TRUE(run("save\n").empty());
    console_save_path_set("/conf/vexlond_tcpclient");
    unlink(path.c_str());
    rmdir(dir);
}

} // namespace
