// Configuration option source: what each kind of line yields, the errors with
// their line numbers, executable configurations, file then command line.
#include "core/config.h"
#include "core/options.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using list = std::vector<std::string>;

struct Config : testing::Test {
    std::string dir = mkdtemp(&(std::string("/tmp/vx-config-XXXXXX") + '\0')[0]);
    void SetUp() override { config_reset(); }
    void TearDown() override { (void)!system(("rm -rf " + dir).c_str()); }
    std::string file(const std::string &name, const std::string &text, mode_t mode = 0600)
    {
        std::ofstream(dir + "/" + name) << text;
        chmod((dir + "/" + name).c_str(), mode);
        return dir + "/" + name;
    }
    // One pass over `path` then `args`: "value" or "value=optarg" per option.
    list pass(const std::string &path, list args = {})
    {
        args.insert(args.begin(), "vexlond");
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        list got;
        for (int c;
             (c = config_getopt_long(path.c_str(), static_cast<int>(args.size()), argv.data(),
                                     SHORT_OPTIONS, long_options, nullptr)) != -1;)
            got.push_back(std::to_string(c) + (optarg ? std::string("=") + optarg : ""));
        return got;
    }
};

TEST_F(Config, LineFormsThenTheCommandLineInEveryPass)
{
    std::string path = file("kv.conf", "# comment\n   #indented\n#=x\n#\n[ general ]\n\n  \n"
                                       "daemon\nserial = /dev/ttyS1:115200 # main port\n"
                                       "   tcpclient=10.0.0.2\npty\npty = /tmp/bus0\n"
                                       "output = x#y\nSerial = a\nverbose\n"
                                       "tcpclient = 127.0.0.1:5010\n");
    // A '#' alone is the key "#"; the last line is the console's save format. A key
    // alone carries no value left in optarg by the command line of the pass before.
    list expected = {
        "63", "16", "1=/dev/ttyS1:115200", "9=10.0.0.2", "15",  "15=/tmp/bus0", "3=x#y",
        "63", "63", "9=127.0.0.1:5010",    "4",          "14=7"};
    EXPECT_EQ(pass(path, {"--ctrl", "--pull_command_port", "7"}), expected);
    EXPECT_STREQ(config_section, "general");
    EXPECT_EQ(pass(path, {"--ctrl", "--pull_command_port", "7"}), expected);

    EXPECT_EQ(pass(file("c.conf", "#only\npty = [x]\n"), {"--card"}), list{"5"});
    EXPECT_STREQ(config_section, "x"); // the header test comes before the '=' test

    testing::internal::CaptureStderr(); // the example shipped with the sources
    EXPECT_EQ(pass(VX_EXAMPLES "/vexlond.conf"),
              (list{"1=/dev/ttyS1:115200", "4", "11=5551", "12=5552", "13=5553", "14=5554",
                    "15=/var/run/vexlon"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Config, UnparsableLinesAreReportedWithTheirLineNumber)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(pass(file("bad.conf", "serial =\nctrl\n\n= /dev/ttyS1\nserial\ncard\n")),
              (list{"4", "5"}));
    EXPECT_EQ(pass(dir + "/missing.conf", {"--ctrl"}), list{"4"});
    // "serial" alone (line 5) needs its argument: reported, never yielded without one.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "1: Error: Unable to parse line\n4: Error: Unable to parse line\n"
              "5: Error: Unable to parse line\nUnable to open/run configuration\n");
}

TEST_F(Config, ExecutableConfigurationRunsInEachPassAndIsReaped)
{
    std::string path = file("gen.sh",
                            "#!/bin/sh\necho run >> " + dir +
                                "/runs\necho ctrl\necho 'serial = /dev/ttyS1:9600'\n",
                            0700);
    list expected = {"4", "1=/dev/ttyS1:9600"}; // the CR of each CR LF is white space
    EXPECT_EQ(pass(path), expected);
    EXPECT_EQ(pass(path), expected);
    std::string runs;
    std::getline(std::ifstream(dir + "/runs"), runs, '\0');
    EXPECT_EQ(runs, "run\nrun\n");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1); // no zombie left behind

    file("x", "#!/bin/sh\necho \"serial = $1\"\n", 0700); // "x y" runs x with argument y
    EXPECT_EQ(pass(file("x y", "", 0700)), list{"1=y"});
}

} // namespace
