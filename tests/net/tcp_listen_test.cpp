// The listener and thread launcher: one thread per connection, peer names,
// prompt stop, port reuse, accept failures, and the signal mask of new threads.
#include "loopback.h"
#include "net/tcp_listen.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace
{

// What the handlers saw. They wait for `release`, so that their lives overlap.
std::mutex seen_lock;
std::set<std::string> seen;
std::atomic<int> active{0}, release{1};

int recording_handler(int fd, const char *name)
{
    {
        std::lock_guard<std::mutex> lock(seen_lock);
        seen.insert(name);
    }
    active++;
    while (!release)
        usleep(1000);
    (void)!write(fd, "bye\n", 4);
    return 0;
}

size_t seen_count()
{
    std::lock_guard<std::mutex> lock(seen_lock);
    return seen.size();
}

TEST(TcpListen, ConnectionsRunConcurrentlyAndAreClosedAfterTheirHandler)
{
    seen.clear();
    release = 0;
    int port = lo_free_port();
    testing::internal::CaptureStdout();
    tcp_listener *l = tcp_listen(recording_handler, port);
    // The port is bound when tcp_listen returns.
    int a = lo_connect(port), b = lo_connect(port);
    ASSERT_TRUE(a >= 0 && b >= 0);
    EXPECT_TRUE(wait_until([] { return active == 2; }));
    release = 1;
    std::string got;
    EXPECT_TRUE(lo_read_until(a, got, "bye\n"));
    EXPECT_TRUE(lo_wait_eof(a) && lo_wait_eof(b));
    tcp_listen_stop(l);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(seen, (std::set<std::string>{lo_local_name(a), lo_local_name(b)}));
    for (int fd : {a, b}) {
        EXPECT_NE(out.find("Connection from ip: " + lo_local_name(fd) + "\n"), std::string::npos);
        close(fd);
    }
}

TEST(TcpListen, StopClosesThePortPromptlyAndARestartBindsItAgain)
{
    int port = lo_free_port();
    tcp_listener *l = tcp_listen(recording_handler, port);
    int c = lo_connect(port);
    // The listening side closes first, so its end of the connection is in TIME_WAIT.
    EXPECT_TRUE(lo_wait_eof(c));
    close(c);
    long start = lo_now_ms();
    tcp_listen_stop(l);
    EXPECT_LT(lo_now_ms() - start, 1000);
    EXPECT_LT(lo_connect(port), 0);
    l = tcp_listen(recording_handler, port);
    ASSERT_NE(l, nullptr);
    // Its handler must be done before exit destroys what it records into.
    c = lo_connect(port);
    EXPECT_TRUE(lo_wait_eof(c));
    close(c);
    tcp_listen_stop(l);
}

TEST(TcpListen, ATakenPortIsReportedAndGetsNoListener)
{
    int port = 0;
    int holder = lo_listen(&port);
    testing::internal::CaptureStderr();
    tcp_listener *l = tcp_listen(recording_handler, port);
    EXPECT_EQ(l, nullptr);
    tcp_listen_stop(l);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind: Address already in use\n");
    close(holder);
}

TEST(TcpListen, OutOfDescriptorsAConnectionWaitsInsteadOfAHandlerGettingABadOne)
{
    seen.clear();
    int port = lo_free_port();
    testing::internal::CaptureStderr();
    tcp_listener *l = tcp_listen(recording_handler, port);
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
    EXPECT_EQ(seen_count(), 0u);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(wait_until([] { return seen_count() == 1; }));
    tcp_listen_stop(l);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "accept: Too many open files\n");
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
