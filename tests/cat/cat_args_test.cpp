// vexlon-cat's command line: the daemon's port for each direction, options
// anywhere before "--", and bad usage refused with its reason.
#include "cat/cat_args.h"

#include <gtest/gtest.h>

namespace {

// A parse in one line: "<mode> <channel> <endpoint> <count> <timeout> [TEXT]...",
// "help", or "error: <reason>".
std::string parsed(const std::vector<std::string> &args)
{
    cat_args a;
    std::string error;
    if (cat_parse(args, &a, &error) < 0) return "error: " + error;
    if (a.help) return "help";
    std::string s = std::string(a.mode == CAT_SEND ? "send " : "watch ") +
                    cat_channel_name(a.channel) + " " + cat_endpoint(a) + " " +
                    std::to_string(a.count) + " " + std::to_string(a.timeout_ms);
    for (const std::string &t : a.texts) s += " [" + t + "]";
    return s;
}

TEST(CatArgs, DefaultPortPerDirectionOptionsAnywhereAndBadUsage)
{
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"send", "command"}, "send command tcp://127.0.0.1:5554 0 5000"},
        {{"send", "response", "a", "b c"}, "send response tcp://127.0.0.1:5553 0 5000 [a] [b c]"},
        {{"watch", "command"}, "watch command tcp://127.0.0.1:5552 0 5000"},
        {{"watch", "response", "--count", "3"}, "watch response tcp://127.0.0.1:5551 3 5000"},
        {{"--host", "127.0.0.2", "send", "command", "x", "--port=6000", "--timeout", "250"},
         "send command tcp://127.0.0.2:6000 0 250 [x]"},
        {{"send", "command", "--", "--port", "-", "-h"},
         "send command tcp://127.0.0.1:5554 0 5000 [--port] [-] [-h]"},
        {{"watch", "bogus", "--help"}, "help"},
        {{}, "error: missing send or watch"},
        {{"listen", "command"}, "error: unknown command 'listen' (send or watch)"},
        {{"send"}, "error: missing channel (command or response)"},
        {{"watch", "commands"}, "error: unknown channel 'commands' (command or response)"},
        {{"watch", "command", "x"}, "error: watch takes no TEXT ('x')"},
        {{"send", "command", "--count", "2"}, "error: --count is for watch only"},
        {{"send", "command", "--verbose"}, "error: unknown option '--verbose'"},
        {{"send", "command", "--timeout"}, "error: --timeout needs a value"},
        {{"send", "command", "--host="}, "error: --host: empty address"},
        {{"send", "command", "--port", "0"}, "error: --port: '0' is not a number from 1 to 65535"},
        {{"send", "command", "--port", "65536"},
         "error: --port: '65536' is not a number from 1 to 65535"},
        {{"send", "command", "--port", "80x"},
         "error: --port: '80x' is not a number from 1 to 65535"},
        {{"watch", "command", "--count", "-1"},
         "error: --count: '-1' is not a number from 1 to 2147483647"},
        {{"send", "command", "--timeout", "2147483648"},
         "error: --timeout: '2147483648' is not a number from 1 to 2147483647"},
    };
    for (const auto &r : rows) EXPECT_EQ(parsed(r.first), r.second);
}

} // namespace
