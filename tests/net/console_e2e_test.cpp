// The command console of the real daemon over TCP: links listed and saved,
// clients served at once, a client that vanishes mid-reply, and quit.
#include "kit.h"
#include "../hardening/rig.h"

#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>

namespace
{

TEST(ConsoleE2e, ListManyClientsAtOnceAVanishingClientAndQuit)
{
    int port = 0;
    int lfd = lo_listen(&port);
    // Above 65535: the link reaches the low 16 bits and keeps the number.
    std::string up = "127.0.0.1:" + std::to_string(port + 65536);
    std::string down = "127.0.0.1:" + std::to_string(lo_free_port());
    daemon_proc d;
    daemon_start(d, {"--ctrl", "--tcpclient", up, "--tcpclient", down});
    int peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    const std::string list = "  " + up + " connected\\\n  " + down + " connecting...\n";
    std::string got;
    size_t opened = 0;
    for (; opened < 30 && got != list + "  Bus mode is ctrl\n"; opened++, usleep(50000)) {
        int fd = lo_connect(5550);
        lo_send(fd, "list\nshow bus mode\n");
        got = read_text(fd, "ctrl\n");
        close(fd);
    }
    EXPECT_EQ(got, list + "  Bus mode is ctrl\n");

    // save writes a fixed path: checked where /conf exists or can be made, and
    // left as it was found.
    const std::string conf = "/conf/vexlond_tcpclient", before = read_file(conf);
    bool made = mkdir("/conf", 0755) == 0, had = access(conf.c_str(), F_OK) == 0;
    if (made || had || access("/conf", W_OK) == 0) {
        int fd = lo_connect(5550);
        lo_send(fd, "save\nexit\n");
        EXPECT_TRUE(lo_wait_eof(fd)); // exit ends the connection
        EXPECT_EQ(read_file(conf), "tcpclient = " + up + "\ntcpclient = " + down + "\n");
        if (had)
            std::ofstream(conf) << before;
        else
            unlink(conf.c_str());
        if (made) rmdir("/conf");
        opened++;
    }

    // Every client is answered while all of them stay connected.
    std::vector<int> fds(30);
    for (int &fd : fds) {
        ASSERT_GE(fd = lo_connect(5550), 0);
        lo_send(fd, "show bus mode\n");
    }
    for (int fd : fds) // a connection served only after the one before it fails here
        ASSERT_EQ(read_text(fd, "\n"), "  Bus mode is ctrl\n");
    for (int fd : fds)
        close(fd);
    auto exited = [&] { return count_of(daemon_stdout(d), "Command thread exited.\n"); };
    EXPECT_TRUE(wait_until([&] { return exited() == opened + 30; }));

    console_vanishes_mid_reply();
    EXPECT_TRUE(wait_until([&] { return exited() == opened + 31; }));

    // quit and then list in one chunk: the list is still answered.
    int fd = lo_connect(5550);
    lo_send(fd, "quit\nlist\n");
    EXPECT_EQ(read_text(fd, "...\n"), list);
    EXPECT_TRUE(lo_wait_eof(fd));
    int status = daemon_wait(d, 4000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
