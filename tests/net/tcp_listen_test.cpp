// The listener and thread launcher: prompt stop, port reuse, accept failures,
// the signal mask of new threads, and the offered blocking connect.
#include "loopback.h"
#include "net/tcp_listen.h"

#include <atomic>
#include <cstring>
#include <sys/resource.h>

namespace
{

// Connections handed to a handler. Their names and their running at once are
// checked end to end, with the console.
std::atomic<int> handled{0};

int counting_handler(int, const char *)
{
    handled++;
    return 0;
}

TEST(TcpListen, StopClosesThePortPromptlyAndARestartBindsItAgain)
{
    int port = lo_free_port();
    tcp_listener *l = tcp_listen(counting_handler, port);
    int c = lo_connect(port);
    // The listening side closes first, so its end of the connection is in TIME_WAIT.
    EXPECT_TRUE(lo_wait_eof(c));
    close(c);
    long start = now_ms();
    tcp_listen_stop(l);
    EXPECT_LT(now_ms() - start, 1000);
    EXPECT_LT(lo_connect(port), 0);
    l = tcp_listen(counting_handler, port);
    ASSERT_NE(l, nullptr);
    // Its handler must be done before exit destroys what it records into.
    c = lo_connect(port);
    EXPECT_TRUE(lo_wait_eof(c));
    close(c);
    tcp_listen_stop(l);
}

TEST(TcpListen, OutOfDescriptorsAConnectionWaitsInsteadOfAHandlerGettingABadOne)
{
    handled = 0;
    int port = lo_free_port();
    testing::internal::CaptureStderr();
    tcp_listener *l = tcp_listen(counting_handler, port);
    rlimit old, low;
    getrlimit(RLIMIT_NOFILE, &old);
    low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(0)) >= 0;)
        fillers.push_back(fd);
    close(fillers.back()); // the one descriptor left is the client's
    fillers.pop_back();
    int c = lo_connect(port);
    ASSERT_GE(c, 0);
    usleep(500000);
    EXPECT_EQ(handled, 0);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(wait_until([] { return handled == 1; }));
    tcp_listen_stop(l);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("accept: ") + strerror(EMFILE) + "\n");
    close(c);
}

sigset_t thread_mask;

void *record_mask(void *)
{
    pthread_sigmask(SIG_BLOCK, nullptr, &thread_mask);
    return nullptr;
}

TEST(Threadify, NewThreadsBlockTheStopSignalsAndTheCallerKeepsItsMask)
{
    sigset_t none, before, after;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, &before);
    pthread_t t;
    ASSERT_EQ(threadify(record_mask, nullptr, 0, &t), 0);
    pthread_join(t, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, &after);
    EXPECT_TRUE(sigismember(&thread_mask, SIGINT) && sigismember(&thread_mask, SIGTERM));
    EXPECT_FALSE(sigismember(&after, SIGINT) || sigismember(&after, SIGTERM));
}

TEST(TcpConnect, ConnectsOrReportsWhy)
{
    int port = 0;
    int lfd = lo_listen(&port);
    int fd = tcp_connect("127.0.0.1", port);
    EXPECT_GE(fd, 0);
    close(fd);
    close(lfd);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tcp_connect("127.0.0.1", port), -1);
    EXPECT_EQ(tcp_connect("300.1.1.1", port), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unable to connect to 127.0.0.1:" + std::to_string(port) +
                  ": Connection refused\ninet_pton: Invalid argument\n");
}

} // namespace
