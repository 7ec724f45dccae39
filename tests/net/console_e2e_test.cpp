// The command console of the real daemon over TCP.
#include "kit.h"

#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>

TEST(ConsoleE2e, ListSaveStatsJunkAndManyClientsThenQuit)
{
    int lfd_port = 0, lfd = lo_listen(&lfd_port), port = lo_free_port();
    // Above 65535: the link reaches the low 16 bits and keeps the number.
    std::string up = "127.0.0.1:" + std::to_string(lfd_port + 65536);
    std::string down = "127.0.0.1:" + std::to_string(lo_free_port());
    daemon_proc d;
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    daemon_start(d,
                 {"--ctrl", "--tcpclient", up, "--tcpclient", down, "--max_consoles", "30",
                  "--tcpserver", std::to_string(port), "--stdin", "command"},
                 opts);
    const std::string list = "  " + up + " connected\\\n  " + down + " connecting...\n";
    EXPECT_TRUE(wait_until([&] { return console_ask("list\n", "...\n") == list; }));

    // save writes a fixed path: checked where /conf can be used, and left as found.
    const std::string conf = "/conf/vexlond_tcpclient", before_conf = read_file(conf);
    bool made = mkdir("/conf", 0755) == 0, had = access(conf.c_str(), F_OK) == 0;
    if (made || had || access("/conf", W_OK) == 0) {
        console_ask("save\nexit\n", "\n"); // the answer is the end of the connection
        EXPECT_EQ(read_file(conf), "tcpclient = " + up + "\ntcpclient = " + down + "\n");
        std::ofstream(conf) << before_conf;
        if (!had) unlink(conf.c_str());
        if (made) rmdir("/conf");
    }

    // Markers one at a time until one reaches the server peer: then none is on its
    // way, and its counter settles.
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    channel_push res_push(RES_PUSH);
    int peer = lo_connect(port);
    std::string name = "server " + lo_local_name(peer), got;
    for (int i = 0; i < 50 && !read_until(peer, got, "marker\n", 100); i++)
        res_push.send("marker\n");
    long long markers = static_cast<long long>(count_of(got, "marker\n"));
    ASSERT_TRUE(wait_until([&] {
        return stats_value(console_stats(), name, "msgs_out") == markers;
    })) << console_stats();
    std::string before = console_stats();
    for (int i = 0; i < 5; i++) {
        lo_send(peer, "from peer " + std::to_string(i) + "\n");
        EXPECT_EQ(cmd.next(), "from peer " + std::to_string(i) + "\n");
    }
    ASSERT_EQ(write(d.stdin_fd, "a\nb\nc\n", 6), 6);
    for (const char *line : {"a\n", "b\n", "c\n"}) EXPECT_EQ(cmd.next(), line);
    got.clear();
    for (int i = 0; i < 3; i++) res_push.send("to peer\n");
    EXPECT_TRUE(read_until(peer, got, "to peer\nto peer\nto peer\n"));
    std::string after = console_stats();
    const struct {
        std::string name, key;
        long long delta;
    } moved[] = {
        {name, "msgs_in", 5},       {name, "msgs_out", 3},       {name, "bytes_out", 24},
        {"stdio", "msgs_in", 3},    {"stdio", "bytes_in", 6},    {"command", "msgs_in", 8},
        {"command", "msgs_out", 8}, {"response", "msgs_out", 3}, {name, "dropped", 0},
    };
    for (const auto &m : moved)
        EXPECT_EQ(stats_value(after, m.name, m.key) - stats_value(before, m.name, m.key), m.delta)
            << m.name << " " << m.key << ": " << after;
    close(peer); // an ended connection's counters go with it
    EXPECT_TRUE(wait_stdout(d, " closed\n"));
    EXPECT_EQ(stats_value(console_stats(), name, "msgs_in"), -1);

    // Junk: oversize lines, every byte value, NULs (a NUL ends a command's text),
    // terminal keys. Replies are text and the session ends with the client.
    std::string bytes;
    for (int i = 0; i < 512; i++) bytes += static_cast<char>(i);
    for (const std::string &junk :
         {std::string(16384, 'A') + "\n", bytes, std::string(300, '\0'),
          std::string("help\nx\0quit\n", 12), std::string("\r\n\x1b[A\x7f\x03\x04\nhelp")}) {
        int fd = lo_connect(5550);
        EXPECT_TRUE(lo_send(fd, junk));
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(read_text(fd, std::string(1, '\0'), 2000).find('\0'), std::string::npos);
        EXPECT_TRUE(lo_wait_eof(fd, 500));
        close(fd);
    }

    // Every client up to the cap is answered at once; one more is told why not.
    ASSERT_TRUE(wait_until([&] { // every console session so far has ended
        std::string out = daemon_stdout(d);
        return count_of(out, "Connection from ip") ==
               count_of(out, "Connected by") + count_of(out, "Command thread exited.\n");
    }));
    std::vector<int> fds(30);
    for (int &fd : fds) ASSERT_TRUE((fd = lo_connect(5550)) >= 0 && lo_send(fd, "show bus mode\n"));
    for (int fd : fds) // a connection served only after the one before it fails here
        ASSERT_EQ(read_text(fd, "\n"), "  Bus mode is ctrl\n");
    int extra = lo_connect(5550);
    EXPECT_EQ(read_text(extra, "\n"), "  Too many console connections (limit 30)\n");
    EXPECT_TRUE(lo_wait_eof(extra));
    for (int fd : fds) close(fd);

    // quit and then list in one chunk: the list is still answered.
    EXPECT_EQ(console_ask("quit\nlist\n", "...\n"), list);
    EXPECT_TRUE(exited_cleanly(daemon_wait(d, 4000)));
    for (int c : {extra, lfd}) close(c);
}
