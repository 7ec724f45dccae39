// Outgoing links and server connections of the real daemon with loopback peers:
// bridging, reconnection, an address that never converts, removal without
// leftovers, a peer that vanishes, and two daemons chained.
#include "emulation.h"
#include "loopback.h"

#include <algorithm>
#include <sys/socket.h>

namespace
{

std::string lo_peer(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// Pushes `msg` into `push` until it comes out of the socket `fd`: the subscription
// on the daemon's side of `fd` may still be settling.
bool reaches(channel_push &push, const std::string &msg, int fd)
{
    std::string got;
    for (int i = 0; i < 20 && got.find(msg) == std::string::npos; i++) {
        push.send(msg);
        read_until(fd, got, msg, 100);
    }
    return got.find(msg) != std::string::npos;
}

TEST(LinksE2e, LinksBridgeReconnectRetryAndGoWithoutLeftovers)
{
    int port = 0;
    int lfd = lo_listen(&port);
    daemon_proc d;
    daemon_start(d, {"--tcpclient", lo_peer(port), "--tcpclient", "300.1.1.1"});
    const std::string nowhere = "Connect to 300.1.1.1:5010... ";
    ASSERT_TRUE(wait_until([&] { return count_of(daemon_stdout(d), nowhere) >= 2; }));
    long t0 = now_ms();
    size_t first = count_of(daemon_stdout(d), nowhere);

    int peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    channel_sub res(RES_SUB, RES_PUSH);
    lo_send(peer, "card answers\n");
    EXPECT_EQ(res.next(), "card answers\n");
    channel_push cmd(CMD_PUSH);
    EXPECT_TRUE(reaches(cmd, "do it\n", peer));
    EXPECT_NE(daemon_stdout(d).find("Connect to " + lo_peer(port) + "... "), std::string::npos);
    EXPECT_TRUE(wait_stdout(d, "success\n"));

    // Only this link can fail: the other one never gets as far as a connect.
    close(peer);
    close(lfd);
    EXPECT_TRUE(wait_stdout(d, "failed\n"));
    lfd = lo_listen(&port);
    // Attempts come a second apart: the link is back within about two seconds.
    peer = lo_accept(lfd, 2500);
    EXPECT_GE(peer, 0);
    close(peer);
    close(lfd);

    // The unconvertible address is retried about every second, each time ending
    // in the conversion error alone.
    usleep(static_cast<useconds_t>(std::max(0L, 3000 - (now_ms() - t0)) * 1000));
    size_t tries = count_of(daemon_stdout(d), nowhere) - first;
    long seconds = (now_ms() - t0) / 1000;
    EXPECT_GE(tries, static_cast<size_t>(seconds - 1));
    EXPECT_LE(tries, static_cast<size_t>(seconds + 1));
    std::string err = daemon_stderr(d);
    EXPECT_EQ(count_of(err, "inet_pton: Invalid argument\n"), count_of(err, "\n")) << err;

    // Removal while connecting and while connected leaves no socket open.
    int con = lo_connect(5550);
    lo_send(con, "disconnect all\n");
    ASSERT_TRUE(wait_until([&] { return count_of(daemon_stdout(d), "end it.\n") == 2; }, 4000));
    usleep(300000);
    int base = fd_count(d.pid);
    auto fds_back = [&] { return wait_until([&] { return fd_count(d.pid) == base; }); };
    // A listener whose one-place queue is taken leaves the link's connect pending.
    port = 0;
    lfd = lo_listen(&port, 0);
    int filler = lo_connect(port);
    lo_send(con, "connect to " + lo_peer(port) + "\n");
    ASSERT_TRUE(wait_stdout(d, "Connect to " + lo_peer(port) + "... "));
    EXPECT_TRUE(wait_until([&] { return fd_count(d.pid) == base + 1; }));
    lo_send(con, "disconnect " + lo_peer(port) + "\n");
    EXPECT_TRUE(fds_back()) << fd_count(d.pid) << " descriptors, " << base << " before";
    close(filler);
    close(lfd);

    port = 0;
    lfd = lo_listen(&port);
    lo_send(con, "connect to " + lo_peer(port) + "\n");
    peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(wait_stdout(d, "Connect to " + lo_peer(port) + "... success\n"));
    EXPECT_GT(fd_count(d.pid), base);
    lo_send(con, "disconnect " + lo_peer(port) + "\n");
    EXPECT_TRUE(lo_wait_eof(peer));
    EXPECT_TRUE(fds_back()) << fd_count(d.pid) << " descriptors, " << base << " before";
    close(peer);
    close(lfd);
    close(con);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(LinksE2e, ServerConnectionsAndTwoChainedDaemons)
{
    int port = lo_free_port();
    daemon_proc b;
    daemon_start(b, {"--tcpserver", std::to_string(port)});
    std::string listen = "Listen on port " + std::to_string(port) + "...\n";
    EXPECT_EQ(daemon_stdout(b).find(listen + "Accepting commands on port 5550\n"), 0u);
    int peer = lo_connect(port, 1024);
    ASSERT_GE(peer, 0);
    std::string name = lo_local_name(peer);
    EXPECT_TRUE(wait_stdout(b, "Connection from ip: " + name + "\nConnected by " + name + "...\n"));
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    lo_send(peer, "status?\n");
    EXPECT_EQ(cmd.next(), "status?\n");
    channel_push res(RES_PUSH);
    ASSERT_TRUE(reaches(res, "ok\n", peer));

    // The peer stops reading: more than the daemon's socket buffer holds (4 MB
    // at most) is on its way, so the daemon is blocked writing when the peer
    // resets, with more messages to write after that.
    std::string block = std::string(4000, 'r') + "\n";
    for (int i = 0; i < 2000; i++)
        res.send(block);
    lo_reset(peer);
    for (int i = 0; i < 100; i++)
        res.send(block);
    EXPECT_TRUE(wait_stdout(b, "Connection from " + name + " closed\n"));

    // The second daemon on other channel ports; its console port is taken by
    // the first, which it reports, and it goes on without a console.
    daemon_proc a;
    daemon_start(a, {"--publish_response_port", "15551", "--publish_command_port", "15552",
                     "--pull_response_port", "15553", "--pull_command_port", "15554", "--tcpclient",
                     lo_peer(port)});
    ASSERT_TRUE(wait_stdout(a, "success\n", 5000));
    EXPECT_TRUE(
        wait_stderr(a, "bind: " + vx_libc_text("Address already in use", "Address in use") + "\n"));
    // Probes pushed into A's command channel arrive at B's only through the link.
    channel_sub b_commands(CMD_SUB, "tcp://127.0.0.1:15554");
    channel_push("tcp://127.0.0.1:15554").send("to the bus\n");
    EXPECT_EQ(b_commands.next(), "to the bus\n");
    channel_sub a_responses("tcp://127.0.0.1:15551", RES_PUSH);
    channel_push(RES_PUSH).send("from the bus\n");
    EXPECT_EQ(a_responses.next(), "from the bus\n");

    EXPECT_EQ(WEXITSTATUS(daemon_stop(a)), 0);
    EXPECT_TRUE(wait_until([&] { return count_of(daemon_stdout(b), " closed\n") == 2; }));
    EXPECT_EQ(WEXITSTATUS(daemon_stop(b)), 0);
}

} // namespace
