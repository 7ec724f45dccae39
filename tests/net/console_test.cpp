// Console commands as the chunk processing runs them: replies byte for byte,
// prefix matching, the unknown-command echo, and the link commands.
#include "base/settings.h"
#include "kit.h"
#include "net/console.h"
#include "net/tcp_client.h"

namespace {

using replies = std::vector<std::string>;

const char HELP[] =
    "  quit                      Quit the program                              \\\n"
    "  exit                      Close the connection                          \\\n"
    "  connect to <ip>[:<port>]  Connect to another vexlond.                    \\\n"
    "  disconnect <ip>[:<port>]  Close connection to other vexlond.             \\\n"
    "  disconnect all            Close all connections to other vexlonds.       \\\n"
    "  list                      List active connections to other vexlonds.     \\\n"
    "  save                      Save current conection list to file.          \\\n"
    "  show bus mode             Show the bus mode\\\n"
    "  stats                     Show message counters of channels and endpoints.\n";
const std::string NONE = "  No tcp connections\n", CARD = "  Bus mode is card\n";

std::string unknown(const std::string &token)
{
    return "  Unknown command \"" + token + "\".\n";
}

struct Console : testing::Test {
    replies got;
    console_session s = {1, 0, collect, &got};

    static void collect(void *ctx, const std::string &text)
    {
        static_cast<replies *>(ctx)->push_back(text);
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
        running.on = 1;
        tcp_client_remove_all();
    }
    replies run(const std::string &chunk)
    {
        got.clear();
        console_chunk(&s, chunk.data(), chunk.size());
        return got;
    }
};

TEST_F(Console, EachChunkGetsItsRepliesInOrder)
{
    const std::pair<std::string, replies> cases[] = {
        // Matched by prefix in any case, with or without a newline.
        {"help\n", {HELP}},
        {"HELP me please\n", {HELP}},
        {"Helpless", {HELP}},
        {"list\r\nshow bus mode\r\nhelp\r\n", {NONE, CARD, HELP}},
        {"list\r\n\r\n", {NONE, unknown("\r")}}, // an empty CR LF line is no empty token
        // A single byte or empty lines get nothing.
        {"\n", {}},
        {"h", {}},
        {"\n\n\n", {}},
        {"", {}},
        // The echo of an unknown first line drops the chunk's last byte.
        {"abc", {unknown("ab")}},
        {"abc\n", {unknown("abc")}},
        {"foo\nbarx", {unknown("foo"), unknown("bar")}},
        {"list\nbarx", {NONE, unknown("barx")}},
        // The argument commands need their space.
        {"connect to\n", {unknown("connect to")}},
        {"disconnect\n", {unknown("disconnect")}},
        {"show bus\n", {unknown("show bus")}},
    };
    for (const auto &c : cases) EXPECT_EQ(run(c.first), c.second) << c.first;
    bus_mode = BUS_MODE_CTRL;
    EXPECT_EQ(run("SHOW BUS MODE now\n"), replies{"  Bus mode is ctrl\n"});
}

TEST_F(Console, QuitAndExitStillRunTheRestOfTheirChunk)
{
    EXPECT_EQ(run("quit\nlist\n"), replies{NONE});
    EXPECT_EQ(running.on, 0);
    EXPECT_EQ(s.keep_going, 1);
    running.on = 1;
    EXPECT_EQ(run("EXIT\nshow bus mode\n"), replies{CARD});
    EXPECT_EQ(s.keep_going, 0);
    EXPECT_EQ(running.on, 1);
}

TEST_F(Console, LinkCommandsAndSave)
{
    std::string p = std::to_string(lo_free_port()), dir = temp_dir(), path = dir + "/links";
    console_save_path_set(path);
    run("save\n");
    EXPECT_EQ(read_file(path), "");
    testing::internal::CaptureStdout();
    run("connect to 127.000.0.1\nconnect to 127.0.0.1:" + p + "\nconnect to 127.0.0\n");
    run("connect to 127.0.0.1:" + p + "\nconnect to 300.1.1.1:70000\nsave\n");
    EXPECT_EQ(run("list\n"), replies{"  127.0.0.1:5010 connecting...\\\n  127.0.0.1:" + p +
                                     " connecting...\\\n  300.1.1.1:70000 connecting...\n"});
    EXPECT_EQ(read_file(path), "tcpclient = 127.0.0.1:5010\ntcpclient = 127.0.0.1:" + p +
                                   "\ntcpclient = 300.1.1.1:70000\n");
    // Four numbers mean port 5010 only: the other port of the address stays.
    run("disconnect 127.0.0.1\ndisconnect 127.0.0.2\ndisconnect 300.1.1.1:70000\n");
    EXPECT_EQ(run("list\n"), replies{"  127.0.0.1:" + p + " connecting...\n"});
    EXPECT_TRUE(run("disconnect all\n").empty());
    EXPECT_EQ(run("list\n"), replies{NONE});
    run("disconnect all\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_of(out, "Client 127.0.0.1:" + p + " already added.\n"), 1u);
    EXPECT_EQ(count_of(out, "Connection found, end it.\n"), 3u);
    // A file that cannot be written is passed over without a reply.
    console_save_path_set(dir + "/missing/links");
    EXPECT_TRUE(run("save\n").empty());
    console_save_path_set("/conf/vexlond_tcpclient");
    unlink(path.c_str());
    rmdir(dir.c_str());
}

} // namespace
