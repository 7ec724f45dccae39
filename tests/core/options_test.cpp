// Option passes: what each option sets, help first, the errors that end start-up,
// and the fixed-size fields.
#include "core/config.h"
#include "core/options.h"
#include "core/settings.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Runs passes 1 to 3 over a command line, as start-up does (without daemonizing).
struct parsed {
    start_options o;
    int pass1 = 0;
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
    p.pass1 = options_pass1(&p.o, argc, argv.data());
    if (p.pass1) return p;
    options_pass2(&p.o, argc, argv.data());
    p.pass3 = options_pass3(&p.o, argc, argv.data());
    return p;
}

TEST(Options, DefaultsWithoutArguments)
{
    parsed p = parse({});
    EXPECT_EQ(p.pass3, 0);
    EXPECT_EQ(publish_response_port, 5551);
    EXPECT_EQ(publish_command_port, 5552);
    EXPECT_EQ(pull_response_port, 5553);
    EXPECT_EQ(pull_command_port, 5554);
    EXPECT_EQ(bus_mode, BUS_MODE_CARD);
    EXPECT_EQ(p.o.tcpserver_port, -1);
    EXPECT_EQ(p.o.stdin_mode, STREAM_NONE);
    EXPECT_STREQ(p.o.config_path, "");
}

TEST(Options, EachOptionSetsItsSetting)
{
    parsed p = parse({"--ctrl", "--serial", "/dev/ttyS1:9600", "--serial_dump", "-i", "in.txt",
                      "-o", "anything", "--tcpserver", "6000", "--tcp_nodelay",
                      "--publish_response_port", "6001", "--publish_command_port", "6002",
                      "--pull_response_port", "6003", "--pull_command_port", "6004",
                      "--pty=/tmp/bus0", "--realtime", "-v", "-v", "-d"});
    EXPECT_EQ(p.pass3, 0);
    EXPECT_EQ(bus_mode, BUS_MODE_CTRL);
    EXPECT_STREQ(p.o.serial_arg, "/dev/ttyS1:9600");
    EXPECT_EQ(p.o.serial_dump, 1);
    EXPECT_STREQ(p.o.input_path, "in.txt");
    EXPECT_STREQ(p.o.output_path, "anything");
    EXPECT_EQ(p.o.tcpserver_port, 6000);
    EXPECT_EQ(tcp_nodelay, 1);
    EXPECT_EQ(publish_response_port, 6001);
    EXPECT_EQ(publish_command_port, 6002);
    EXPECT_EQ(pull_response_port, 6003);
    EXPECT_EQ(pull_command_port, 6004);
    EXPECT_EQ(p.o.pty_requested, 1);
    EXPECT_EQ(p.o.pty_link, "/tmp/bus0");
    EXPECT_EQ(p.o.realtime, 1);
    EXPECT_EQ(verbose, 2);
    EXPECT_EQ(p.o.daemonize, 1);
}

TEST(Options, LastBusModeAndPortWin)
{
    parsed p = parse({"--ctrl", "--card", "--pull_command_port", "1", "--pull_command_port", "2"});
    EXPECT_EQ(bus_mode, BUS_MODE_CARD);
    EXPECT_EQ(pull_command_port, 2);
    parsed q = parse({"--pty"});
    EXPECT_EQ(q.o.pty_requested, 1);
    EXPECT_EQ(q.o.pty_link, "");
}

TEST(Options, StreamWordsInAnyCase)
{
    parsed p = parse({"--stdin", "RESPONSE", "--stdout", "Command"});
    EXPECT_EQ(p.pass3, 0);
    EXPECT_EQ(p.o.stdin_mode, STREAM_RESPONSE);
    EXPECT_EQ(p.o.stdout_mode, STREAM_COMMAND);
}

TEST(Options, UnsupportedStreamWordIsAnError)
{
    testing::internal::CaptureStdout();
    parsed p = parse({"--stdin", "both"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: stdin arg \"both\" not supported\n");
    EXPECT_EQ(p.pass3, -1);

    testing::internal::CaptureStdout();
    parsed q = parse({"--stdout", "x"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: stdout arg \"x\" not supported\n");
    EXPECT_EQ(q.pass3, -1);
}

TEST(Options, HelpActsBeforeAnyOtherOption)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    parsed p = parse({"--stdin", "bogus", "-h"});
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(p.pass1, 1);
    EXPECT_EQ(err.rfind("Usage:\n  vexlond [options]\nOptions:\n  -h\n", 0), 0u);
    EXPECT_NE(err.find("              Default: 5554\n  --pty[=<dev link>]  Create a "
                       "pseudoterminal."),
              std::string::npos);
    EXPECT_EQ(err.back(), '.'); // no line break after the last line
    EXPECT_EQ(out.rfind("Serial arguments:\n  --serial <device>:<baudrate>[:<mode>[:format]]\n", 0),
              0u);
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
}

TEST(Options, FixedFieldsKeepTheirSizeLessOne)
{
    std::string long_path(300, 'p');
    std::string long_serial(120, 's');
    parsed p = parse({"-c", long_path, "--serial", long_serial});
    EXPECT_EQ(std::string(p.o.config_path), long_path.substr(0, 255));
    EXPECT_EQ(std::string(p.o.serial_arg), long_serial.substr(0, 99));
}

TEST(Options, TcpclientNeedsFourNumbers)
{
    testing::internal::CaptureStdout();
    parsed p = parse({"--tcpclient", "myhost:6000"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Couldn't read ip and port.\n");
    EXPECT_EQ(p.pass3, -1);
}

TEST(PeerAddress, RebuiltAddressAndDefaultPort)
{
    char ip[PEER_IP_TEXT_SIZE];
    int port = 0;
    ASSERT_EQ(peer_address_parse("127.0.0.1", ip, &port), 0);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(port, 5010);
    ASSERT_EQ(peer_address_parse("127.0.0.1:6000", ip, &port), 0);
    EXPECT_EQ(port, 6000);
    ASSERT_EQ(peer_address_parse("010.1.1.1", ip, &port), 0);
    EXPECT_STREQ(ip, "10.1.1.1");
    ASSERT_EQ(peer_address_parse("300.1.1.1:70000", ip, &port), 0);
    EXPECT_STREQ(ip, "300.1.1.1");
    EXPECT_EQ(port, 70000);
    EXPECT_EQ(peer_address_parse("1.2.3", ip, &port), -1);
    // The widest numbers still fit the address field.
    ASSERT_EQ(peer_address_parse("-2147483648.-2147483648.-2147483648.-2147483648", ip, &port), 0);
    EXPECT_STREQ(ip, "-2147483648.-2147483648.-2147483648.-2147483648");
}

} // namespace
