// The configuration reader against bad input: lines of 1 MiB, a program that
// never ends its output, and floods from a program or a file. Each pass ends,
// with one message per bound, and no program is left behind.
#include "core/config.h"
#include "core/options.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using list = std::vector<std::string>;

struct ConfigBounds : testing::Test {
    std::string dir = mkdtemp(&(std::string("/tmp/vx-bounds-XXXXXX") + '\0')[0]);
    int saved_time = config_time_limit_ms;
    size_t saved_bytes = config_max_bytes;
    void SetUp() override { config_reset(); }
    void TearDown() override
    {
        config_time_limit_ms = saved_time;
        config_max_bytes = saved_bytes;
        config_reset();
        (void)!system(("rm -rf " + dir).c_str());
    }
    std::string file(const std::string &name, const std::string &text, mode_t mode = 0600)
    {
        std::ofstream(dir + "/" + name) << text;
        chmod((dir + "/" + name).c_str(), mode);
        return dir + "/" + name;
    }
    // One pass: "value:length of optarg" per option.
    list pass(const std::string &path)
    {
        char arg0[] = "vexlond";
        char *argv[] = {arg0, nullptr};
        list got;
        for (int c; (c = config_getopt_long(path.c_str(), 1, argv, SHORT_OPTIONS, long_options,
                                            nullptr)) != -1;)
            got.push_back(std::to_string(c) + ":" + std::to_string(optarg ? strlen(optarg) : 0));
        return got;
    }
};

TEST_F(ConfigBounds, LinesOfOneMebibyteAreReadWhole)
{
    const std::string mib(1 << 20, 'x');
    const struct {
        std::string text;
        list yields;
    } cases[] = {
        {"serial = " + mib + "\nctrl\n", {"1:1048576", "4:0"}},
        {mib + "\nctrl\n", {"63:0", "4:0"}}, // an unknown key
        {"#" + mib + "\nctrl", {"4:0"}},
        {std::string(1 << 20, ' ') + "\nctrl\n", {"4:0"}},
        {"[" + mib + "]\nctrl\n", {"4:0"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(pass(file("big.conf", c.text)), c.yields) << c.text.substr(0, 20);
    EXPECT_EQ(strlen(config_section), mib.size());
}

TEST_F(ConfigBounds, AProgramThatNeverEndsIsStoppedAtTheTimeLimit)
{
    config_time_limit_ms = 300;
    // The line cut by the limit is not taken: it could name another device.
    std::string path =
        file("hang.sh", "#!/bin/sh\nprintf 'ctrl\\nserial = /dev/ttyS'\nexec sleep 60\n", 0700);
    testing::internal::CaptureStderr();
    long start = time(nullptr);
    EXPECT_EQ(pass(path), list{"4:0"});
    EXPECT_EQ(pass(path), list{"4:0"});
    EXPECT_LT(time(nullptr) - start, 10);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Configuration not ended within 300 ms: the rest is ignored\n");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1); // stopped and reaped
}

TEST_F(ConfigBounds, FloodsFromAProgramOrAFileAreCutAtTheByteBound)
{
    config_max_bytes = 6000;
    std::string lines;
    for (int i = 0; i < 1200; i++) lines += "ctrl\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(pass(file("full.conf", lines)), list(1200, "4:0")); // exactly the bound
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(pass(file("flood.conf", lines + "card\n")), list(1200, "4:0"));
    // "ctrl\r\n" through the pseudo-terminal: 1000 lines.
    EXPECT_EQ(pass(file("flood.sh", "#!/bin/sh\nexec yes ctrl\n", 0700)), list(1000, "4:0"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Configuration longer than 6000 bytes: the rest is ignored\n");
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

} // namespace
