// The two channels and the standard-stream and input-file bridges of the real
// daemon, seen from ZeroMQ clients.
#include "emulation.h"
#include "harness.h"

#include <fstream>

namespace
{

TEST(Channels, MessagesPassUnchangedOverTcpAndIpcAndChannelsStayApart)
{
    daemon_proc d;
    daemon_start(d, {"--stdout", "response"});
    channel_sub cmd(CMD_SUB, CMD_PUSH), cmd_ipc("ipc:///tmp/vexlond_pub_cmd", CMD_PUSH);
    channel_sub res(RES_SUB, RES_PUSH), res_ipc("ipc:///tmp/vexlond_pub_res", RES_PUSH);
    channel_push cmd_tcp(CMD_PUSH), cmd_rel("ipc://" + d.dir + "/tmp/vexlond_pull_cmd");
    channel_push res_rel("ipc://" + d.dir + "/tmp/vexlond_pull_res");
    // Each message is taken off both publishers before the next is pushed: PULL
    // queues fairly between producers, so order holds only within one producer.
    const std::pair<channel_push *, std::string> steps[] = {{&cmd_tcp, "status?\n"},
                                                            {&cmd_rel, std::string(16384, 'x')},
                                                            {&cmd_tcp, ""}};
    for (const auto &st : steps) {
        st.first->send(st.second);
        for (channel_sub *s : {&cmd, &cmd_ipc})
            EXPECT_EQ(s->next(), st.second);
    }
    // Past the channel's 16 KiB bound a message is refused whole, never cut.
    cmd_tcp.send(std::string(16385, 'y'));
    EXPECT_TRUE(cmd.silent());
    EXPECT_TRUE(res.silent());
    res_rel.send("ok\n");
    EXPECT_EQ(res.next(), "ok\n");
    EXPECT_EQ(res_ipc.next(), "ok\n");
    EXPECT_TRUE(cmd.silent());
    channel_sub late(RES_SUB, RES_PUSH); // a late subscriber misses what came before
    EXPECT_TRUE(late.silent());

    // Standard output gets the response channel's messages unframed. The bridge's
    // own subscription may still be joining: probe until it shows.
    for (int i = 0; i < 50 && !wait_stdout(d, "#probe\n", 100); i++)
        res_rel.send("#probe\n");
    for (const char *msg : {"part one", " and two\n", "", "cmd-free\n"})
        res_rel.send(msg);
    EXPECT_TRUE(wait_stdout(d, "part one and two\ncmd-free\n"));
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(StdioBridge, StdinEchoesOnStdoutAnInputFileIsReadOnceAndSigtermStops)
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
    ASSERT_EQ(write(d.stdin_fd, "ld\n", 3), 3);
    EXPECT_EQ(cmd.next(), "ld\n");
    EXPECT_TRUE(wait_stdout(d, "hello\nworld\n"));
    // End of file pauses the input for a second; appended data is still read,
    // once, unframed.
    std::ofstream(file, std::ios::app) << "appended line\n";
    EXPECT_EQ(cmd.next(3000), "appended line\n");
    EXPECT_TRUE(cmd.silent(1500));

    long elapsed = 0;
    int status = daemon_stop(d, SIGTERM, 5000, &elapsed);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(elapsed, 3000); // the run loop's wake-up and the one-second pause
    // End of input is reported once per stretch, not once per poll.
    size_t eofs =
        count_of(daemon_stdout(d), "i=0 socket=" + vx_libc_text("(nil)", "0") + " length=0");
    EXPECT_TRUE(eofs == 1 || eofs == 2) << daemon_stdout(d);
}

} // namespace
