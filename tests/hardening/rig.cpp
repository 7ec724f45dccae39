// A daemon with one endpoint of every kind.
#include "rig.h"

#include <poll.h>
#include <sys/socket.h>

bool drain_until(int fd, std::string &held, const std::string &want, int timeout_ms)
{
    char buf[65536];
    for (long long end = now_ms() + timeout_ms;;) {
        if (held.find(want) != std::string::npos) return true;
        if (held.size() > want.size()) held.erase(0, held.size() - want.size());
        long long left = end - now_ms();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        held.append(buf, static_cast<size_t>(n));
    }
}

void console_vanishes_mid_reply()
{
    int fd = lo_connect(5550, 1024);
    std::string chunk;
    for (int i = 0; i < 40; i++) chunk += "help\n";
    int refused = 0;
    for (long long end = now_ms() + 10000; refused < 3 && now_ms() < end;) {
        bool taken = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
        refused = taken ? 0 : refused + 1;
        if (!taken) usleep(100000); // the daemon's replies fill our window meanwhile
    }
    EXPECT_EQ(refused, 3);
    lo_reset(fd);
}

rig::~rig()
{
    for (int fd : {pty, server, link_listen, link})
        if (fd >= 0) close(fd);
}

void rig_start(rig &r, const std::vector<std::string> &extra, daemon_start_opts opts)
{
    r.link_listen = lo_listen(&r.link_port);
    r.server_port = lo_free_port();
    r.pty_link = temp_dir() + "/vexlon";
    std::vector<std::string> args = {"--serial",
                                     r.bus.link + ":9600",
                                     "--pty=" + r.pty_link,
                                     "--tcpserver",
                                     std::to_string(r.server_port),
                                     "--tcpclient",
                                     "127.0.0.1:" + std::to_string(r.link_port)};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!opts.wrapper.empty()) opts.ready_ms = 30000;
    daemon_start(r.d, args, opts);
    r.link = lo_accept(r.link_listen);
    r.server = lo_connect(r.server_port);
    r.pty = open_raw(r.pty_link);
    EXPECT_TRUE(r.link >= 0 && r.server >= 0 && r.pty >= 0) << daemon_stdout(r.d);
    r.cmd.reset(new channel_sub(CMD_SUB, CMD_PUSH));
    r.res.reset(new channel_sub(RES_SUB, RES_PUSH));
}

std::string rig_failures(rig &r, const std::string &tag, bool reading)
{
    struct end {
        const char *name;
        int fd;
        channel_sub *into; // the channel it feeds; it is fed the other one
        std::string held;
    };
    end ends[] = {{"server", r.server, r.cmd.get(), ""},
                  {"pty", r.pty, r.cmd.get(), ""},
                  {"link", r.link, r.res.get(), ""},
                  {"bus", r.bus.master, r.cmd.get(), ""}};
    std::string failed, m;
    for (const end &e : ends) {
        // Written again every half second: the test's own subscription may still
        // be full of an earlier flood and lose it.
        const std::string line = std::string(e.name) + " says " + tag + "\n";
        bool came = false;
        for (int i = 0; i < 6 && !came; i++) {
            (void)!write(e.fd, line.data(), line.size());
            for (long long t = now_ms() + 500; !came && e.into->recv(m, int(t - now_ms()));)
                came = m == line;
        }
        if (!came) failed += std::string(" in:") + e.name;
    }
    // Repeated until every consumer has it: a link just back may still subscribe.
    const std::string to_res = "response " + tag + "\n", to_cmd = "command " + tag + "\n";
    auto wanted = [&](const end &e) { return e.into == r.cmd.get() ? to_res : to_cmd; };
    channel_push res(RES_PUSH), cmd(CMD_PUSH);
    for (int i = 0, all = 0; reading && i < 40 && !all; i++) {
        res.send(to_res);
        cmd.send(to_cmd);
        all = 1;
        for (end &e : ends) all &= drain_until(e.fd, e.held, wanted(e), 50);
    }
    for (const end &e : ends)
        if (reading && e.held.find(wanted(e)) == std::string::npos)
            failed += std::string(" out:") + e.name;
    if (console_ask("show bus mode\n", "\n") != "  Bus mode is card\n") failed += " console";
    return failed;
}
