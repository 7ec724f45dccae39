// Load on every kind of endpoint at once, and memory under remote peers that push
// huge messages, flood or stop reading.
#include "emulation.h"
#include "loopback.h"
#include "rig.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

const int SERVERS = 50, CONSOLES = 100;
// Messages on their way at any time. Far fewer than any queue on the path holds
// (1000 at the forwarder for each subscriber, the sockets' and the pty's buffers),
// so no send ever finds its queue full: the channels drop only then, and here a
// lost message is a fault.
const int WINDOW = 200;

// Takes the complete lines of `held` that are not probes.
std::vector<std::string> take_lines(std::string &held)
{
    std::vector<std::string> lines;
    for (size_t nl; (nl = held.find('\n')) != std::string::npos; held.erase(0, nl + 1))
        if (!is_probe(held.substr(0, nl + 1))) lines.push_back(held.substr(0, nl));
    return lines;
}

// Reads every server peer until each has had the responses up to `last`, checking
// that they come whole and in order. False on a gap or after 5 s.
bool servers_have(const std::vector<int> &peers, std::vector<std::string> &held,
                  std::vector<int> &next, int last)
{
    for (size_t i = 0; i < peers.size(); i++)
        for (long end = now_ms() + 5000; next[i] <= last;) {
            // A read may end inside a line, or hold no line end at all (the
            // emulated board's daemon writes slowly): the part is kept.
            if (!read_until(peers[i], held[i], "\n", static_cast<int>(end - now_ms())))
                return false;
            for (const std::string &line : take_lines(held[i]))
                if (line != "r" + std::to_string(next[i]++) + std::string(100, '.')) return false;
        }
    return true;
}

TEST(Load, ConsolesServerFloodsAndAPtyFloodAtOnceLoseNothing)
{
    // A board's usual soft limit: the daemon has to raise it to serve 50
    // connections of about 17 descriptors each.
    rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    rlimit low = {512, files.rlim_max};
    setrlimit(RLIMIT_NOFILE, &low);
    int port = lo_free_port();
    std::string pty_link = temp_dir() + "/vexlon";
    daemon_proc d;
    daemon_start(d, {"--tcpserver", std::to_string(port), "--pty=" + pty_link});
    setrlimit(RLIMIT_NOFILE, &files);
    std::vector<int> peers(SERVERS);
    for (int &fd : peers)
        fd = lo_connect(port);
    ASSERT_TRUE(wait_until([&] { return count_of(daemon_stdout(d), "Connected by") == SERVERS; }));
    channel_push res(RES_PUSH);
    std::vector<std::string> held(SERVERS);
    for (int i = 0; i < SERVERS; i++) // every subscription live
        for (int tries = 0; tries < 50 && !drain_until(peers[i], held[i], "#probe\n", 100); tries++)
            res.send("#probe\n");

    std::atomic<bool> stop{false};
    int pty = open_raw(pty_link);
    std::thread pty_reader([&] { // the responses reach the pty too; its program reads them
        std::string ignored;
        while (!stop)
            drain_until(pty, ignored, "\x01", 100);
    });
    int pty_lines = 0;
    std::thread pty_writer([&] {
        channel_sub cmd(CMD_SUB, CMD_PUSH);
        for (long end = now_ms() + 3000; now_ms() < end;) {
            std::string batch;
            for (int i = 0; i < WINDOW; i++)
                batch += "p" + std::to_string(pty_lines + i) + "\n";
            ASSERT_EQ(write(pty, batch.data(), batch.size()), static_cast<ssize_t>(batch.size()));
            for (int i = 0; i < WINDOW; i++, pty_lines++) {
                std::string m;
                ASSERT_TRUE(cmd.recv(m)) << "line " << pty_lines << " lost";
                ASSERT_EQ(m, "p" + std::to_string(pty_lines) + "\n");
            }
        }
    });
    std::vector<int> consoles(CONSOLES);
    std::thread console_clients([&] {
        for (int &fd : consoles)
            fd = lo_connect(5550);
        for (int fd : consoles)
            lo_send(fd, "help\n");
        for (int fd : consoles) {
            std::string got;
            EXPECT_TRUE(read_until(fd, got, "Show the bus mode\n")) << got;
            EXPECT_EQ(count_of(got, "\\\n"), 7u); // all eight lines
        }
    });

    std::vector<int> next(SERVERS, 0);
    int sent = 0;
    for (long end = now_ms() + 3000; now_ms() < end;) {
        for (int i = 0; i < WINDOW; i++)
            res.send("r" + std::to_string(sent++) + std::string(100, '.') + "\n");
        ASSERT_TRUE(servers_have(peers, held, next, sent - 1)) << "responses lost by " << sent;
    }
    pty_writer.join();
    console_clients.join();
    stop = true;
    pty_reader.join();
    EXPECT_GE(sent, 1000);
    EXPECT_GE(pty_lines, 1000);
    EXPECT_EQ(daemon_stderr(d).find("zmq_send"), std::string::npos); // nothing dropped on the way

    // Shut down with every connection still open.
    long elapsed = 0;
    int status = daemon_stop(d, SIGINT, 5000, &elapsed);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(elapsed, 3000);
    for (int fd : peers)
        close(fd);
    for (int fd : consoles)
        close(fd);
    close(pty);
}

TEST(Load, RemotePeersCannotGrowTheDaemonBeyondItsQueues)
{
#ifdef VX_SANITIZED
    GTEST_SKIP() << "a sanitizer's own memory use would be measured";
#endif
    int port = lo_free_port();
    daemon_proc d;
    daemon_start(d, {"--tcpserver", std::to_string(port), "--pty"});
    int stalled = lo_connect(port, 4096); // a server peer that never reads
    ASSERT_TRUE(wait_stdout(d, "Connected by"));
    channel_sub never_read(RES_SUB, RES_PUSH); // a remote subscriber that stops reading
    long base_kb = proc_status(d.pid, "VmHWM");
    // Under qemu-user the emulator's own memory, whose code cache grows with the
    // flood, would be measured with the daemon's.
    const bool own_memory = !vx_emulated();

    // 100 MiB in one message is refused as soon as its length arrives; the
    // largest message taken, 16 KiB, still passes whole.
    channel_push(RES_PUSH).send(std::string(100 << 20, 'x'));
    {
        channel_sub res(RES_SUB, RES_PUSH);
        std::string largest(16 * 1024 - 1, 'm'), m;
        channel_push(RES_PUSH).send(largest + "\n");
        EXPECT_TRUE(res.recv(m) && m == largest + "\n") << m.size();
    }
    if (own_memory) {
        EXPECT_LT(proc_status(d.pid, "VmHWM") - base_kb, 10 * 1024);
    }

    // Largest messages as fast as they go, for 2 s: the subscriber that does not
    // read keeps 1000 of them (16 MiB), the forwarder at most as many from the
    // sender, each stalled bridge 100.
    channel_push flood(RES_PUSH);
    flood.sock.set(zmq::sockopt::sndtimeo, 100);
    std::string block(16 * 1024, 'f');
    long sent = 0;
    for (long end = now_ms() + 2000; now_ms() < end;)
        if (flood.sock.send(zmq::buffer(block), zmq::send_flags::none)) sent++;
    EXPECT_GT(sent, 3000);
    if (own_memory) {
        EXPECT_LT(proc_status(d.pid, "VmHWM") - base_kb, 48 * 1024);
    }
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
    close(stalled);
}

} // namespace
