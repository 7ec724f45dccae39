// The link list under concurrent use, and a link whose thread cannot start.
#include "kit.h"
#include "net/tcp_client.h"

#include <atomic>
#include <fstream>
#include <sys/resource.h>
#include <thread>

namespace {

// 300.1.1.1 never converts: these links retry without touching the network.
const char NOWHERE[] = "300.1.1.1";
const int LINKS = 20;

TEST(TcpClient, ConcurrentRemovalsAndListingsNeitherRaceNorDeadlock)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int i = 1; i <= LINKS; i++) tcp_client_add(NOWHERE, i);
    EXPECT_EQ(tcp_client_add(NOWHERE, 1), tcp_client_add(NOWHERE, 1));

    std::atomic<int> bad_order{0};
    std::atomic<bool> done{false};
    std::thread lister([&] {
        while (!done) {
            std::vector<tcp_client_info> l = tcp_client_list();
            for (size_t i = 1; i < l.size(); i++)
                if (l[i - 1].port >= l[i].port) bad_order++;
        }
    });
    // Two console connections removing the same links, a third removing all.
    auto remove_each = [] {
        for (int i = 1; i <= LINKS; i++) tcp_client_remove(nullptr, NOWHERE, i);
    };
    std::thread a(remove_each), b(remove_each), c(tcp_client_remove_all);
    a.join();
    b.join();
    c.join();
    done = true;
    lister.join();
    testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(tcp_client_list().empty());
    EXPECT_EQ(bad_order, 0);
    EXPECT_EQ(count_of(out, "Connection found, end it.\n"), static_cast<size_t>(LINKS));
    EXPECT_EQ(count_of(out, "Client 300.1.1.1:1 already added.\n"), 2u);
}

// Runs in a fresh process: no cached thread stack lets the creation succeed.
void add_link_without_room_for_its_thread()
{
    rlimit old;
    getrlimit(RLIMIT_AS, &old);
    rlimit low = old;
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages; // the address space in use
    low.rlim_cur = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (64 << 10));
    setrlimit(RLIMIT_AS, &low);
    tcp_client *c = tcp_client_add(NOWHERE, 7);
    setrlimit(RLIMIT_AS, &old);
    if (c == nullptr || c->has_thread) _exit(1);
    std::vector<tcp_client_info> l = tcp_client_list();
    if (l.size() != 1 || l[0].ip != NOWHERE || l[0].state != TCP_CLIENT_CONNECTING) _exit(2);
    tcp_client_remove(c, nullptr, 0);
    _exit(tcp_client_list().empty() ? 0 : 3);
}

TEST(TcpClient, ALinkWhoseThreadCannotStartStaysListedAndIsRemovedWithoutWaiting)
{
    VX_SKIP_ON_EMULATOR("RLIMIT_AS: qemu-user maps the guest's memory itself, so the limit "
                        "does not starve pthread_create there");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(add_link_without_room_for_its_thread(), testing::ExitedWithCode(0),
                "threadify\\(\\): pthread_create\\(\\) failed");
}

} // namespace
