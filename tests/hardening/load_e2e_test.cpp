// A daemon started under a low limit on open files serves 150 server peers, each
// of which gets every response in order while the channel has room.
#include "kit.h"

#include <sys/resource.h>

TEST(Load, AHundredAndFiftyServerPeersEachGetEveryResponseInOrder)
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
    std::vector<size_t> next(SERVERS, 0);
    size_t sent = 0;
    for (long long end = now_ms() + 3000; now_ms() < end;) {
        for (int i = 0; i < WINDOW; i++) res.send("r" + std::to_string(sent++) + "\n");
        for (int i = 0; i < SERVERS; i++) { // whole, in order, none missing
            while (next[i] < sent && read_until(peers[i], got[i], "\n", 5000))
                for (size_t nl; (nl = got[i].find('\n')) != std::string::npos;) {
                    std::string line = got[i].substr(0, nl);
                    got[i].erase(0, nl + 1);
                    ASSERT_TRUE(line == "#probe" || line == "r" + std::to_string(next[i]++))
                        << line << " at peer " << i;
                }
            ASSERT_EQ(next[i], sent) << "peer " << i << " lost responses";
        }
    }
    EXPECT_GE(sent, size_t(1000));
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
    for (int fd : peers) close(fd);
}
