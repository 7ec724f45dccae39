// The channels and the endpoints that feed them: standard streams, a file, a pty.
#include "kit.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>

TEST(Channels, MessagesPassInOrderOversizeOnesAloneAreDroppedAndNoneIsLostWhileThereIsRoom)
{
    daemon_proc d;
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    daemon_start(d, {"--stdin", "command"}, opts);
    channel_sub cmd(CMD_SUB, CMD_PUSH), cmd_ipc("ipc:///tmp/vexlond_pub_cmd", CMD_PUSH);
    channel_sub res(RES_SUB, RES_PUSH), res_ipc("ipc:///tmp/vexlond_pub_res", RES_PUSH);
    channel_push cmd_tcp(CMD_PUSH), cmd_rel("ipc://" + d.dir + "/tmp/vexlond_pull_cmd");
    channel_push res_rel("ipc://" + d.dir + "/tmp/vexlond_pull_res");
    // One at a time: PULL queues fairly, so order holds only within a producer.
    for (const auto &st : {std::make_pair(&cmd_tcp, std::string("status?\n")),
                           {&cmd_rel, std::string(16384, 'x')},
                           {&cmd_tcp, std::string()}}) {
        st.first->send(st.second);
        for (channel_sub *s : {&cmd, &cmd_ipc}) EXPECT_EQ(s->next(), st.second);
    }
    std::string before = console_stats();
    for (const std::string &m : {std::string(20000, 'y'), std::string("after 1\n"),
                                 std::string(16385, 'z'), std::string("after 2\n")})
        cmd_tcp.send(m);
    EXPECT_EQ(cmd.next(), "after 1\n");
    EXPECT_EQ(cmd.next(), "after 2\n");
    std::string after = console_stats();
    auto moved = [&](const char *key) {
        return stats_value(after, "command", key) - stats_value(before, "command", key);
    };
    EXPECT_TRUE(moved("msgs_in") == 4 && moved("msgs_out") == 2 && moved("dropped") == 2) << after;
    res_rel.send("ok\n");
    for (channel_sub *s : {&res, &res_ipc}) EXPECT_EQ(s->next(), "ok\n");
    EXPECT_TRUE(cmd.silent());
    EXPECT_TRUE(channel_sub(RES_SUB, RES_PUSH).silent()); // a late one misses what came before

    // Regression: queues looked full before hearing how far the peer had read. Pushed,
    // then from stdin, with at most 150 lines in flight (a queue holds 1000).
    const size_t TOTAL = 30000, BURST = 75;
    std::string stream, m;
    for (size_t i = 0; i < TOTAL; i++)
        stream += "msg " + std::to_string(100000 + i) + " ........\n";
    const size_t line = stream.size() / TOTAL;
    for (bool from_stdin : {false, true})
        for (size_t sent = 0, arrived = 0, was = 0; arrived < stream.size(); was = arrived) {
            if (sent - arrived <= BURST * line && sent < stream.size()) {
                size_t n = std::min(BURST * line, stream.size() - sent);
                ASSERT_TRUE(!from_stdin || write(d.stdin_fd, &stream[sent], n) == ssize_t(n));
                for (size_t at = sent; !from_stdin && at < sent + n; at += line)
                    cmd_tcp.send(stream.substr(at, line));
                sent += n;
            }
            // A read that ends inside a line sends it in two messages.
            for (int wait = 2000; cmd.recv(m, wait); wait = 1) {
                ASSERT_EQ(m, stream.substr(arrived, m.size()));
                arrived += m.size();
            }
            ASSERT_GT(arrived, was) << "lost after byte " << arrived;
        }
    EXPECT_EQ(daemon_stderr(d).find("zmq_send"), std::string::npos) << daemon_stderr(d);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
}

TEST(StdioBridge, StdinEchoesAnEndedInputHoldsNothingUpAndAFileIsFollowed)
{
    // No tmp directory: all over TCP. The file is filled once the channel is watched.
    std::string file = temp_dir() + "/later.txt";
    std::ofstream(file).close();
    daemon_proc d;
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    opts.make_tmp_dir = false;
    daemon_start(d, {"--stdin", "command", "--stdout", "command", "-i", file}, opts);
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    ASSERT_EQ(write(d.stdin_fd, "hello\nwor", 9), 9);
    EXPECT_EQ(cmd.next(), "hello\n");
    EXPECT_EQ(cmd.next(), "wor");
    ASSERT_EQ(write(d.stdin_fd, "ld\n", 3), 3);
    close(std::exchange(d.stdin_fd, -1)); // the writer finishes at once
    EXPECT_EQ(cmd.next(), "ld\n");
    channel_push(CMD_PUSH).send("after the end\n");
    EXPECT_EQ(cmd.next(), "after the end\n");
    const std::string eof = "i=0 socket=(nil) length=0\n";
    EXPECT_TRUE(wait_until([&] {
        std::string out = without_probes(daemon_stdout(d));
        for (size_t at; (at = out.find(eof)) != std::string::npos;) out.erase(at, eof.size());
        return out.find("hello\nworld\nafter the end\n") != std::string::npos;
    })) << daemon_stdout(d);
    std::ofstream(file, std::ios::app) << "appended line\n";
    EXPECT_EQ(cmd.next(), "appended line\n");
    EXPECT_TRUE(cmd.silent());
    EXPECT_TRUE(exited_cleanly(daemon_stop(d, SIGTERM)));
    // Once per stretch: stdin's end, the file's end before and after the append.
    EXPECT_EQ(count_of(daemon_stdout(d), eof), 3u) << daemon_stdout(d);
}

TEST(Pty, ProgramOnTheLinkTalksRawAndFindsNothingStale)
{
    std::string link = temp_dir() + "/bus0";
    close(open(link.c_str(), O_WRONLY | O_CREAT, 0644));
    daemon_proc d;
    daemon_start(d, {"--pty=" + link});
    EXPECT_TRUE(wait_stdout(d, "################\npth: " + link + "\n################\n"));
    // Far more than a pty holds, with nobody on the slave: with echo on it would
    // come back as commands, and the program opening the slave would get it stale.
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    channel_push res(RES_PUSH);
    for (int i = 0; i < 1500; i++) res.send(std::string(60, 'r') + "\n");
    EXPECT_TRUE(cmd.silent(500));
    int fd = open_raw(link);
    ASSERT_TRUE(isatty(fd)); // the file there was replaced by a link to the slave
    EXPECT_EQ(read_text(fd, "", 300), "");
    ASSERT_EQ(write(fd, "status? 7\n", 10), 10);
    EXPECT_EQ(cmd.next(), "status? 7\n");
    res.send("OK 7\r\n\x01\n");
    EXPECT_EQ(read_text(fd, "OK 7\r\n\x01\n"), "OK 7\r\n\x01\n");
    EXPECT_TRUE(cmd.silent()); // nothing echoed back
    close(fd);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
    EXPECT_EQ(daemon_stderr(d).find("pollerr"), std::string::npos);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}
