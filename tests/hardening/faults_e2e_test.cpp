// Faults around a daemon with one endpoint of every kind: after each, every other
// endpoint still carries traffic; and many short-lived links and console sessions
// leave no descriptor or thread behind.
#include "emulation.h"
#include "loopback.h"
#include "rig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

// A second server peer that stops reading is reset while the response channel
// floods it (and, unread meanwhile, every other consumer).
void server_reset_under_flood(rig &r)
{
    int peer = lo_connect(r.server_port, 1024);
    std::string name = lo_local_name(peer);
    ASSERT_TRUE(wait_stdout(r.d, "Connected by " + name + "...\n"));
    channel_push res(RES_PUSH);
    std::string block(4000, 'f');
    block += "\n";
    for (int i = 0; i < 1500; i++)
        res.send(block);
    lo_reset(peer);
    for (int i = 0; i < 100; i++)
        res.send(block);
    EXPECT_TRUE(wait_stdout(r.d, "Connection from " + name + " closed\n"));
}

// The bus side of the serial stand-in closes, which hangs up the daemon's port,
// and a new bus appears behind the same link. The daemon opens its port once, so
// it keeps the hung-up one: it must neither spin on it nor disturb the others.
void bus_closes_and_reopens(rig &r)
{
    close(r.bus.master);
    r.bus.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(r.bus.master >= 0 && grantpt(r.bus.master) == 0 && unlockpt(r.bus.master) == 0);
    unlink(r.bus.link.c_str());
    ASSERT_EQ(symlink(ptsname(r.bus.master), r.bus.link.c_str()), 0);
    ASSERT_TRUE(wait_stdout(r.d, "i=0 socket=" + vx_libc_text("(nil)", "0") + " length=0\n"));
    long ticks = proc_cpu_ticks(r.d.pid);
    usleep(1000000);
    EXPECT_LT(proc_cpu_ticks(r.d.pid) - ticks, sysconf(_SC_CLK_TCK) / 5)
        << "busy on a hung-up port";
}

TEST(Faults, EveryEndpointKeepsServingThroughTenLinkRestartsAndOtherFaults)
{
    rig r;
    rig_start(r);
    ASSERT_EQ(rig_failures(r, "at start"), "");
    bool bus_up = true;
    for (int i = 1; i <= 10; i++) {
        // The link's peer restarts: the link reconnects a second after the loss.
        close(r.link);
        close(r.link_listen);
        r.link_listen = lo_listen(&r.link_port);
        r.link = lo_accept(r.link_listen, 3000);
        ASSERT_GE(r.link, 0) << "restart " << i << " not reconnected";
        if (i == 2) console_vanishes_mid_reply();
        if (i == 4) server_reset_under_flood(r);
        if (i == 6) {
            // The program on the daemon's pty closes it and opens it again.
            close(r.pty);
            r.pty = open_raw(r.pty_link);
        }
        if (i == 8) {
            bus_closes_and_reopens(r);
            bus_up = false;
        }
        EXPECT_EQ(rig_failures(r, "after restart " + std::to_string(i), bus_up), "")
            << "restart " << i << daemon_stderr(r.d);
    }
    EXPECT_EQ(count_of(daemon_stdout(r.d), "success\n"), 11u);
    long elapsed = 0;
    int status = daemon_stop(r.d, SIGINT, 4000, &elapsed);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(elapsed, 3000);
}

// Links added and removed through the console by several consoles at once.
void link_cycles(int count)
{
    int port = 0;
    int lfd = lo_listen(&port);
    int con = lo_connect(5550);
    std::string peer = "127.0.0.1:" + std::to_string(port);
    for (int i = 0; i < count; i++) {
        lo_send(con, "connect to " + peer + "\n");
        int fd = lo_accept(lfd);
        EXPECT_GE(fd, 0);
        lo_send(con, "disconnect " + peer + "\n");
        EXPECT_TRUE(lo_wait_eof(fd));
        close(fd);
    }
    close(con);
    close(lfd);
}

TEST(Faults, TwoHundredLinkCyclesAndConsoleSessionsLeaveNoDescriptorOrThread)
{
    daemon_proc d;
    daemon_start(d, {});
    // One of each first: what is made once on first use is not a leak.
    link_cycles(1);
    EXPECT_EQ(console_ask("list\n", "\n"), "  No tcp connections\n");
    auto sessions_ended = [&](size_t n) {
        return wait_until(
            [&] { return count_of(daemon_stdout(d), "Command thread exited.\n") == n; });
    };
    ASSERT_TRUE(sessions_ended(2));
    usleep(100000); // a session's thread ends just after its last line
    int fds = fd_count(d.pid);
    long threads = proc_status(d.pid, "Threads");

    std::vector<std::thread> consoles;
    for (int i = 0; i < 8; i++)
        consoles.emplace_back(link_cycles, 25);
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(console_ask("show bus mode\n", "\n"), "  Bus mode is card\n");
    for (std::thread &t : consoles)
        t.join();
    EXPECT_EQ(count_of(daemon_stdout(d), "Connection found, end it.\n"), 201u);
    EXPECT_TRUE(sessions_ended(2 + 8 + 200));
    wait_until([&] { return fd_count(d.pid) == fds && proc_status(d.pid, "Threads") == threads; });
    EXPECT_EQ(fd_count(d.pid), fds);
    EXPECT_EQ(proc_status(d.pid, "Threads"), threads);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

} // namespace
