// vexlon-cat's command line: what to do, on which channel, where the daemon is.
// Pure parsing, so that every rule of the usage can be checked without a socket.
#pragma once

#include <string>
#include <vector>

enum { CAT_SEND = 0, CAT_WATCH = 1 };

constexpr const char *CAT_DEFAULT_HOST = "127.0.0.1";
// How long a step may wait for the daemon before it counts as not answering:
// the connection, each message taken, the last messages leaving. Long enough for
// a board busy starting up, short enough for a script to report and go on.
constexpr int CAT_DEFAULT_TIMEOUT_MS = 5000;

struct cat_args {
    bool help = false;              // -h/--help: print the usage, nothing else
    int mode = CAT_SEND;            // CAT_SEND or CAT_WATCH
    int channel = 0;                // CHANNEL_COMMAND or CHANNEL_RESPONSE
    std::string host;               // --host, default CAT_DEFAULT_HOST
    int port = 0;                   // --port, default the daemon's port for mode and channel
    int count = 0;                  // watch --count; 0: until stopped
    int timeout_ms = 0;             // --timeout, default CAT_DEFAULT_TIMEOUT_MS
    std::vector<std::string> texts; // send: the messages, each without its newline
};

// The usage printed by --help, with the daemon's default ports.
std::string cat_usage();

// Reads the arguments after the program name. Options may stand anywhere before
// "--", after which every argument is a TEXT. Returns 0, or -1 with the reason
// in *error (bad usage).
int cat_parse(const std::vector<std::string> &args, cat_args *out, std::string *error);

// The daemon's default port of the channel's PULL side (CAT_SEND) or PUB side
// (CAT_WATCH).
int cat_default_port(int mode, int channel);

// "command" or "response".
const char *cat_channel_name(int channel);

// "tcp://<host>:<port>".
std::string cat_endpoint(const cat_args &a);
