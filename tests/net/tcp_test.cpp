// TCP: the listener and its connection threads, and the peer links.
#include "base/settings.h"
#include "kit.h"
#include "net/peer.h"
#include "net/tcp_client.h"
#include "net/tcp_listen.h"

#include <sys/resource.h>

using namespace testing::internal; // output capture

// Echoes one read and returns: the listening side closes each connection first.
static std::atomic<int> handled{0};
static sigset_t handler_mask;

static int echo_once(int fd, const char *)
{
    pthread_sigmask(SIG_BLOCK, nullptr, &handler_mask);
    handled++;
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) (void)!write(fd, buf, static_cast<size_t>(n));
    return 0;
}

static bool answered(int fd, const std::string &text, const std::string &reply)
{
    bool ok = lo_send(fd, text) && read_text(fd, reply) == reply && lo_wait_eof(fd);
    close(fd);
    return ok;
}

TEST(TcpListen, ThreadsKeepOffSignalsARestartServesUpToTheCapAndEMFILEDelaysAConnection)
{
    int port = lo_free_port(), err[2], saved_stderr = dup(2);
    ASSERT_EQ(pipe(err), 0);
    dup2(err[1], 2); // read as it comes, also while no descriptor is left
    sigset_t mask;
    sigemptyset(&mask);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    tcp_listener *l = tcp_listen(echo_once, port, "test", &max_server_conns);
    EXPECT_TRUE(answered(lo_connect(port), "x", "x")); // its end is in TIME_WAIT here
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&handler_mask, SIGINT) && sigismember(&handler_mask, SIGTERM));
    EXPECT_FALSE(sigismember(&mask, SIGINT) || sigismember(&mask, SIGTERM));
    tcp_listen_stop(l); // the restart below binds the port only if the stop closed it
    std::atomic<int> cap{1};
    handled = 0;
    ASSERT_NE(l = tcp_listen(echo_once, port, "test", &cap), nullptr);
    for (int stretch = 1; stretch <= 2; stretch++) {
        int first = lo_connect(port);
        ASSERT_TRUE(wait_until([&] { return handled == stretch; }));
        for (int over : {lo_connect(port), lo_connect(port)})
            EXPECT_TRUE(answered(over, "", "  Too many test connections (limit 1)\n"));
        EXPECT_TRUE(answered(first, "still served", "still served"));
        EXPECT_EQ(tcp_conn_wait(3000), 0);
        EXPECT_EQ(count_of(read_text(err[0], "\n"), "test connection from 127.0.0.1:"), 1u);
    }
    rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    const rlimit low = {64, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
    close(fillers.back()); // the one descriptor left is the client's
    fillers.pop_back();
    int c = lo_connect(port);
    EXPECT_EQ(read_text(err[0], "\n"), std::string("accept: ") + strerror(EMFILE) + "\n");
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    dup2(saved_stderr, 2);
    for (int fd : {err[0], err[1], saved_stderr}) close(fd);
    EXPECT_TRUE(answered(c, "x", "x"));
    tcp_listen_stop(l);
    EXPECT_EQ(tcp_conn_wait(3000), 0);
    EXPECT_EQ(handled, 3);
}

const char NOWHERE[] = "300.1.1.1"; // never converts: links retry without touching the network

TEST(Peer, ALinkLoopsOnlyToAnAddressServingTheOwnPort)
{
    const std::pair<std::tuple<const char *, int, const char *, int>, bool> cases[] = {
        {{"127.0.0.1", 6001, "", 6000}, false},
        {{"127.0.0.1", 6000 + 65536, "", 6000}, true}, // the connection takes the low 16 bits
        {{"192.0.2.1", 6000, "", 6000}, false},        // on no interface (and never connected to)
        {{"127.0.0.2", 6000, "127.0.0.2", 6000}, true},
        {{"127.0.0.1", 6000, "127.0.0.2", 6000}, false},
        {{NOWHERE, 6000, "", 6000}, false},
        {{"127.0.0.1", 65535, "", -1}, false}, // -1 & 0xffff
    };
    for (const auto &c : cases)
        EXPECT_EQ(std::apply(peer_is_own_port, c.first), c.second) << std::get<0>(c.first);
}

TEST(TcpClient, ConcurrentRemovalsNeitherRaceNorDeadlock)
{
    max_links = 20;
    for (int i = 1; i <= max_links; i++) tcp_client_add(NOWHERE, i);
    std::atomic<int> bad_order{0}, done{0};
    std::thread lister([&] {
        for (std::vector<tcp_client_info> l; !done; l = tcp_client_list())
            for (size_t i = 1; i < l.size(); i++) bad_order += l[i - 1].port >= l[i].port;
    });
    auto remove_each = [] {
        for (int i = 1; i <= max_links; i++) tcp_client_remove(nullptr, NOWHERE, i);
    };
    CaptureStdout();
    std::thread a(remove_each), b(remove_each), c(tcp_client_remove_all);
    for (std::thread *t : {&a, &b, &c}) t->join();
    done = 1;
    lister.join();
    EXPECT_EQ(count_of(GetCapturedStdout(), "Connection found, end it.\n"), size_t(max_links));
    EXPECT_TRUE(tcp_client_list().empty());
    EXPECT_EQ(bad_order, 0);
}

// In a fresh process: no cached thread stack lets the creation succeed.
TEST(TcpClient, ALinkWhoseThreadCannotStartStaysListedAndIsRemovedWithoutWaiting)
{
    VX_SKIP_ON_EMULATOR("qemu-user maps the guest's memory itself: RLIMIT_AS starves nothing");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rlimit old;
            getrlimit(RLIMIT_AS, &old);
            rlimit low = old; // the address space in use and less than a thread's stack
            low.rlim_cur = static_cast<rlim_t>(proc_status(getpid(), "VmSize") + 64) << 10;
            setrlimit(RLIMIT_AS, &low);
            tcp_client *c = tcp_client_add(NOWHERE, 7);
            setrlimit(RLIMIT_AS, &old);
            if (c == nullptr || c->has_thread || tcp_client_list().size() != 1) _exit(1);
            tcp_client_remove(c, nullptr, 0);
            _exit(tcp_client_list().empty() ? 0 : 2);
        },
        testing::ExitedWithCode(0), "threadify\\(\\): pthread_create\\(\\) failed");
}
