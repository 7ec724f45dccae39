// Command-line options: the long option table shared with the configuration file,
// the usage text, and the three option passes of start-up.
#pragma once

#include <cstdio>
#include <getopt.h>
#include <string>

constexpr int PATH_FIELD_SIZE = 256;  // config, input and output paths
constexpr int SERIAL_ARG_SIZE = 100;  // the serial argument
constexpr int PEER_IP_TEXT_SIZE = 48; // "%d.%d.%d.%d" of four ints: 4 * 11 + 3 dots + NUL
constexpr int TCP_CLIENT_DEFAULT_PORT = 5010;

enum { STREAM_NONE = 0, STREAM_COMMAND = 1, STREAM_RESPONSE = 2 };

// Start-up's own settings, filled by the option passes.
struct start_options {
    char config_path[PATH_FIELD_SIZE]; // empty: no configuration file
    int daemonize;                      // detach after pass 2
    int stdin_mode;                     // STREAM_*
    int stdout_mode;                    // STREAM_*
    char serial_arg[SERIAL_ARG_SIZE];   // empty: no serial port
    int serial_dump;                    // trace serial traffic
    char input_path[PATH_FIELD_SIZE];   // empty: no input file
    char output_path[PATH_FIELD_SIZE];  // stored by -o; nothing reads it
    int tcpserver_port;                 // below 0: no TCP server
    int pty_requested;                  // create the pseudo-terminal endpoint
    std::string pty_link;               // symbolic link to the pty slave; empty: none
    int realtime;                       // SCHED_RR
};

// The values getopt yields for the long options (not their positions).
enum {
    OPT_HELP = 0,
    OPT_SERIAL = 1,
    OPT_INPUT = 2,
    OPT_OUTPUT = 3,
    OPT_CTRL = 4,
    OPT_CARD = 5,
    OPT_STDIN = 6,
    OPT_STDOUT = 7,
    OPT_TCPSERVER = 8,
    OPT_TCPCLIENT = 9,
    OPT_CONFIG = 10,
    OPT_PUBLISH_RESPONSE_PORT = 11,
    OPT_PUBLISH_COMMAND_PORT = 12,
    OPT_PULL_RESPONSE_PORT = 13,
    OPT_PULL_COMMAND_PORT = 14,
    OPT_PTY = 15,
    OPT_DAEMON = 16,
    OPT_SERIAL_DUMP = 17,
    OPT_TCP_NODELAY = 18,
    OPT_REALTIME = 19,
};

extern const struct option long_options[]; // 20 entries and the null terminator
extern const char SHORT_OPTIONS[];         // "dc:hvi:o:"

void options_defaults(start_options *o);

// Writes the usage text (without the serial argument help) to `stream`.
void print_usage(FILE *stream, const char *program);

// Pass 1, the command line alone: help and the configuration path. Returns 1
// when help was asked for (usage and serial help printed; the caller exits 1).
int options_pass1(start_options *o, int argc, char **argv);

// Pass 2, configuration file then command line: --daemon only.
void options_pass2(start_options *o, int argc, char **argv);

// Pass 3, configuration file then command line: everything else. Returns 0, or
// -1 after printing an option error (the caller exits with status 1).
int options_pass3(start_options *o, int argc, char **argv);

// Parses "<a>.<b>.<c>.<d>[:<port>]" as --tcpclient and the console do: the
// address is rebuilt as "%d.%d.%d.%d" (leading zeros go, no range check) and the
// port defaults to TCP_CLIENT_DEFAULT_PORT. Returns 0, or -1 for fewer than four
// numbers.
int peer_address_parse(const char *text, char (&ip)[PEER_IP_TEXT_SIZE], int *port);
