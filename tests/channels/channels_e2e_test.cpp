// The two channels and the standard-stream and input-file bridges of the real
// daemon, seen from ZeroMQ clients: what passes, in which order, what is
// dropped and counted, and that a channel that has room loses nothing.
#include "kit.h"

#include <fstream>

// Takes what is queued on `s` (probes left out), waiting up to 2 s for the first.
static bool take_arrived(zmq::socket_t &s, std::vector<std::string> &out)
{
    std::string m;
    for (int wait = 2000; channel_recv(s, m, wait); wait = 0)
        if (!is_probe(m)) out.push_back(m);
    return !out.empty();
}

TEST(Channels, MessagesPassInOrderOversizeOnesAloneAreDroppedAndNoneIsLostWhileThereIsRoom)
{
    daemon_proc d;
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    daemon_start(d, {"--stdout", "response", "--stdin", "command"}, opts);
    channel_sub cmd(CMD_SUB, CMD_PUSH), cmd_ipc("ipc:///tmp/vexlond_pub_cmd", CMD_PUSH);
    channel_sub res(RES_SUB, RES_PUSH), res_ipc("ipc:///tmp/vexlond_pub_res", RES_PUSH);
    channel_push cmd_tcp(CMD_PUSH), cmd_rel("ipc://" + d.dir + "/tmp/vexlond_pull_cmd");
    channel_push res_rel("ipc://" + d.dir + "/tmp/vexlond_pull_res");
    // Each message is taken off both publishers before the next is pushed: PULL
    // queues fairly between producers, so order holds only within one producer.
    for (const auto &st : {std::make_pair(&cmd_tcp, std::string("status?\n")),
                           {&cmd_rel, std::string(16384, 'x')},
                           {&cmd_tcp, std::string()}}) {
        st.first->send(st.second);
        for (channel_sub *s : {&cmd, &cmd_ipc}) EXPECT_EQ(s->next(), st.second);
    }
    // Past 16 KiB a message is dropped alone and counted: what its sender sends
    // next arrives, in order.
    std::string before = console_stats();
    for (const std::string &m : {std::string(20000, 'y'), std::string("after 1\n"),
                                 std::string(16385, 'z'), std::string("after 2\n")})
        cmd_tcp.send(m);
    EXPECT_EQ(cmd.next(), "after 1\n");
    EXPECT_EQ(cmd.next(), "after 2\n");
    std::string after = console_stats();
    for (auto key : {std::make_pair("msgs_in", 4), {"msgs_out", 2}, {"dropped", 2}})
        EXPECT_EQ(stats_value(after, "command", key.first) -
                      stats_value(before, "command", key.first),
                  key.second)
            << key.first << "\n"
            << after;
    EXPECT_TRUE(res.silent());
    res_rel.send("ok\n");
    EXPECT_EQ(res.next(), "ok\n");
    EXPECT_EQ(res_ipc.next(), "ok\n");
    EXPECT_TRUE(cmd.silent());
    channel_sub late(RES_SUB, RES_PUSH); // a late subscriber misses what came before
    EXPECT_TRUE(late.silent());
    // Standard output gets the response channel's messages unframed; its
    // subscription was in place before the daemon was ready.
    for (const char *msg : {"part one", " and two\n", "", "cmd-free\n"}) res_rel.send(msg);
    EXPECT_TRUE(wait_until([&] {
        return without_probes(daemon_stdout(d)).find("ok\npart one and two\ncmd-free\n") !=
               std::string::npos;
    })) << daemon_stdout(d);

    // Regression: queues looked full, and dropped, when a socket had not yet heard
    // how far its peer had read. Pushed messages, then stdin, in half-window
    // bursts of a window of 150 lines, far below the 1000 a queue holds.
    const size_t TOTAL = 30000, BURST = 75;
    std::string stream;
    for (size_t i = 0; i < TOTAL; i++)
        stream += "msg " + std::to_string(100000 + i) + " ........\n";
    const size_t line = stream.size() / TOTAL;
    for (bool from_stdin : {false, true}) {
        std::vector<std::string> got;
        for (size_t sent = 0, arrived = 0; arrived < stream.size(); got.clear()) {
            if (sent - arrived <= BURST * line && sent < stream.size()) {
                size_t n = std::min(BURST * line, stream.size() - sent);
                ASSERT_TRUE(!from_stdin || write(d.stdin_fd, &stream[sent], n) == ssize_t(n));
                for (size_t at = sent; !from_stdin && at < sent + n; at += line)
                    cmd_tcp.send(stream.substr(at, line));
                sent += n;
            }
            ASSERT_TRUE(take_arrived(cmd.sock, got)) << "lost after byte " << arrived;
            // A read that ends inside a line sends it in two messages: in order
            // they spell the stream that was written.
            for (const std::string &m : got) {
                ASSERT_EQ(m, stream.substr(arrived, m.size()));
                arrived += m.size();
            }
        }
    }
    EXPECT_EQ(daemon_stderr(d).find("zmq_send"), std::string::npos) << daemon_stderr(d);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
}

TEST(StdioBridge, StdinEchoesAnEndedInputHoldsNothingUpAndAFileIsFollowed)
{
    // Without a tmp directory the IPC PULL endpoints are missing: everything here
    // goes over TCP. The file starts empty and is filled once the channel is
    // watched, so no line can go out before the test listens.
    std::string dir = temp_dir(), file = dir + "/later.txt";
    std::ofstream(file).close();
    daemon_proc d;
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    opts.make_tmp_dir = false;
    opts.dir = dir;
    daemon_start(d, {"--stdin", "command", "--stdout", "command", "-i", file}, opts);
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    ASSERT_EQ(write(d.stdin_fd, "hello\nwor", 9), 9);
    EXPECT_EQ(cmd.next(), "hello\n");
    EXPECT_EQ(cmd.next(), "wor");
    // The writer finishes at once: the end of input is reported once and the
    // output goes on serving.
    ASSERT_EQ(write(d.stdin_fd, "ld\n", 3), 3);
    close(d.stdin_fd);
    d.stdin_fd = -1;
    EXPECT_EQ(cmd.next(), "ld\n");
    channel_push(CMD_PUSH).send("after the end\n");
    EXPECT_EQ(cmd.next(), "after the end\n");
    const std::string eof = "i=0 socket=(nil) length=0\n";
    EXPECT_TRUE(wait_until([&] {
        std::string out = without_probes(daemon_stdout(d));
        for (size_t at; (at = out.find(eof)) != std::string::npos;) out.erase(at, eof.size());
        return out.find("hello\nworld\nafter the end\n") != std::string::npos;
    })) << daemon_stdout(d);
    // Data appended to the input file later is read, once, unframed.
    std::ofstream(file, std::ios::app) << "appended line\n";
    EXPECT_EQ(cmd.next(), "appended line\n");
    EXPECT_TRUE(cmd.silent());
    EXPECT_TRUE(exited_cleanly(daemon_stop(d, SIGTERM)));
    // Once per stretch: stdin's end, the file's end before and after the append.
    EXPECT_EQ(count_of(daemon_stdout(d), eof), 3u) << daemon_stdout(d);
}
