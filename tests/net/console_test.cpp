// Console commands as the chunk processing runs them.
#include "base/settings.h"
#include "channels/stats.h"
#include "kit.h"
#include "net/console.h"
#include "net/tcp_client.h"

#include <fstream>
#include <sys/stat.h>

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

struct Console : testing::Test {
    replies got;
    console_session s = {
        1, 0, [](void *r, const std::string &text) { static_cast<replies *>(r)->push_back(text); },
        &got};
    void TearDown() override { tcp_client_remove_all(); }
    replies run(const std::string &chunk)
    {
        got.clear();
        console_chunk(&s, chunk.data(), chunk.size());
        return got;
    }
};

TEST_F(Console, EachChunkGetsItsRepliesInOrderAndExitEndsTheConnectionAfterIt)
{
    auto unknown = [](std::string token) { return "  Unknown command \"" + token + "\".\n"; };
    const std::pair<std::string, replies> cases[] = {
        // An empty CR LF line is no empty token; a single byte is no command.
        {"list\r\nshow bus mode\r\nHelpless", {NONE, CARD, HELP}},
        {"list\r\n\r\n", {NONE, unknown("\r")}},
        {"x", {}},
        {"list\n\n\nbarx", {NONE, unknown("barx")}},
        // The echo of an unknown first line drops the chunk's last byte.
        {"abc", {unknown("ab")}},
        {"foo\nbarx", {unknown("foo"), unknown("bar")}},
        {"connect to\ndisconnect\n", {unknown("connect to"), unknown("disconnect")}}, // no space
    };
    for (const auto &c : cases) EXPECT_EQ(run(c.first), c.second) << c.first;
    EXPECT_EQ(run("EXIT\nSHOW BUS MODE now\n"), replies{CARD});
    EXPECT_TRUE(running.on == 1 && s.keep_going == 0);
}

TEST_F(Console, LinkCommandsAndASaveThatNeitherFollowsNorBlocks)
{
    std::string p = std::to_string(lo_free_port()), dir = temp_dir(), path = dir + "/links";
    auto saved = [&] {
        struct stat st;
        bool plain = lstat(path.c_str(), &st) == 0 && st.st_mode == (S_IFREG | 0644);
        return plain ? read_file(path) : "not a plain file";
    };
    std::ofstream(dir + "/target") << "kept\n";
    ASSERT_EQ(symlink((dir + "/target").c_str(), path.c_str()), 0);
    console_save_path_set(path);
    max_links = 3;
    run("connect to 127.000.0.1\nconnect to 127.0.0.1:" + p + "\nconnect to 127.0.0\n");
    EXPECT_TRUE(run("connect to 127.0.0.1:" + p + "\nconnect to 300.1.1.1:70000\nsave\n").empty());
    EXPECT_EQ(saved(), "tcpclient = 127.0.0.1:5010\ntcpclient = 127.0.0.1:" + p +
                           "\ntcpclient = 300.1.1.1:70000\n");
    EXPECT_EQ(read_file(dir + "/target"), "kept\n");
    // Four numbers mean port 5010 only: the other port of the address stays.
    run("disconnect 127.0.0.1\ndisconnect 127.0.0.2\ndisconnect 300.1.1.1:70000\n");
    ASSERT_TRUE(unlink(path.c_str()) == 0 && mkfifo(path.c_str(), 0600) == 0);
    EXPECT_TRUE(run("save\n").empty()); // opening the FIFO would block into the time-out
    EXPECT_EQ(saved(), "tcpclient = 127.0.0.1:" + p + "\n");
    // Removed links make room again under the cap.
    EXPECT_EQ(run("disconnect all\nsave\nconnect to 300.1.1.1:1\nlist\n"),
              replies{"  300.1.1.1:1 connecting...\n"});
    EXPECT_EQ(count_of(stats_report(), "link "), 1u); // the others unlisted with their links
    EXPECT_EQ(saved(), "");
    ASSERT_TRUE(unlink(path.c_str()) == 0 && mkdir(path.c_str(), 0755) == 0);
    EXPECT_TRUE(run("save\n").empty());
    console_save_path_set(dir + "/missing/links");
    EXPECT_TRUE(run("save\n").empty());
    EXPECT_TRUE(unlink((dir + "/target").c_str()) == 0 && rmdir(path.c_str()) == 0 &&
                rmdir(dir.c_str()) == 0); // no temporary file is left behind
}
