// Outgoing links and server connections of the real daemon with loopback peers.
#include "kit.h"

static std::string lo_peer(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

TEST(LinksE2e, LinksBridgeReconnectRetryAreCappedAndGoWithoutLeftovers)
{
    int port = 0, lfd = lo_listen(&port), own = lo_free_port();
    daemon_proc d;
    daemon_start(d, {"--tcpclient", lo_peer(port), "--tcpclient", "300.1.1.1", "--tcpserver",
                     std::to_string(own), "--tcpclient", lo_peer(own), "--max_links", "302"});
    const std::string refused = " refused: it is this daemon's own server port\n";
    EXPECT_TRUE(wait_stderr(d, "Link to " + lo_peer(own) + refused));
    int peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(wait_stdout(d, "Connect to " + lo_peer(port) + "... "));
    EXPECT_TRUE(wait_stdout(d, "success\n"));
    channel_sub res(RES_SUB, RES_PUSH);
    lo_send(peer, "card answers\n");
    EXPECT_EQ(res.next(), "card answers\n");
    channel_push cmd(CMD_PUSH);
    std::string got; // sent again while the link's subscription settles
    for (int i = 0; i < 20 && !read_until(peer, got, "do it\n", 100); i++) cmd.send("do it\n");
    EXPECT_NE(got.find("do it\n"), std::string::npos);
    // The peer goes and comes back: the link tries again a second after the loss.
    for (int fd : {peer, lfd}) close(fd);
    EXPECT_TRUE(wait_stdout(d, "failed\n"));
    lfd = lo_listen(&port);
    EXPECT_GE(peer = lo_accept(lfd, 2500), 0);
    EXPECT_TRUE(wait_until(
        [&] { return stats_value(console_stats(), "link " + lo_peer(port), "connects") == 2; }));
    for (int fd : {peer, lfd}) close(fd);
    // An unconvertible address is retried, ending each time in that error alone.
    EXPECT_TRUE(wait_until([&] { return count_of(daemon_stdout(d), "300.1.1.1:5010... ") >= 3; }));
    std::string err = daemon_stderr(d);
    EXPECT_EQ(count_of(err, "inet_pton: Invalid argument\n") + 1, count_of(err, "\n")) << err;
    int con = lo_connect(5550);
    lo_send(con, "connect to 0.0.0.0:" + std::to_string(own) + "\n");
    EXPECT_EQ(read_text(con, "\n"), "  Link to 0.0.0.0:" + std::to_string(own) + refused);
    // 300 links that never connect fill the cap; one command removes them all at once.
    for (int i = 1; i <= 300; i++) { // one chunk each: the console takes commands per read
        lo_send(con, "connect to 300.1.1.1:" + std::to_string(i) + "\nshow bus mode\n");
        ASSERT_EQ(read_text(con, "\n"), "  Bus mode is card\n");
    }
    lo_send(con, "connect to 127.0.0.1:7\nlist\nshow bus mode\n");
    std::string got_list = read_text(con, "card\n");
    EXPECT_EQ(got_list.find("  Too many links (limit 302)\n"), 0u) << got_list;
    EXPECT_EQ(count_of(got_list, "300.1.1.1"), 301u);
    lo_send(con, "disconnect all\nlist\n");
    EXPECT_EQ(read_text(con, "connections\n", 10000), "  No tcp connections\n");
    ASSERT_TRUE(wait_until([&] { return count_of(daemon_stdout(d), "end it.\n") == 302; }));
    // Every console session but `con`, all of them long over, has ended.
    ASSERT_TRUE(wait_until([&] {
        std::string out = daemon_stdout(d);
        return count_of(out, "Command thread exited.") + 1 == count_of(out, "Connection from ip");
    }));
    // A link whose connect is pending (the listener's one-place queue is taken),
    // then one that connects: either goes without a descriptor left.
    int base = fd_count(d.pid);
    port = 0;
    lfd = lo_listen(&port, 0);
    int filler = lo_connect(port);
    auto link_cycle = [&](bool connects) { // a socket and a stop flag, bridged or not
        size_t bridged = count_of(daemon_stdout(d), "success\n") + connects;
        lo_send(con, "connect to " + lo_peer(port) + "\n");
        EXPECT_TRUE(!connects || (peer = lo_accept(lfd)) >= 0);
        EXPECT_TRUE(wait_until([&] {
            return fd_count(d.pid) >= base + 2 &&
                   count_of(daemon_stdout(d), "success\n") == bridged;
        }));
        lo_send(con, "disconnect " + lo_peer(port) + "\n");
        EXPECT_TRUE(!connects || lo_wait_eof(peer));
        EXPECT_TRUE(wait_until([&] { return fd_count(d.pid) == base; })) << fd_count(d.pid);
    };
    link_cycle(false);
    for (int fd : {filler, lfd}) close(fd);
    port = 0;
    lfd = lo_listen(&port);
    link_cycle(true);
    for (int fd : {peer, lfd, con}) close(fd);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
}

// A daemon bound to 127.0.0.2 links to the server port of one bound to
// 127.0.0.1: each channel crosses, and each answers on its own address only.
TEST(LinksE2e, TwoDaemonsOnTheirOwnBindAddressesChained)
{
    VX_SKIP_ON_EMULATOR("libzmq looks a bound address up among the interfaces over netlink, "
                        "whose replies qemu-user 7.2 does not translate");
    int port = lo_free_port();
    daemon_proc b, a;
    daemon_start(b, {"--bind", "127.0.0.1", "--tcpserver", std::to_string(port)});
    EXPECT_EQ(daemon_stdout(b).find("Listen on port " + std::to_string(port) +
                                    "...\nAccepting commands on port 5550\n"),
              0u);
    daemon_start(a, {"--bind", "127.0.0.2", "--tcpclient", lo_peer(port)});
    EXPECT_TRUE(wait_stdout(b, "\nConnected by 127.0.0.1:")); // A's link, a server peer to B
    EXPECT_EQ(count_of(daemon_stdout(b), "Connection from ip: 127.0.0.1:"), 1u);
    ASSERT_TRUE(wait_stdout(a, "success\n", 5000));
    EXPECT_EQ(count_of(daemon_stderr(a), "tcp://"), 0u) << daemon_stderr(a);
    // Each live only once what is pushed into one daemon comes out of the other.
    channel_sub b_commands(CMD_SUB, "tcp://127.0.0.2:5554");
    channel_sub a_responses("tcp://127.0.0.2:5551", RES_PUSH);
    EXPECT_TRUE(exited_cleanly(daemon_stop(b)));
    // With B gone, nothing answers on 127.0.0.1; A's console does on 127.0.0.2.
    for (int p : {5550, 5551, 5552, 5553, 5554}) EXPECT_LT(lo_connect(p), 0) << p;
    int con = lo_connect(5550, 0, "127.0.0.2");
    EXPECT_TRUE(lo_send(con, "show bus mode\n"));
    EXPECT_EQ(read_text(con, "\n"), "  Bus mode is card\n");
    close(con);
    EXPECT_TRUE(exited_cleanly(daemon_stop(a)));
}
