// Option passes: what the options set that no end-to-end test shows, the errors
// that end start-up, and the fixed-size fields.
#include "base/settings.h"
#include "core/config.h"
#include "core/options.h"
#include "net/peer.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Runs passes 1 to 3 over a command line, as start-up does (without daemonizing).
struct parsed {
    start_options o;
    int pass3 = 0;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "vexlond");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    parsed p;
    settings_defaults();
    options_defaults(&p.o);
    config_reset();
    if (options_pass1(&p.o, argc, argv.data()) == 0) {
        options_pass2(&p.o, argc, argv.data());
        p.pass3 = options_pass3(&p.o, argc, argv.data());
    }
    return p;
}

TEST(Options, TheLastOneWinsAndStreamWordsAreInAnyCase)
{
    parsed p = parse({"--card", "--ctrl", "-o", "anything", "--tcp_nodelay", "--realtime", "-d",
                      "--pull_command_port", "1", "--pull_command_port", "6004", "--stdin",
                      "RESPONSE", "--stdout", "Command", "--pty=/tmp/bus0", "--pty"});
    EXPECT_EQ(p.pass3, 0);
    EXPECT_EQ(bus_mode, BUS_MODE_CTRL);
    EXPECT_STREQ(p.o.output_path, "anything");
    EXPECT_EQ(tcp_nodelay, 1);
    EXPECT_EQ(p.o.realtime, 1);
    EXPECT_EQ(p.o.daemonize, 1);
    EXPECT_EQ(pull_command_port, 6004);
    EXPECT_EQ(p.o.stdin_mode, STREAM_RESPONSE);
    EXPECT_EQ(p.o.stdout_mode, STREAM_COMMAND);
    EXPECT_EQ(p.o.pty_link, "/tmp/bus0"); // --pty alone keeps the link
    parse({"--ctrl", "--card"});
    EXPECT_EQ(bus_mode, BUS_MODE_CARD);
}

TEST(Options, BadStreamWordsAndPeerAddressesEndStartUp)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--stdin", "both"}, "Error: stdin arg \"both\" not supported\n"},
        {{"--stdout", "x"}, "Error: stdout arg \"x\" not supported\n"},
        {{"--tcpclient", "1.2.3:6000"}, "Error: Couldn't read ip and port.\n"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(parse(c.first).pass3, -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.second);
    }
}

TEST(Options, FixedFieldsKeepTheirSizeLessOneAndTheWidestAddressFits)
{
    std::string long_path(300, 'p'), long_serial(120, 's');
    parsed p = parse({"-c", long_path, "--serial", long_serial, "-i", long_path});
    EXPECT_EQ(std::string(p.o.config_path), long_path.substr(0, 255));
    EXPECT_EQ(std::string(p.o.input_path), long_path.substr(0, 255));
    EXPECT_EQ(std::string(p.o.serial_arg), long_serial.substr(0, 99));
    char ip[PEER_IP_TEXT_SIZE];
    int port = 0;
    std::string widest = "-2147483648.-2147483648.-2147483648.-2147483648";
    ASSERT_EQ(peer_address_parse((widest + ":70000").c_str(), ip, &port), 0);
    EXPECT_EQ(ip + std::string(":") + std::to_string(port), widest + ":70000");
}

} // namespace
