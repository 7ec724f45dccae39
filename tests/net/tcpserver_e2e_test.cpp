// Server connections (--tcpserver) of the real daemon, and two daemons chained
// over loopback.
#include "harness.h"
#include "loopback.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

TEST(TcpServerE2e, APeersLinesReachTheCommandChannelAndResponsesReachThePeer)
{
    int port = lo_free_port();
    daemon_proc d;
    daemon_start(d, {"--tcpserver", std::to_string(port)});
    std::string listen = "Listen on port " + std::to_string(port) + "...\n";
    EXPECT_EQ(daemon_stdout(d).find(listen + "Accepting commands on port 5550\n"), 0u);
    int peer = lo_connect(port);
    ASSERT_GE(peer, 0);
    std::string name = lo_local_name(peer);
    EXPECT_TRUE(wait_stdout(d, "Connection from ip: " + name + "\nConnected by " + name + "...\n"));

    channel_sub cmd(CMD_SUB, CMD_PUSH);
    lo_send(peer, "status?\n");
    std::string m;
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "status?\n");
    channel_push res(RES_PUSH);
    std::string got;
    for (int i = 0; i < 20 && got.find("ok\n") == std::string::npos; i++) {
        res.send("ok\n");
        lo_read_until(peer, got, "ok\n", 100);
    }
    EXPECT_NE(got.find("ok\n"), std::string::npos);

    close(peer);
    EXPECT_TRUE(wait_stdout(d, "Connection from " + name + " closed\n"));
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(TcpServerE2e, APeerVanishingWhileResponsesFlowLeavesTheDaemonRunning)
{
    int port = lo_free_port();
    daemon_proc d;
    daemon_start(d, {"--tcpserver", std::to_string(port)});
    int peer = lo_connect(port, 1024);
    ASSERT_GE(peer, 0);
    std::string name = lo_local_name(peer);
    ASSERT_TRUE(wait_stdout(d, "Connected by " + name + "...\n"));
    channel_push res(RES_PUSH);
    std::string got;
    for (int i = 0; i < 20 && got.find("ok\n") == std::string::npos; i++) {
        res.send("ok\n");
        lo_read_until(peer, got, "ok\n", 100);
    }
    ASSERT_NE(got.find("ok\n"), std::string::npos);
    // The peer stops reading: more than the daemon's socket buffer holds (4 MB
    // at most) is on its way, so the daemon is blocked writing when the peer
    // resets, with more messages to write after that.
    std::string block(4000, 'r');
    block += "\n";
    for (int i = 0; i < 2000; i++)
        res.send(block);
    lo_reset(peer);
    for (int i = 0; i < 100; i++)
        res.send(block);
    EXPECT_TRUE(wait_stdout(d, "Connection from " + name + " closed\n"));
    EXPECT_EQ(kill(d.pid, 0), 0);
    int status = daemon_stop(d);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(TcpServerE2e, TwoChainedDaemonsCarryCommandsOutAndResponsesBack)
{
    int port = lo_free_port();
    std::string server = "127.0.0.1:" + std::to_string(port);
    daemon_proc b;
    daemon_start(b, {"--tcpserver", std::to_string(port)});
    // The second daemon on other channel ports; its console port is taken by
    // the first, which it reports, and it goes on without a console.
    daemon_proc a;
    daemon_start(a, {"--publish_response_port", "15551", "--publish_command_port", "15552",
                     "--pull_response_port", "15553", "--pull_command_port", "15554", "--tcpclient",
                     server});
    // The link's attempts start while start-up still prints: its lines may be split.
    ASSERT_TRUE(wait_stdout(a, "success\n", 5000));
    EXPECT_TRUE(wait_stderr(a, "bind: Address already in use\n"));

    // Probes pushed into A's command channel arrive at B's only through the link.
    channel_sub b_commands(CMD_SUB, "tcp://127.0.0.1:15554");
    channel_push("tcp://127.0.0.1:15554").send("to the bus\n");
    std::string m;
    ASSERT_TRUE(b_commands.recv(m));
    EXPECT_EQ(m, "to the bus\n");

    channel_sub a_responses("tcp://127.0.0.1:15551", RES_PUSH);
    channel_push(RES_PUSH).send("from the bus\n");
    ASSERT_TRUE(a_responses.recv(m));
    EXPECT_EQ(m, "from the bus\n");

    EXPECT_EQ(WEXITSTATUS(daemon_stop(a)), 0);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(b)), 0);
}

} // namespace
