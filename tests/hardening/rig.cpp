// A daemon with one endpoint of every kind.
#include "rig.h"

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
        bool fed;
    } ends[] = {{"server", r.server, r.cmd.get(), false},
                {"pty", r.pty, r.cmd.get(), false},
                {"link", r.link, r.res.get(), false},
                {"bus", r.bus.master, r.cmd.get(), false}};
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
    // Sent again until every consumer has it whole: a link just back may still
    // subscribe, and a backlog is read past in 50 ms slices.
    const std::string to_res = "response " + tag + "\n", to_cmd = "command " + tag + "\n";
    channel_push res(RES_PUSH), cmd(CMD_PUSH);
    for (int i = 0, all = 0; reading && i < 40 && !all; i++) {
        res.send(to_res);
        cmd.send(to_cmd);
        all = 1;
        for (end &e : ends) {
            std::string got;
            all &= e.fed |= read_until(e.fd, got, e.into == r.cmd.get() ? to_res : to_cmd, 50);
        }
    }
    for (const end &e : ends)
        if (reading && !e.fed) failed += std::string(" out:") + e.name;
    if (console_ask("show bus mode\n", "\n") != "  Bus mode is card\n") failed += " console";
    return failed;
}
