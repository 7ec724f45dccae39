// The daemon under faults, floods, slow and many peers, and memcheck.
#include "kit.h"

#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>

#ifdef VX_SANITIZED
#define SKIP_SANITIZED() GTEST_SKIP() << "a sanitizer's own memory would be measured"
#else
#define SKIP_SANITIZED() VX_SKIP_ON_EMULATOR("the emulator's own memory would be measured")
#endif

// A daemon with one endpoint of every kind, each held by the test.
struct rig {
    daemon_proc d;
    pty_port bus;         // serial stand-in: the test is the bus
    std::string pty_link; // where --pty puts its link
    int pty = -1;         // the program on the daemon's pty
    int server_port = 0, server = -1, link_port = 0, link_listen = -1, link = -1;
    std::unique_ptr<channel_sub> cmd, res; // both channels, live
    ~rig()
    {
        for (int fd : {pty, server, link_listen, link}) close(fd);
    }
};

// Starts the daemon with every endpoint (`args` appended) and connects them.
static void rig_start(rig &r, std::vector<std::string> args = {}, daemon_start_opts opts = {})
{
    r.link_listen = lo_listen(&r.link_port);
    r.server_port = lo_free_port();
    r.pty_link = temp_dir() + "/vexlon";
    args.insert(args.begin(), {"--serial", r.bus.link + ":9600", "--pty=" + r.pty_link,
                               "--tcpserver", std::to_string(r.server_port), "--tcpclient",
                               "127.0.0.1:" + std::to_string(r.link_port)});
    if (!opts.wrapper.empty()) opts.ready_ms = 30000;
    daemon_start(r.d, args, opts);
    r.link = lo_accept(r.link_listen);
    r.server = lo_connect(r.server_port);
    r.pty = open_raw(r.pty_link);
    EXPECT_TRUE(r.link >= 0 && r.server >= 0 && r.pty >= 0) << daemon_stdout(r.d);
    r.cmd.reset(new channel_sub(CMD_SUB, CMD_PUSH));
    r.res.reset(new channel_sub(RES_SUB, RES_PUSH));
}

// The endpoints whose traffic fails ("in:pty", "out:link", "console"...), empty
// when none does; `reading` false leaves out the consumers (their peers do not read).
static std::string rig_failures(rig &r, const std::string &tag, bool reading = true)
{
    struct end {
        const char *name;
        int fd;
        channel_sub *into; // the channel it feeds; it is fed the other one
        bool fed = false;
    } ends[] = {{"server", r.server, r.cmd.get()},
                {"pty", r.pty, r.cmd.get()},
                {"link", r.link, r.res.get()},
                {"bus", r.bus.master, r.cmd.get()}};
    std::string failed, m;
    for (const end &e : ends) {
        // Again every 500 ms: our subscription may still be full of an earlier flood.
        const std::string line = std::string(e.name) + " says " + tag + "\n";
        bool came = false;
        for (int i = 0; i < 6 && !came; i++) {
            (void)!write(e.fd, line.data(), line.size());
            for (long long t = now_ms() + 500; !came && e.into->recv(m, int(t - now_ms()));)
                came = m == line;
        }
        if (!came) failed += std::string(" in:") + e.name;
    }
    // Again until each consumer has it whole: a link just back may still subscribe.
    const std::string to_res = "response " + tag + "\n", to_cmd = "command " + tag + "\n";
    channel_push res(RES_PUSH), cmd(CMD_PUSH);
    for (int i = 0, all = 0; reading && i < 40 && !all; i++) {
        res.send(to_res);
        cmd.send(to_cmd);
        all = 1;
        for (end &e : ends) {
            std::string got;
            all &= e.fed |= read_until(e.fd, got, e.into == r.cmd.get() ? to_res : to_cmd, 50);
        }
    }
    for (const end &e : ends)
        if (reading && !e.fed) failed += std::string(" out:") + e.name;
    if (console_ask("show bus mode\n", "\n") != "  Bus mode is card\n") failed += " console";
    return failed;
}

static void link_cycles(int count)
{
    int port = 0, lfd = lo_listen(&port), con = lo_connect(5550);
    std::string peer = "127.0.0.1:" + std::to_string(port);
    for (int i = 0; i < count; i++) {
        lo_send(con, "connect to " + peer + "\n");
        int fd = lo_accept(lfd);
        EXPECT_GE(fd, 0);
        lo_send(con, "disconnect " + peer + "\n");
        EXPECT_TRUE(lo_wait_eof(fd));
        close(fd);
    }
    lo_send(con, "exit\n"); // its descriptor closed when the connection ends
    EXPECT_TRUE(lo_wait_eof(con));
    for (int fd : {con, lfd}) close(fd);
}

TEST(Faults, EveryEndpointOutlivesFaultsCyclesLeaveNothingAndStoppedReadersHoldNothingUp)
{
    rig r;
    rig_start(r);
    ASSERT_EQ(rig_failures(r, "at start"), "");
    for (int i = 1, one = 1; i <= 10; i++) {
        // The link's peer restarts, the last time gone without FIN or reset (power
        // lost): only the idle link's keepalive probe after 5 s, reset, tells.
        bool silent = i == 10 && !setsockopt(r.link, IPPROTO_TCP, TCP_REPAIR, &one, sizeof one);
        if (i == 10 && !silent) printf("keepalive unchecked: TCP_REPAIR needs CAP_NET_ADMIN\n");
        for (int fd : {r.link, r.link_listen}) close(fd);
        r.link_listen = lo_listen(&r.link_port);
        ASSERT_GE(r.link = lo_accept(r.link_listen, silent ? 12000 : 3000), 0) << "restart " << i;
        if (i == 4) { // a server peer that stops reading is reset amid a flood
            int peer = lo_connect(r.server_port, 1024);
            std::string name = lo_local_name(peer);
            ASSERT_TRUE(wait_stdout(r.d, "Connected by " + name + "...\n"));
            channel_push res(RES_PUSH);
            for (int n = 0; n < 1600; n++) {
                if (n == 1500) lo_reset(peer);
                res.send(std::string(4000, 'f') + "\n");
            }
            EXPECT_TRUE(wait_stdout(r.d, "Connection from " + name + " closed\n"));
        }
        if (i == 6) { // the program on the daemon's pty closes it and opens it again
            close(r.pty);
            r.pty = open_raw(r.pty_link);
        }
        ASSERT_TRUE(i != 8 || (r.bus.replace() && wait_stdout(r.d, " is back\n")));
        EXPECT_EQ(rig_failures(r, "after restart " + std::to_string(i)), "")
            << "restart " << i << daemon_stderr(r.d);
    }
    EXPECT_EQ(count_of(daemon_stdout(r.d), "success\n"), 11u);

    auto sessions_ended = [&] { // every console connection's thread has said so
        std::string out = daemon_stdout(r.d);
        return count_of(out, "Connection from ip") ==
               count_of(out, "Connected by") + count_of(out, "Command thread exited.\n");
    };
    link_cycles(1); // what is made once on first use is not a leak
    ASSERT_TRUE(wait_until(sessions_ended));
    int fds = fd_count(r.d.pid);
    long threads = proc_status(r.d.pid, "Threads");
    std::vector<std::thread> consoles;
    for (int i = 0; i < 8; i++) consoles.emplace_back(link_cycles, 25);
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(console_ask("show bus mode\n", "\n"), "  Bus mode is card\n");
    for (std::thread &t : consoles) t.join();
    EXPECT_EQ(count_of(daemon_stdout(r.d), "Connection found, end it.\n"), 201u);
    // A session's thread ends just after its last line; a leak would be one a cycle.
    EXPECT_TRUE(wait_until([&] {
        return sessions_ended() && fd_count(r.d.pid) <= fds &&
               proc_status(r.d.pid, "Threads") <= threads;
    })) << fd_count(r.d.pid)
        << " descriptors (" << fds << "), " << proc_status(r.d.pid, "Threads") << " threads";

    // Readers that stop: a console client leaving its replies unread, and floods.
    int console = lo_connect(5550, 1024), refused = 0;
    std::string help;
    for (int i = 0; i < 40; i++) help += "help\n";
    for (long long end = now_ms() + 10000; refused < 3 && now_ms() < end;) {
        bool taken = send(console, help.data(), help.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
        refused = taken ? 0 : refused + 1;
        if (!taken) usleep(100000); // the replies fill our window meanwhile
    }
    EXPECT_EQ(refused, 3);
    channel_push res(RES_PUSH), cmd(CMD_PUSH);
    for (int i = 0; i < 4000; i++) {
        res.send(std::string(4000, 's') + "\n");
        cmd.send(std::string(4000, 's') + "\n");
    }
    EXPECT_EQ(rig_failures(r, "while stalled", false), "");
    int fresh = lo_connect(r.server_port);
    std::string got;
    for (int i = 0; i < 40 && !read_until(fresh, got, "for the new peer\n", 50); i++)
        res.send("for the new peer\n");
    EXPECT_NE(got.find("for the new peer\n"), std::string::npos);
    EXPECT_TRUE(wait_stderr(r.d, "inout_thread: output not read, dropping messages\n"));
    EXPECT_TRUE(wait_stderr(r.d, "inout_thread: pty not read, dropping messages\n"));
    EXPECT_TRUE(wait_until([] { return stats_value(console_stats(), "pty", "dropped") > 0; }));
    lo_reset(console); // it vanishes in the middle of a reply
    EXPECT_TRUE(wait_until(sessions_ended));
    // The link's peer, shut since the flood, still answers, so keepalive cannot
    // tell: the user timeout (8 s) ends the link, which is made again.
    int again = lo_accept(r.link_listen, 15000);
    EXPECT_GE(again, 0);
    EXPECT_TRUE(exited_cleanly(daemon_stop(r.d)));
    for (int fd : {fresh, again}) close(fd);
}

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
    rig_start(r, {"--stdin", "command", "--stdout", "command", "-i", input}, opts);
    EXPECT_EQ(rig_failures(r, "under memcheck"), "");
    ASSERT_EQ(write(r.d.stdin_fd, "from stdin\n", 11), 11);
    EXPECT_TRUE(wait_stdout(r.d, "from stdin\n", 5000));
    EXPECT_NE(console_stats().find("link 127.0.0.1:"), std::string::npos);
    EXPECT_TRUE(exited_cleanly(daemon_stop(r.d, SIGINT, 60000))) << daemon_stderr(r.d);
}

TEST(Memory, PeersGiveTheirMemoryBackAndCannotGrowTheDaemonBeyondItsQueues)
{
    SKIP_SANITIZED();
    int port = lo_free_port();
    daemon_proc d;
    daemon_start(d, {"--tcpserver", std::to_string(port), "--pty"});
    // Each used to keep about 36 kB of pipes until the next message. The first
    // rounds warm up what is made once (stacks, arenas).
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
    channel_push(RES_PUSH).send(std::string(16 * 1024, 'm'));
    EXPECT_EQ(never_read.next(), std::string(16 * 1024, 'm'));
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

TEST(Load, AHundredAndFiftyServerPeersEachGetEveryResponseAndPublishAtOnceInOrder)
{
    const int SERVERS = 150, WINDOW = 200; // far fewer in flight than any queue holds
    // Three descriptors a connection: the daemon must raise the soft limit of 256.
    rlimit files, low;
    getrlimit(RLIMIT_NOFILE, &files);
    low = {256, files.rlim_max};
    setrlimit(RLIMIT_NOFILE, &low);
    int port = lo_free_port();
    daemon_proc d;
    daemon_start(d, {"--tcpserver", std::to_string(port)});
    setrlimit(RLIMIT_NOFILE, &files);
    std::vector<int> peers(SERVERS);
    for (int &fd : peers) ASSERT_GE(fd = lo_connect(port), 0);
    ASSERT_TRUE(wait_until([&] { return count_of(daemon_stdout(d), "Connected by") == SERVERS; }));
    channel_push res(RES_PUSH);
    std::vector<std::string> got(SERVERS);
    for (int i = 0; i < SERVERS; i++) // every subscription live
        for (int t = 0; t < 50 && !read_until(peers[i], got[i], "#probe\n", 100); t++)
            res.send("#probe\n");
    size_t sent = 0;
    for (long long end = now_ms() + 3000; now_ms() < end;) {
        std::string window;
        for (int i = 0; i < WINDOW; i++, sent++) {
            res.send("r" + std::to_string(sent) + "\n");
            window += "r" + std::to_string(sent) + "\n";
        }
        for (int i = 0; i < SERVERS; i++) { // whole, in order, none missing
            read_until(peers[i], got[i], window, 5000);
            ASSERT_EQ(without_probes(got[i]), window) << "peer " << i;
            got[i].clear();
        }
    }
    EXPECT_GE(sent, size_t(1000));
    // All peers' bridges publish commands at once beside the forwarder: none lost, each in order.
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    channel_push ext(CMD_PUSH);
    auto line = [](int i, int n) { return std::to_string(i) + "." + std::to_string(n) + "\n"; };
    std::vector<std::string> want(SERVERS + 1), from(SERVERS + 1); // by sender, ext's last
    for (int n = 0; n < 4; n++)
        for (int i = 0; i <= SERVERS; i++) {
            want[i] += line(i, n);
            i < SERVERS ? (void)lo_send(peers[i], line(i, n)) : ext.send(line(i, n));
        }
    while (from != want && cmd.recv(cmd.last, 5000)) from.at(std::stoul(cmd.last)) += cmd.last;
    EXPECT_EQ(from, want);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
    for (int fd : peers) close(fd);
}
