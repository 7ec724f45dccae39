// Memory of the daemon: a whole run under valgrind's memcheck loses nothing,
// remote peers cannot grow it beyond its queues, and what a peer cost is given
// back when it goes, also on a quiet channel.
#include "rig.h"

#include <fstream>

// A sanitizer's or qemu-user's own memory would be measured with the daemon's.
#ifdef VX_SANITIZED
#define SKIP_SANITIZED() GTEST_SKIP() << "a sanitizer's own memory would be measured"
#else
#define SKIP_SANITIZED() VX_SKIP_ON_EMULATOR("the emulator's own memory would be measured")
#endif

TEST(Memory, AFullRunUnderMemcheckLosesNoMemory)
{
    SKIP_SANITIZED();
    if (system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no valgrind";
    std::string input = temp_dir() + "/input.txt";
    std::ofstream(input) << "from the file\n";
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    // Any error, or a block definitely or indirectly lost, makes the exit status 99.
    opts.wrapper = {"valgrind", "-q", "--leak-check=full", "--error-exitcode=99",
                    "--errors-for-leak-kinds=definite,indirect"};
    rig r;
    rig_start(r, {"--stdin", "command", "--stdout", "response", "-i", input}, opts);
    EXPECT_EQ(rig_failures(r, "under memcheck"), "");
    ASSERT_EQ(write(r.d.stdin_fd, "from stdin\n", 11), 11);
    std::string m;
    while (r.cmd->recv(m, 5000) && m != "from stdin\n") continue;
    EXPECT_EQ(m, "from stdin\n");
    EXPECT_TRUE(wait_stdout(r.d, "response under memcheck\n"));
    EXPECT_NE(
        stats_value(console_stats(), "link 127.0.0.1:" + std::to_string(r.link_port), "connects"),
        -1);
    EXPECT_TRUE(exited_cleanly(daemon_stop(r.d, SIGINT, 60000))) << daemon_stderr(r.d);
}

TEST(Memory, PeersGiveTheirMemoryBackAndCannotGrowTheDaemonBeyondItsQueues)
{
    SKIP_SANITIZED();
    int port = lo_free_port();
    daemon_proc d;
    daemon_start(d, {"--tcpserver", std::to_string(port), "--pty"});
    // Server peers and subscribers come and go on a quiet channel: each used to
    // keep about 36 kB of pipes until the next message. The first rounds warm up
    // what is made once (stacks, arenas).
    const size_t N = 40; // peers of each kind per round
    long rss[6];
    for (size_t round = 0; round < 6; round++) {
        std::vector<int> peers(N);
        for (int &fd : peers) ASSERT_GE(fd = lo_connect(port), 0);
        ASSERT_TRUE(wait_until(
            [&] { return count_of(daemon_stdout(d), "Connected by") == N * (round + 1); }));
        for (int fd : peers) close(fd);
        for (size_t i = 0; i < N; i++) channel_sub(RES_SUB, RES_PUSH);
        ASSERT_TRUE(
            wait_until([&] { return count_of(daemon_stdout(d), " closed\n") == N * (round + 1); }));
        rss[round] = proc_status(d.pid, "VmRSS");
    }
    EXPECT_LT(rss[5] - rss[2], 1024)
        << rss[2] << " kB after three rounds, " << rss[5] << " after six";

    int stalled = lo_connect(port, 4096); // a server peer that never reads
    ASSERT_TRUE(wait_until([&] { return count_of(daemon_stdout(d), "Connected by") > N * 6; }));
    channel_sub never_read(RES_SUB, RES_PUSH);  // a remote subscriber that stops reading
    long base_kb = proc_status(d.pid, "VmRSS"); // the rounds' peak is not the flood's
    // 100 MiB is refused as its length arrives; 16 KiB still passes whole.
    channel_push(RES_PUSH).send(std::string(100 << 20, 'x'));
    {
        channel_sub res(RES_SUB, RES_PUSH);
        std::string largest(16 * 1024 - 1, 'm'), m;
        channel_push(RES_PUSH).send(largest + "\n");
        EXPECT_TRUE(res.recv(m) && m == largest + "\n") << m.size();
    }
    EXPECT_LT(proc_status(d.pid, "VmHWM") - base_kb, 10 * 1024);
    // 16 KiB messages for 2 s: the subscriber that does not read keeps 1000 of
    // them, the forwarder as many from the sender, each stalled bridge 100.
    channel_push flood(RES_PUSH);
    flood.sock.set(zmq::sockopt::sndtimeo, 100);
    std::string block(16 * 1024, 'f');
    long sent = 0;
    for (long long end = now_ms() + 2000; now_ms() < end;)
        if (flood.sock.send(zmq::buffer(block), zmq::send_flags::none)) sent++;
    EXPECT_GT(sent, 3000);
    EXPECT_LT(proc_status(d.pid, "VmHWM") - base_kb, 48 * 1024);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
    close(stalled);
}
