// Start-up of the real daemon.
#include "kit.h"

#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

TEST(Startup, UsageVersionAndOptionErrorsEndAtOnce)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out_starts, err_has; // what stdout starts with, what stderr holds
    } cases[] = {
        // Help first whatever else is given; the added options after the usage, unchanged.
        {{"--stdin", "nonsense", "-h"},
         1,
         "Serial arguments:\n  --serial <device>:<baudrate>[:<mode>[:format]]\n",
         " [options]\nOptions:\n  -h\n  --help      Print this message.\n  -d\n"},
        {{"--help"},
         1,
         "Serial arguments:",
         "Default: 5554\n  --pty[=<dev link>]  Create a pseudoterminal.\n"
         "  --version   Print the version and exit.\n"},
        {{"--version", "--stdout", "x"}, 0, "vexlond " VEXLOND_VERSION "\nlibzmq 4.", ""},
        {{"--stdout", "both"}, 1, "Error: stdout arg \"both\" not supported\n", ""},
        {{"--tcpclient", "myhost:6000"}, 1, "Error: Couldn't read ip and port.\n", ""},
        {{"--bind", "1.2.3"}, 1, "", "Error: bind arg \"1.2.3\" is not an IPv4 address\n"},
    };
    for (const auto &c : cases) {
        std::string out, err;
        EXPECT_EQ(daemon_run_to_exit(c.args, &out, &err), c.status) << c.args[0];
        EXPECT_EQ(out.rfind(c.out_starts, 0), 0u) << out;
        EXPECT_NE(err.find(c.err_has), std::string::npos) << err;
        EXPECT_TRUE(c.args.back() != "-h" || err.rfind("Usage:\n  ", 0) == 0) << err;
    }
}

TEST(Startup, WhatCannotBeSetUpIsNamedOnceAndTheRestRuns)
{
    daemon_proc first, d;
    daemon_start(first, {});
    std::string path = "/tmp/" + std::string(300, 'p'), dir = temp_dir();
    std::ofstream(dir + "/bad.conf") << "serial\nstdin =\n";
    daemon_start_opts no_tmp;
    no_tmp.make_tmp_dir = false;
    daemon_start(d,
                 {"--bogus", "-c", dir + "/bad.conf", "--pty=" + path, "-i", path, "-o", path,
                  "--tcpserver", "5551", "--tcpclient"},
                 no_tmp);
    const bool musl = kit_emulated(); // musl words these otherwise than glibc
    const std::string err = daemon_stderr(d),
                      in_use = "tcp://*:5550: " +
                               std::string(musl ? "Address in use" : "Address already in use"),
                      missing = musl ? "option requires an argument: tcpclient"
                                     : "option '--tcpclient' requires an argument";
    // The first daemon's ports (5551 also as server port); the IPC path needs ./tmp.
    // Unknown options and missing arguments are reported in each of the three passes.
    const std::pair<std::string, size_t> failed[] = {
        {"tcp://*:5551: ", 2},      {"tcp://*:5552: ", 1}, {"tcp://*:5553: ", 1},
        {"tcp://*:5554: ", 1},      {in_use, 1},           {"ipc://tmp/vexlond_pull_cmd: ", 1},
        {"unrecognized option", 3}, {missing, 3}};
    for (const auto &f : failed)
        EXPECT_EQ(count_of(err, f.first), f.second) << f.first << "\n" << err;
    EXPECT_TRUE(wait_stderr(d, "1: Error: Unable to parse line\n2: Error: Unable to parse line\n"));
    EXPECT_TRUE(wait_stdout(d, "pth: " + path + "\n"));
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
    EXPECT_TRUE(exited_cleanly(daemon_stop(first)));
}

TEST(Startup, ExecutableConfigurationAppliesBeforeTheCommandLine)
{
    std::string dir = temp_dir(), path = dir + "/vexlond.pl";
    // Both runs record their blocked signals, the second started while the daemon
    // blocks SIGINT and SIGTERM (Perl: a shell clears its mask). The command line wins.
    std::ofstream(path) << "#!/usr/bin/perl\nopen(S, '/proc/self/status');\nopen(R, '>>" + dir +
                               "/runs');\nprint R grep(/^SigBlk/, <S>);\n"
                               "print \"# ports\\n[channels]\\npublish_command_port = 6002\\n"
                               "pull_command_port = 6004\\nhelp\\nconfig = /elsewhere\\n\";\n";
    chmod(path.c_str(), 0755);
    daemon_proc d;
    daemon_start(d, {"-c", path, "-v", "-v", "--pull_command_port", "5554"});
    EXPECT_TRUE(wait_stdout(d, "Configuration file: " + path + "\nPorts: 5551 6002 5553 5554\n"));
    // Live only once what is pushed to 5554 comes out of 6002.
    channel_sub cmd("tcp://127.0.0.1:6002", "tcp://127.0.0.1:5554");
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
    EXPECT_EQ(daemon_stderr(d), "");
    EXPECT_EQ(read_file(dir + "/runs"), "SigBlk:\t0000000000000000\nSigBlk:\t0000000000000000\n");
}

TEST(Startup, DetachedItLogsToSyslogAndKeepsAPidFile)
{
    std::string dir = temp_dir(), sock = dir + "/log", pidfile = dir + "/vexlond.pid";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = {AF_UNIX, {}};
    snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    if (!kit_private_dev_log(sock)) GTEST_SKIP() << "no private /dev/log: needs root and unshare";
    EXPECT_EQ(daemon_run_to_exit({"--daemon", "--pidfile", pidfile, "--serial", "/dev/null:9600"},
                                 nullptr, nullptr),
              0); // the parent, once detached
    ASSERT_TRUE(wait_until([&] { return !read_file(pidfile).empty(); }));
    pid_t pid = std::stoi(read_file(pidfile));
    // Facility daemon (3 << 3) with LOG_ERR (3) for stderr lines, LOG_INFO (6) for
    // stdout lines, under the ident and the detached pid; each stream in its order.
    const std::string tag = "vexlond[" + std::to_string(pid) + "]: ";
    std::string logs;
    auto logged = [&](const std::string &line) {
        char m[2048];
        struct pollfd p = {fd, POLLIN, 0};
        for (ssize_t n; logs.find(line) == std::string::npos && poll(&p, 1, 3000) == 1 &&
                        (n = recv(fd, m, sizeof m, 0)) > 0;) {
            std::string got(m, static_cast<size_t>(n)); // its time left out
            logs += got.substr(0, 4) + got.substr(got.find(tag)) + "\n";
        }
        return logs.find(line) != std::string::npos;
    };
    EXPECT_TRUE(logged("<27>" + tag + "Unknown device type.\n")) << logs;
    EXPECT_TRUE(logged("<30>" + tag + "Accepting commands on port 5550\n")) << logs;
    kill(pid, SIGTERM);
    EXPECT_TRUE(logged("<30>" + tag + "Exiting program...\n")) << logs;
    EXPECT_TRUE(wait_until([&] { return kill(pid, 0) != 0; })); // gone, and its pid file too
    EXPECT_NE(access(pidfile.c_str(), F_OK), 0);
    close(fd);
}
