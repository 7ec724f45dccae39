// vexlon-cat's command line.
#include "cat/cat_args.h"

#include "base/settings.h"

#include <climits>

namespace {

const int PORT_MAX = 65535;

// A decimal number from 1 to `max`, digits only: "5e3", "-1", " 5" and a value
// past `max` are refused rather than cut or wrapped. -1 when refused.
long long positive(const std::string &text, long long max)
{
    if (text.empty() || text.size() > 10) return -1; // INT_MAX has 10 digits
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v >= 1 && v <= max ? v : -1;
}

// Sets `*field` from the value of `option`; false with *error on a bad value.
bool number(const std::string &option, const std::string &value, long long max, int *field,
            std::string *error)
{
    long long v = positive(value, max);
    if (v < 0) {
        *error = option + ": '" + value + "' is not a number from 1 to " + std::to_string(max);
        return false;
    }
    *field = static_cast<int>(v);
    return true;
}

int channel_of(const std::string &name)
{
    if (name == "command") return CHANNEL_COMMAND;
    if (name == "response") return CHANNEL_RESPONSE;
    return CHANNEL_NONE;
}

} // namespace

std::string cat_usage()
{
    return "Usage: vexlon-cat send command|response [options] [--] [TEXT...]\n"
           "       vexlon-cat watch command|response [options]\n"
           "send pushes each TEXT and a newline (without TEXT: each line of standard\n"
           "input) into a channel of vexlond; watch prints the channel's messages.\n"
           "  --host <addr>   the daemon's address (default " +
           std::string(CAT_DEFAULT_HOST) +
           ")\n"
           "  --port <n>      the channel's port (default: send command " +
           std::to_string(DEFAULT_PULL_COMMAND_PORT) + ", send response " +
           std::to_string(DEFAULT_PULL_RESPONSE_PORT) + ",\n                  watch command " +
           std::to_string(DEFAULT_PUBLISH_COMMAND_PORT) + ", watch response " +
           std::to_string(DEFAULT_PUBLISH_RESPONSE_PORT) +
           ")\n"
           "  --count <n>     watch: exit after n messages\n"
           "  --timeout <ms>  how long the daemon may take to answer (default " +
           std::to_string(CAT_DEFAULT_TIMEOUT_MS) +
           ")\n"
           "  -h, --help      print this help\n";
}

int cat_default_port(int mode, int channel)
{
    if (mode == CAT_SEND)
        return channel == CHANNEL_COMMAND ? DEFAULT_PULL_COMMAND_PORT : DEFAULT_PULL_RESPONSE_PORT;
    return channel == CHANNEL_COMMAND ? DEFAULT_PUBLISH_COMMAND_PORT
                                      : DEFAULT_PUBLISH_RESPONSE_PORT;
}

const char *cat_channel_name(int channel)
{
    return channel == CHANNEL_COMMAND ? "command" : "response";
}

std::string cat_endpoint(const cat_args &a)
{
    return "tcp://" + a.host + ":" + std::to_string(a.port);
}

int cat_parse(const std::vector<std::string> &args, cat_args *out, std::string *error)
{
    *out = cat_args();
    out->host = CAT_DEFAULT_HOST;
    out->timeout_ms = CAT_DEFAULT_TIMEOUT_MS;
    std::vector<std::string> words;
    bool options = true, count_given = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &arg = args[i];
        if (!options || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options = false;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out->help = true;
            return 0;
        }
        // "--name value" or "--name=value"
        size_t eq = arg.find('=');
        std::string name = arg.substr(0, eq), value;
        if (name != "--host" && name != "--port" && name != "--count" && name != "--timeout") {
            *error = "unknown option '" + arg + "'";
            return -1;
        }
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            *error = name + " needs a value";
            return -1;
        }
        if (name == "--host") {
            if (value.empty()) {
                *error = "--host: empty address";
                return -1;
            }
            out->host = value;
        } else if (name == "--port") {
            if (!number(name, value, PORT_MAX, &out->port, error)) return -1;
        } else if (name == "--count") {
            if (!number(name, value, INT_MAX, &out->count, error)) return -1;
            count_given = true;
        } else if (!number(name, value, INT_MAX, &out->timeout_ms, error)) {
            return -1;
        }
    }

    if (words.empty()) {
        *error = "missing send or watch";
        return -1;
    }
    if (words[0] != "send" && words[0] != "watch") {
        *error = "unknown command '" + words[0] + "' (send or watch)";
        return -1;
    }
    out->mode = words[0] == "send" ? CAT_SEND : CAT_WATCH;
    out->channel = words.size() > 1 ? channel_of(words[1]) : CHANNEL_NONE;
    if (out->channel == CHANNEL_NONE) {
        *error = words.size() > 1 ? "unknown channel '" + words[1] + "' (command or response)"
                                  : "missing channel (command or response)";
        return -1;
    }
    if (out->mode == CAT_WATCH && words.size() > 2) {
        *error = "watch takes no TEXT ('" + words[2] + "')";
        return -1;
    }
    if (out->mode == CAT_SEND && count_given) {
        *error = "--count is for watch only";
        return -1;
    }
    out->texts.assign(words.begin() + 2, words.end());
    if (out->port == 0) out->port = cat_default_port(out->mode, out->channel);
    return 0;
}
