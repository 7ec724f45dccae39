// Option passes and their configuration source.
#include "base/clock.h"
#include "base/settings.h"
#include "core/config.h"
#include "core/options.h"
#include "kit.h"

#include <fstream>
#include <sys/stat.h>

using namespace testing::internal; // output capture
using list = std::vector<std::string>;

static std::string file(const std::string &name, const std::string &text, mode_t mode = 0600)
{
    std::string path = temp_dir() + "/" + name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

// Passes 1 to 3 as start-up runs them: pass 1's result when it ends start-up, else pass 3's.
static int parse(start_options &o, list args)
{
    args.insert(args.begin(), "vexlond");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size()), pass1;
    settings_defaults();
    options_defaults(&o);
    config_reset();
    if ((pass1 = options_pass1(&o, argc, argv.data())) != PASS1_GO_ON) return pass1;
    options_pass2(&o, argc, argv.data());
    return options_pass3(&o, argc, argv.data());
}

TEST(Options, TheLastOneWinsFieldsAreBoundedAndLongOptionsAreKeysOfTheConfiguration)
{
    std::string conf =
        file("vexlond.conf", "pidfile = /run/vx.pid\nmax_server_conns = 7\n"
                             "max_consoles = -5\nmax_links = 3\nbind = 127.0.0.9\ndaemon\n");
    std::string path(300, 'p'), serial(120, 's'); // fields keep their size less one
    start_options o;
    EXPECT_EQ(0, parse(o, {"--card", "--ctrl", "-oanything", "--tcp_nodelay", "--realtime",
                           "--pull_command_port", "1", "--pull_command_port=6004",
                           "--stdin=RESPONSE", "--stdout", "Command", "--pty=/tmp/bus0", "--pty",
                           "-c", conf, "--bind=127.0.0.2", "-i" + path, "--serial=" + serial}));
    // --pty alone keeps the link; a negative count is 0.
    EXPECT_EQ(
        std::make_tuple(bus_mode.load(), tcp_nodelay.load(), o.realtime, o.daemonize,
                        pull_command_port.load(), o.stdin_mode, o.stdout_mode, max_consoles.load(),
                        max_server_conns.load(), max_links.load()),
        std::make_tuple(BUS_MODE_CTRL, 1, 1, 1, 6004, STREAM_RESPONSE, STREAM_COMMAND, 0, 7, 3));
    EXPECT_EQ(std::string(o.output_path) + " " + o.pty_link + " " + bind_address + " " + o.pidfile,
              "anything /tmp/bus0 127.0.0.2 /run/vx.pid");
    EXPECT_EQ(std::string(o.input_path) + o.serial_arg, path.substr(0, 255) + serial.substr(0, 99));
    EXPECT_TRUE(parse(o, {"--ctrl", "--card"}) == 0 && bus_mode == BUS_MODE_CARD);
}

// One pass over `path` then `args`: "value" or "value=optarg" per option.
static list pass(const std::string &path, list args = {})
{
    args.insert(args.begin(), "vexlond");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    list got;
    for (int c; (c = config_getopt_long(path.c_str(), static_cast<int>(args.size()), argv.data(),
                                        SHORT_OPTIONS, long_options, nullptr)) != -1;)
        got.push_back(std::to_string(c) + (optarg ? std::string("=") + optarg : ""));
    return got;
}

TEST(Config, LineFormsThenTheCommandLineInEveryPass)
{
    std::string path = file("kv.conf", "# comment\n   #indented\n#=x\n#\n[ general ]\n\n  \n"
                                       "daemon\nserial = /dev/ttyS1:115200 # main port\n"
                                       "   tcpclient=10.0.0.2\npty\npty = /tmp/bus0\n= 5\n"
                                       "output = x#y\nSerial = a\nverbose\n"
                                       "tcpclient = 127.0.0.1:5010\n");
    // "#" alone is a key; "= 5" is reported by its line number; no key alone gets a stale optarg.
    list expected = {
        "63", "16", "1=/dev/ttyS1:115200", "9=10.0.0.2", "15",  "15=/tmp/bus0", "3=x#y",
        "63", "63", "9=127.0.0.1:5010",    "4",          "14=7"};
    CaptureStderr();
    EXPECT_EQ(pass(path, {"--ctrl", "--pull_command_port", "7"}), expected);
    EXPECT_STREQ(config_section, "general");
    EXPECT_EQ(pass(path, {"--ctrl", "--pull_command_port", "7"}), expected);
    EXPECT_EQ(GetCapturedStderr(),
              "13: Error: Unable to parse line\n13: Error: Unable to parse line\n");
    EXPECT_EQ(pass(file("c.conf", "#only\npty = [x]\n"), {"--card"}), list{"5"});
    EXPECT_STREQ(config_section, "x"); // the header test comes before the '=' test
}

// Regression: on the 32-bit board a deadline in a long wrapped after 24.8 days of uptime.
TEST(Config, LinesOfAMebibyteAreReadWholeAndAPassEndsAtItsBoundsEachReportedOnce)
{
    clock_set_offset_ms(25LL * 24 * 3600 * 1000);
    const std::string mib(1 << 20, 'x'); // a key, a value, a section header of a mebibyte
    EXPECT_TRUE(pass(file("big.conf", "serial = " + mib + "\n" + mib + "\n[" + mib +
                                          "]\nctrl\n")) == (list{"1=" + mib, "63", "4"}));
    EXPECT_EQ(config_section, mib);
    std::string lines;
    for (int i = 0; i < 1200; i++) lines += "ctrl\n";
    config_max_bytes = 6000;
    EXPECT_EQ(pass(file("full.conf", lines)), list(1200, "4")); // exactly the bound
    CaptureStderr();
    EXPECT_EQ(pass(file("flood.conf", lines + "card\n")), list(1200, "4"));
    EXPECT_EQ(pass(file("flood.sh", "#!/bin/sh\nexec yes ctrl\n", 0700)), list(1000, "4")); // CR LF
    config_time_limit_ms = 300;
    // The line cut by the limit is not taken: it could name another device.
    std::string hang =
        "#!/bin/sh\ntrap '' INT TERM\nprintf 'ctrl\\nserial=/dev/ttyS'\nexec sleep 60\n";
    for (int run = 0; run < 2; run++) EXPECT_EQ(pass(file("hang.sh", hang, 0700)), list{"4"});
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.substr(0, err.find("Warning")),
              "Configuration longer than 6000 bytes: the rest is ignored\n"
              "Configuration not ended within 300 ms: the rest is ignored\n");
    EXPECT_EQ(count_of(err, " the rest is ignored\n"), 2u); // past the Warning lines too
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);           // stopped and reaped
}
