// The listener and thread launcher: one thread per connection, peer names,
// prompt stop, port reuse, accept failures, and the signal mask of new threads.
#include "loopback.h"
#include "net/tcp_listen.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

// What the handlers saw; they wait for `release` so that their lives overlap.
std::mutex seen_lock;
std::set<std::string> seen_names;
std::atomic<int> active{0}, max_active{0}, release{0};

int recording_handler(int fd, const char *name)
{
    {
        std::lock_guard<std::mutex> lock(seen_lock);
        seen_names.insert(name);
    }
    int now = ++active;
    for (int m = max_active; now > m && !max_active.compare_exchange_weak(m, now);) {
    }
    while (!release)
        usleep(1000);
    (void)!write(fd, "bye\n", 4);
    active--;
    return 0;
}

long now_ms_for_test()
{
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void reset_seen()
{
    std::lock_guard<std::mutex> lock(seen_lock);
    seen_names.clear();
    active = max_active = release = 0;
}

size_t seen_count()
{
    std::lock_guard<std::mutex> lock(seen_lock);
    return seen_names.size();
}

bool wait_for(const std::function<bool()> &cond, int timeout_ms = 3000)
{
    for (int waited = 0; !cond(); waited += 10) {
        if (waited >= timeout_ms) return false;
        usleep(10000);
    }
    return true;
}

TEST(TcpListen, ConnectionsRunConcurrentlyAndAreClosedAfterTheirHandler)
{
    reset_seen();
    int port = lo_free_port();
    testing::internal::CaptureStdout();
    tcp_listener *l = tcp_listen(recording_handler, port);
    ASSERT_NE(l, nullptr);
    // The port is bound when tcp_listen returns.
    int a = lo_connect(port);
    int b = lo_connect(port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(wait_for([] { return active == 2; }));
    release = 1;
    std::string got;
    EXPECT_TRUE(lo_read_until(a, got, "bye\n"));
    EXPECT_TRUE(lo_wait_eof(a));
    EXPECT_TRUE(lo_wait_eof(b));
    tcp_listen_stop(l);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(max_active, 2);
    std::set<std::string> expect = {lo_local_name(a), lo_local_name(b)};
    EXPECT_EQ(seen_names, expect);
    for (const std::string &name : expect)
        EXPECT_NE(out.find("Connection from ip: " + name + "\n"), std::string::npos) << out;
    close(a);
    close(b);
}

TEST(TcpListen, StopClosesThePortPromptlyAndARestartBindsItAgain)
{
    reset_seen();
    release = 1;
    int port = lo_free_port();
    tcp_listener *l = tcp_listen(recording_handler, port);
    int c = lo_connect(port);
    ASSERT_GE(c, 0);
    // The daemon's side closes first, so its end of the connection waits in TIME_WAIT.
    EXPECT_TRUE(lo_wait_eof(c));
    close(c);
    long start = now_ms_for_test();
    tcp_listen_stop(l);
    EXPECT_LT(now_ms_for_test() - start, 1000);
    EXPECT_LT(lo_connect(port), 0);
    l = tcp_listen(recording_handler, port);
    c = lo_connect(port);
    ASSERT_GE(c, 0);
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

TEST(TcpListen, OutOfDescriptorsTheConnectionWaitsInsteadOfAHandlerGettingABadOne)
{
    reset_seen();
    release = 1;
    int port = lo_free_port();
    testing::internal::CaptureStderr();
    tcp_listener *l = tcp_listen(recording_handler, port);
    int c = lo_connect(port);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(wait_for([] { return seen_count() == 1; }));
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(0)) >= 0;)
        fillers.push_back(fd);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    usleep(500000);
    EXPECT_EQ(seen_count(), 1u);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    // Served once descriptors are free again.
    EXPECT_TRUE(wait_for([] { return seen_count() == 2; }));
    tcp_listen_stop(l);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "accept: Too many open files\n");
    close(client);
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
    EXPECT_TRUE(sigismember(&thread_mask, SIGINT));
    EXPECT_TRUE(sigismember(&thread_mask, SIGTERM));
    EXPECT_FALSE(sigismember(&after, SIGINT));
    EXPECT_FALSE(sigismember(&after, SIGTERM));
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
