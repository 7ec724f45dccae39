// Command-line options: the long option table shared with the configuration file,
// the usage text, and the three option passes of start-up.
#pragma once

#include "serial/serial_endpoint.h"

#include <cstdio>
#include <getopt.h>
#include <string>

constexpr int PATH_FIELD_SIZE = 256; // config, input, output and pid file paths

enum { STREAM_NONE = 0, STREAM_COMMAND = 1, STREAM_RESPONSE = 2 };

// Start-up's own settings, filled by the option passes.
struct start_options {
    char config_path[PATH_FIELD_SIZE]; // empty: no configuration file
    int daemonize;                     // detach after pass 2
    int stdin_mode;                    // STREAM_*
    int stdout_mode;                   // STREAM_*
    char serial_arg[SERIAL_ARG_SIZE];  // empty: no serial port
    int serial_dump;                   // trace serial traffic
    char input_path[PATH_FIELD_SIZE];  // empty: no input file
    char output_path[PATH_FIELD_SIZE]; // stored by -o; nothing reads it
    int tcpserver_port;                // below 0: no TCP server
    int pty_requested;                 // create the pseudo-terminal endpoint
    std::string pty_link;              // symbolic link to the pty slave; empty: none
    int realtime;                      // SCHED_RR
    char pidfile[PATH_FIELD_SIZE];     // --pidfile; empty: none
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
    // Added to the daemon after the options above, with values of their own.
    OPT_VERSION = 20,
    OPT_BIND = 21,
    OPT_PIDFILE = 22,
    OPT_MAX_CONSOLES = 23,
    OPT_MAX_SERVER_CONNS = 24,
    OPT_MAX_LINKS = 25,
};

extern const struct option long_options[]; // 26 entries and the null terminator
extern const char SHORT_OPTIONS[];         // "dc:hvi:o:"

void options_defaults(start_options *o);

// Writes the usage text (without the serial argument help) to `stream`, the
// options added to the daemon after it.
void print_usage(FILE *stream, const char *program);

enum { PASS1_GO_ON = 0, PASS1_HELP = 1, PASS1_VERSION = 2 };

// Pass 1, the command line alone: help, version and the configuration path.
// Returns PASS1_HELP when help was asked for (usage and serial help printed; the
// caller exits 1), PASS1_VERSION after printing the versions (the caller exits 0).
int options_pass1(start_options *o, int argc, char **argv);

// Pass 2, configuration file then command line: --daemon. It also notes where
// the server port will listen, so that links given before it in pass 3 already
// meet the check against linking to it.
void options_pass2(start_options *o, int argc, char **argv);

// Pass 3, configuration file then command line: everything else. Returns 0, or
// -1 after printing an option error (the caller exits with status 1).
int options_pass3(start_options *o, int argc, char **argv);
