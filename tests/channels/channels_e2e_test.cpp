// The two channels and the standard-stream and input-file bridges of the real
// daemon, seen from ZeroMQ clients.
#include "harness.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(Channels, MessagesPassUnchangedOverTcpAndIpcAndChannelsStayApart)
{
    daemon_proc d;
    daemon_start(d, {});
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    channel_sub cmd_ipc("ipc:///tmp/vexlond_pub_cmd", CMD_PUSH);
    channel_sub res(RES_SUB, RES_PUSH);
    channel_sub res_ipc("ipc:///tmp/vexlond_pub_res", RES_PUSH);

    channel_push cmd_tcp(CMD_PUSH);
    channel_push cmd_rel("ipc://" + d.dir + "/tmp/vexlond_pull_cmd");
    channel_push res_rel("ipc://" + d.dir + "/tmp/vexlond_pull_res");

    std::string big(5000, 'x');
    std::string bigger(16384, 'y'); // the largest message a channel takes
    // Each message is taken off both publishers before the next is pushed: PULL
    // queues fairly between producers, so order holds only within one producer.
    struct step {
        channel_push *via;
        std::string msg;
    };
    std::vector<step> steps = {
        {&cmd_tcp, "status?\n"}, {&cmd_rel, big}, {&cmd_tcp, ""}, {&cmd_rel, bigger}};
    std::string m;
    for (const step &st : steps) {
        st.via->send(st.msg);
        for (channel_sub *s : {&cmd, &cmd_ipc}) {
            ASSERT_TRUE(s->recv(m));
            // No fixed receive buffer cuts a message short.
            EXPECT_EQ(m.size(), st.msg.size());
            EXPECT_EQ(m, st.msg);
        }
    }
    EXPECT_TRUE(res.silent());

    res_rel.send("ok\n");
    for (channel_sub *s : {&res, &res_ipc}) {
        ASSERT_TRUE(s->recv(m));
        EXPECT_EQ(m, "ok\n");
    }
    EXPECT_TRUE(cmd.silent());
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(Channels, LateSubscriberMissesEarlierMessages)
{
    daemon_proc d;
    daemon_start(d, {});
    channel_sub first(RES_SUB, RES_PUSH);
    channel_push push(RES_PUSH);
    push.send("early\n");
    std::string m;
    ASSERT_TRUE(first.recv(m));
    channel_sub late(RES_SUB, RES_PUSH);
    EXPECT_TRUE(late.silent());
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(Channels, WithoutATmpDirectoryTheTcpEndpointsStillWork)
{
    daemon_proc d;
    daemon_start_opts opts;
    opts.make_tmp_dir = false;
    daemon_start(d, {}, opts);
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    channel_push(CMD_PUSH).send("x\n");
    std::string m;
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "x\n");
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(Channels, PortOptionsMoveTheChannels)
{
    daemon_proc d;
    daemon_start(d, {"--publish_command_port", "6552", "--pull_command_port", "6554"});
    channel_sub cmd("tcp://127.0.0.1:6552", "tcp://127.0.0.1:6554");
    channel_push("tcp://127.0.0.1:6554").send("moved\n");
    std::string m;
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "moved\n");
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(StdioBridge, StdinCommandStdoutCommandEchoesEveryLine)
{
    daemon_proc d;
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    daemon_start(d, {"--stdin", "command", "--stdout", "command"}, opts);
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    ASSERT_EQ(write(d.stdin_fd, "hello\nwor", 9), 9);
    std::string m;
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "hello\n");
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "wor");
    ASSERT_EQ(write(d.stdin_fd, "ld\n", 3), 3);
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "ld\n");
    EXPECT_TRUE(wait_stdout(d, "hello\nworld\n"));
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(StdioBridge, StdoutResponseWritesResponsesUnframed)
{
    daemon_proc d;
    daemon_start(d, {"--stdout", "response"});
    // The bridge's own subscription may still be joining: probe until it shows.
    channel_push push(RES_PUSH);
    bool seen = false;
    for (int i = 0; i < 50 && !seen; i++) {
        push.send("#probe\n");
        seen = wait_stdout(d, "#probe\n", 100);
    }
    ASSERT_TRUE(seen);
    push.send("part one");
    push.send(" and two\n");
    EXPECT_TRUE(wait_stdout(d, "part one and two\n"));
    push.send("");
    push.send("cmd-free\n");
    EXPECT_TRUE(wait_stdout(d, "and two\ncmd-free\n"));
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(InputFile, FileIsPushedIntoTheCommandChannelOnceWithoutFlooding)
{
    daemon_proc d;
    std::string dir = temp_dir();
    // The file starts empty and is filled once the subscription is live, so no
    // line can go out before the test listens.
    std::ofstream(dir + "/later.txt").close();
    daemon_start_opts opts;
    opts.dir = dir;
    daemon_start(d, {"-i", dir + "/later.txt"}, opts);
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    {
        std::ofstream f(dir + "/later.txt", std::ios::app);
        f << "appended line\n";
    }
    // End of file pauses the input for a second; appended data is still read.
    std::string m;
    ASSERT_TRUE(cmd.recv(m, 3000));
    EXPECT_EQ(m, "appended line\n");
    EXPECT_TRUE(cmd.silent(1500));
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
    // End of input is reported once per stretch, not once per poll.
    std::string out = daemon_stdout(d);
    size_t eofs = 0;
    for (size_t pos = 0; (pos = out.find("i=0 socket=(nil) length=0", pos)) != std::string::npos;
         pos++)
        eofs++;
    EXPECT_LE(eofs, 2u) << out;
    EXPECT_GE(eofs, 1u) << out;
}

} // namespace
