// Faults around a daemon with one endpoint of every kind.
#include "rig.h"

#include <sys/socket.h>
#include <thread>

// Links added and removed through one console connection.
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
    close(con);
    close(lfd);
}

// After each fault every endpoint still carries traffic, link cycles and console
// sessions leave no descriptor or thread, and readers that stop hold nothing up.
TEST(Faults, EveryEndpointOutlivesFaultsCyclesLeaveNothingAndStoppedReadersHoldNothingUp)
{
    rig r;
    rig_start(r);
    ASSERT_EQ(rig_failures(r, "at start"), "");
    for (int i = 1; i <= 10; i++) {
        // The link's peer restarts: the link reconnects a second after the loss.
        close(r.link);
        close(r.link_listen);
        r.link_listen = lo_listen(&r.link_port);
        ASSERT_GE(r.link = lo_accept(r.link_listen, 3000), 0) << "restart " << i;
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
        if (i == 8) { // the serial device goes away and comes back
            ASSERT_TRUE(r.bus.replace());
            ASSERT_TRUE(wait_stdout(r.d, " is back\n"));
        }
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

    // A console client that sends until the daemon, blocked in its replies, takes
    // no more; both channels flooding far past what every consumer holds.
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
    EXPECT_TRUE(exited_cleanly(daemon_stop(r.d)));
    close(fresh);
}
