// Command-line options and the three option passes.
//
// DESIGN: pass 1 reads the command line alone (help, configuration path); passes
// 2 and 3 go through config_getopt_long, which yields the configuration file's
// options first and then the command line's, so the command line wins. Pass 2
// acts on --daemon only, before any descriptor or thread exists; pass 3 on the rest.
#include "core/options.h"

#include "base/settings.h"
#include "core/config.h"
#include "net/peer.h"
#include "net/tcp_client.h"
#include "serial/serial_arg.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <zmq.h>

const struct option long_options[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"serial", required_argument, nullptr, OPT_SERIAL},
    {"serial_dump", no_argument, nullptr, OPT_SERIAL_DUMP},
    {"input", required_argument, nullptr, OPT_INPUT},
    {"output", required_argument, nullptr, OPT_OUTPUT},
    {"ctrl", no_argument, nullptr, OPT_CTRL},
    {"card", no_argument, nullptr, OPT_CARD},
    {"stdin", required_argument, nullptr, OPT_STDIN},
    {"stdout", required_argument, nullptr, OPT_STDOUT},
    {"tcpserver", required_argument, nullptr, OPT_TCPSERVER},
    {"tcpclient", required_argument, nullptr, OPT_TCPCLIENT},
    {"tcp_nodelay", no_argument, nullptr, OPT_TCP_NODELAY},
    {"config", required_argument, nullptr, OPT_CONFIG},
    {"publish_response_port", required_argument, nullptr, OPT_PUBLISH_RESPONSE_PORT},
    {"publish_command_port", required_argument, nullptr, OPT_PUBLISH_COMMAND_PORT},
    {"pull_response_port", required_argument, nullptr, OPT_PULL_RESPONSE_PORT},
    {"pull_command_port", required_argument, nullptr, OPT_PULL_COMMAND_PORT},
    {"pty", optional_argument, nullptr, OPT_PTY},
    {"daemon", no_argument, nullptr, OPT_DAEMON},
    {"realtime", no_argument, nullptr, OPT_REALTIME},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"bind", required_argument, nullptr, OPT_BIND},
    {"pidfile", required_argument, nullptr, OPT_PIDFILE},
    {"max_consoles", required_argument, nullptr, OPT_MAX_CONSOLES},
    {"max_server_conns", required_argument, nullptr, OPT_MAX_SERVER_CONNS},
    {"max_links", required_argument, nullptr, OPT_MAX_LINKS},
    {nullptr, 0, nullptr, 0},
};

const char SHORT_OPTIONS[] = "dc:hvi:o:";

// Keeps at most the field's size less one character, always NUL-terminated.
template <size_t N>
static void copy_field(char (&dst)[N], const char *src)
{
    snprintf(dst, N, "%s", src ? src : "");
}

void options_defaults(start_options *o)
{
    memset(o->config_path, 0, sizeof o->config_path);
    memset(o->serial_arg, 0, sizeof o->serial_arg);
    memset(o->input_path, 0, sizeof o->input_path);
    memset(o->output_path, 0, sizeof o->output_path);
    o->daemonize = 0;
    o->stdin_mode = STREAM_NONE;
    o->stdout_mode = STREAM_NONE;
    o->serial_dump = 0;
    o->tcpserver_port = -1;
    o->pty_requested = 0;
    o->pty_link.clear();
    o->realtime = 0;
    memset(o->pidfile, 0, sizeof o->pidfile);
}

void print_usage(FILE *stream, const char *program)
{
    // Kept on purpose, byte for byte ("Not implemented." for -i and -o included):
    // it is what users and scripts have always read; added options follow it.
    fwrite("Usage:\n", 1, 7, stream);
    fprintf(stream, "  %s [options]\n", program);
    fprintf(stream,
            "Options:\n"
            "  -h\n"
            "  --help      Print this message.\n"
            "  -d\n"
            "  --daemon    Daemonize the program.\n"
            "  -c <config file>\n"
            "  --config <config file>  Specify alternative configuration file.\n"
            "  -v          Increase verbose level.\n"
            "  --serial <serial arg>  Open connection to serial port.\n"
            "  --serial_dump Dump data to/from serial port to stdout.\n"
            "  -i\n"
            "  --input     Not implemented.\n"
            "  -o\n"
            "  --output    Not implemented.\n"
            "  --ctrl      Be a controller on the Vexlon bus - only commands\n"
            "              will be sent to the bus.\n"
            "  --card      Be a card on the Vexlon bus - only responses will\n"
            "              be sent to the bus.\n"
            "  --stdin command|response  Read commands or responses from stdin.\n"
            "  --stdout command|response  Write commands or responses to\n"
            "              stdout.\n"
            "  --tcpserver <port> Listen on TCP port <port>.\n"
            "  --tcpclient <ip>:<port> Connect to other vexlond.\n"
            "  --tcp_nodelay  Disable the Nagle algorithm (set TCP_NODELAY).\n"
            "  --realtime  Set the program in realtime scheduling queue.\n"
            "  --publish_response_port  Specify publish response port.\n"
            "              Default: %s\n"
            "  --publish_command_port   Specify publish command port.\n"
            "              Default: %s\n"
            "  --pull_response_port     Specify pull response port.\n"
            "              Default: %s\n"
            "  --pull_command_port      Specify pull command port.\n"
            "              Default: %s\n"
            "  --pty[=<dev link>]  Create a pseudoterminal.",
            "5551", "5552", "5553", "5554");
    // Options added to the daemon, after the text above and in its layout.
    fprintf(stream,
            "\n"
            "  --version   Print the version and exit.\n"
            "  --bind <ip>  Listen on this IPv4 address only (channels, console,\n"
            "              TCP server). Default: all interfaces\n"
            "  --pidfile <file>  Write the process id to <file>.\n"
            "  --max_consoles <n>  Limit the console connections.\n"
            "              Default: %d\n"
            "  --max_server_conns <n>  Limit the TCP server connections.\n"
            "              Default: %d\n"
            "  --max_links <n>  Limit the links to other vexlonds.\n"
            "              Default: %d\n",
            DEFAULT_MAX_CONSOLES, DEFAULT_MAX_SERVER_CONNS, DEFAULT_MAX_LINKS);
}

static void print_version()
{
    int major, minor, patch;
    zmq_version(&major, &minor, &patch);
    printf("vexlond %s\nlibzmq %d.%d.%d\n", VEXLOND_VERSION, major, minor, patch);
}

int options_pass1(start_options *o, int argc, char **argv)
{
    optind = 0; // a full rescan, also when start-up is run more than once (tests)
    int c;
    while ((c = getopt_long(argc, argv, SHORT_OPTIONS, long_options, nullptr)) != -1) {
        if (c == 'h' || c == OPT_HELP) {
            print_usage(stderr, argv[0]);
            fflush(stderr);
            serial_usage("--serial");
            return PASS1_HELP;
        }
        if (c == OPT_VERSION) {
            print_version();
            return PASS1_VERSION;
        }
        if (c == 'c' || c == OPT_CONFIG) copy_field(o->config_path, optarg);
    }
    return PASS1_GO_ON;
}

void options_pass2(start_options *o, int argc, char **argv)
{
    int c;
    int server_port = -1;
    char bind[BIND_ADDRESS_SIZE] = "";
    while ((c = config_getopt_long(o->config_path, argc, argv, SHORT_OPTIONS, long_options,
                                   nullptr)) != -1) {
        if (c == 'd' || c == OPT_DAEMON) o->daemonize = 1;
        if (c == OPT_TCPSERVER && optarg) server_port = atoi(optarg);
        if (c == OPT_BIND && optarg) copy_field(bind, optarg);
    }
    tcp_client_own_server(bind, server_port);
}

// A count option's value: atoi's reading, a negative count taken as 0.
static int count_value(const char *arg)
{
    int n = atoi(arg);
    return n < 0 ? 0 : n;
}

// "command" or "response" in any case; -1 for any other word.
static int stream_mode(const char *word)
{
    if (strcasecmp(word, "command") == 0) return STREAM_COMMAND;
    if (strcasecmp(word, "response") == 0) return STREAM_RESPONSE;
    return -1;
}

// Whether the option yielding `c` needs an argument to act on.
static bool requires_argument(int c)
{
    if (c == 'i' || c == 'o' || c == 'c') return true;
    for (const struct option *opt = long_options; opt->name; opt++)
        if (opt->val == c) return opt->has_arg == required_argument;
    return false;
}

static int apply_option(start_options *o, int c, const char *arg)
{
    // The configuration source reports a key written without its value; this
    // keeps any such option from reaching the code below without its argument.
    if (arg == nullptr && requires_argument(c)) return 0;
    switch (c) {
    case OPT_SERIAL: copy_field(o->serial_arg, arg); break;
    case OPT_SERIAL_DUMP: o->serial_dump = 1; break;
    case 'i':
    case OPT_INPUT: copy_field(o->input_path, arg); break;
    case 'o':
    case OPT_OUTPUT: copy_field(o->output_path, arg); break;
    case OPT_CTRL: bus_mode = BUS_MODE_CTRL; break;
    case OPT_CARD: bus_mode = BUS_MODE_CARD; break;
    case OPT_STDIN:
    case OPT_STDOUT: {
        int mode = stream_mode(arg);
        const char *which = c == OPT_STDIN ? "stdin" : "stdout";
        if (mode < 0) {
            printf("Error: %s arg \"%s\" not supported\n", which, arg);
            return -1;
        }
        (c == OPT_STDIN ? o->stdin_mode : o->stdout_mode) = mode;
        break;
    }
    case OPT_TCPSERVER: o->tcpserver_port = atoi(arg); break;
    case OPT_TCPCLIENT: {
        char ip[PEER_IP_TEXT_SIZE];
        int port;
        if (peer_address_parse(arg, ip, &port) < 0) {
            puts("Error: Couldn't read ip and port.");
            return -1;
        }
        tcp_client_add(ip, port);
        break;
    }
    case OPT_TCP_NODELAY: tcp_nodelay = 1; break;
    case OPT_PUBLISH_RESPONSE_PORT: publish_response_port = atoi(arg); break;
    case OPT_PUBLISH_COMMAND_PORT: publish_command_port = atoi(arg); break;
    case OPT_PULL_RESPONSE_PORT: pull_response_port = atoi(arg); break;
    case OPT_PULL_COMMAND_PORT: pull_command_port = atoi(arg); break;
    case OPT_PTY:
        o->pty_requested = 1;
        if (arg) o->pty_link = arg;
        break;
    case OPT_REALTIME: o->realtime = 1; break;
    case OPT_BIND: {
        // Checked here: a listener on an address the user did not mean would be
        // worse than not starting.
        in_addr addr;
        if (strlen(arg) >= BIND_ADDRESS_SIZE || inet_pton(AF_INET, arg, &addr) != 1) {
            fprintf(stderr, "Error: bind arg \"%s\" is not an IPv4 address\n", arg);
            return -1;
        }
        copy_field(bind_address, arg);
        break;
    }
    case OPT_PIDFILE: copy_field(o->pidfile, arg); break;
    case OPT_MAX_CONSOLES: max_consoles = count_value(arg); break;
    case OPT_MAX_SERVER_CONNS: max_server_conns = count_value(arg); break;
    case OPT_MAX_LINKS: max_links = count_value(arg); break;
    case 'v': verbose++; break;
    default: break; // help, config, daemon, version: other passes; '?': skipped
    }
    return 0;
}

int options_pass3(start_options *o, int argc, char **argv)
{
    int c;
    while ((c = config_getopt_long(o->config_path, argc, argv, SHORT_OPTIONS, long_options,
                                   nullptr)) != -1) {
        if (apply_option(o, c, optarg) < 0) return -1;
    }
    return 0;
}
