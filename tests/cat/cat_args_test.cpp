// vexlon-cat's command line: the daemon's port for each direction, options anywhere before "--".
#include "cat/cat_args.h"

#include <gtest/gtest.h>

static std::string parsed(const std::vector<std::string> &args)
{
    cat_args a;
    std::string s;
    if (cat_parse(args, &a, &s) < 0 || a.help) return a.help ? "help" : s;
    s = (a.mode == CAT_SEND ? "send " : "watch ") + std::string(cat_channel_name(a.channel)) + " " +
        cat_endpoint(a) + " " + std::to_string(a.count) + " " + std::to_string(a.timeout_ms);
    for (const std::string &t : a.texts) s += " [" + t + "]";
    return s;
}

TEST(CatArgs, DefaultPortPerDirectionOptionsAnywhereAndBadUsageRefusedWithItsReason)
{
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"send", "response", "a", "b c"}, "send response tcp://127.0.0.1:5553 0 5000 [a] [b c]"},
        {{"watch", "response", "--timeout=9"}, "watch response tcp://127.0.0.1:5551 0 9"},
        {{"--port=6", "send", "command", "--host", "127.1"}, "send command tcp://127.1:6 0 5000"},
        {{"send", "command", "--", "-h", "-"}, "send command tcp://127.0.0.1:5554 0 5000 [-h] [-]"},
        {{"watch", "bogus", "--help"}, "help"},
        {{}, "missing send or watch"},
        {{"listen", "command"}, "unknown command 'listen' (send or watch)"},
        {{"watch", "commands"}, "unknown channel 'commands' (command or response)"},
        {{"watch", "command", "x"}, "watch takes no TEXT ('x')"},
        {{"send", "command", "--count", "2"}, "--count is for watch only"},
        {{"send", "command", "--verbose"}, "unknown option '--verbose'"},
        {{"send", "command", "--host="}, "--host: empty address"},
        {{"send", "--port", "0"}, "--port: '0' is not a number from 1 to 65535"},
        {{"send", "--timeout", "80x"}, "--timeout: '80x' is not a number from 1 to 2147483647"},
        {{"--count", "2147483648"}, "--count: '2147483648' is not a number from 1 to 2147483647"},
    };
    for (const auto &r : rows) EXPECT_EQ(parsed(r.first), r.second);
}
