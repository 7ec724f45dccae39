// Configuration option source: the configuration file's lines as long options,
// followed by the command line, with getopt_long's contract.
//
// DESIGN: one source per process, driven by the main thread only. Each pass opens
// the configuration anew (an executable one runs again, as a new child) and reads
// it to its end before the command line. optind counts the file's lines while it
// is read and is reset for getopt_long afterwards; a value from the file is an
// owned copy in optarg, freed at the next read. Lines are split here rather than
// by stdio so that every read can be bounded in time and in bytes: start-up must
// end even when a configuration program hangs or never stops printing.
#include "core/config.h"

#include "base/clock.h"
#include "proc/pty_child.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

// Once an executable configuration's output has ended its program is normally
// exiting: it gets this long (ms) to be reaped. One that closed its streams and
// lives on is not waited for; it is looked at again at the next end of file.
static const int CONFIG_REAP_WAIT_MS = 250;

// A real configuration is a few hundred bytes. A program has this long to print
// its configuration and end its output, which covers one that never exits as
// well as one that trickles; a flood is cut by the byte bound. Either way the
// program is stopped and what was read before is kept.
int config_time_limit_ms = 10000;
size_t config_max_bytes = 4 << 20;

static const size_t CONFIG_READ_SIZE = 4096; // bytes per read

// Where the source stands: before a pass, reading the file, reading the command
// line, or done with a pass.
enum { CONFIG_START = 0, CONFIG_FILE = 1, CONFIG_ARGV = 2, CONFIG_DONE = 3 };

static int config_state = CONFIG_START;
static int config_fd = -1;            // the file, or the program's pty master
static std::string config_pending;    // read but not yet taken as lines
static size_t config_bytes = 0;       // read from config_fd in this pass
static long long config_deadline = 0; // monotonic ms at which reading stops
static int config_reported = 0;       // each bound is reported once per process
char *config_section = nullptr;
static char *config_value = nullptr;       // the owned copy handed out in optarg
static pid_t config_child = -1;            // program of the executable configuration
static std::vector<pid_t> config_unreaped; // ended their output but not yet exited

// Reaps the configuration's program so that it does not stay a zombie for the
// daemon's life; what the reader saw is not changed by it.
static void config_reap_children()
{
    if (config_child > 0 && reap_child(config_child, CONFIG_REAP_WAIT_MS) == 0)
        config_unreaped.push_back(config_child);
    config_child = -1;
    for (size_t i = 0; i < config_unreaped.size();) {
        if (reap_child(config_unreaped[i], 0) != 0)
            config_unreaped.erase(config_unreaped.begin() + static_cast<long>(i));
        else
            i++;
    }
}

static void config_drop_value()
{
    if (optarg == config_value) optarg = nullptr;
    free(config_value);
    config_value = nullptr;
}

// Opens `config_path` (runs it on a pseudo-terminal when it is executable) as
// the source of the pass; returns its descriptor, or -1 (reported) when there is none.
static int config_open(const char *config_path)
{
    if (config_path == nullptr || config_path[0] == '\0') return -1;
    config_child = -1;
    if (access(config_path, X_OK) == 0)
        config_fd = pty_run(config_path, &config_child);
    else
        config_fd = open(config_path, O_RDONLY | O_CLOEXEC);
    if (config_fd < 0) {
        fputs("Unable to open/run configuration\n", stderr);
        return -1;
    }
    config_pending.clear();
    config_bytes = 0;
    config_deadline = monotonic_ms() + config_time_limit_ms;
    return config_fd;
}

static void config_close()
{
    if (config_fd >= 0) close(config_fd);
    config_fd = -1;
    config_pending.clear();
    config_reap_children();
}

enum { BOUND_BYTES = 1, BOUND_TIME = 2 };

// Ends reading at a bound: a partial last line is dropped, since a cut value
// could name something else, and a program still running is stopped.
static void config_stop(int bound)
{
    if (!(config_reported & bound)) {
        if (bound == BOUND_BYTES)
            fprintf(stderr, "Configuration longer than %zu bytes: the rest is ignored\n",
                    config_max_bytes);
        else
            fprintf(stderr, "Configuration not ended within %d ms: the rest is ignored\n",
                    config_time_limit_ms);
    }
    config_reported |= bound;
    if (config_child > 0 && terminate_process(config_child)) config_child = -1;
    close(config_fd);
    config_fd = -1;
    config_pending.clear();
}

// Reads once more from the configuration, or ends it (end of file, an error, or
// a bound).
static void config_fill()
{
    // One byte past the bound tells a longer configuration from one of exactly
    // that size.
    if (config_bytes > config_max_bytes) {
        config_stop(BOUND_BYTES);
        return;
    }
    long long left = config_deadline - monotonic_ms();
    struct pollfd p = {config_fd, POLLIN, 0};
    int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) return;
    if (ready == 0) {
        config_stop(BOUND_TIME);
        return;
    }
    char buf[CONFIG_READ_SIZE];
    ssize_t n = read(config_fd, buf, std::min(sizeof buf, config_max_bytes + 1 - config_bytes));
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        // A pty master reads EIO once the program's side has closed: its end.
        if (n < 0 && errno != EIO) perror("read");
        close(config_fd);
        config_fd = -1;
        return;
    }
    config_pending.append(buf, static_cast<size_t>(n));
    config_bytes += static_cast<size_t>(n);
}

// The next line with its newline (the last one may have none); false at the end.
static bool config_getline(std::string *line)
{
    size_t from = 0; // a long line is searched for its end once, not at every read
    for (;;) {
        size_t nl = config_pending.find('\n', from);
        if (nl != std::string::npos) {
            line->assign(config_pending, 0, nl + 1);
            config_pending.erase(0, nl + 1);
            return true;
        }
        if (config_fd < 0) {
            line->swap(config_pending);
            config_pending.clear();
            return !line->empty();
        }
        from = config_pending.size();
        config_fill();
    }
}

static void line_error()
{
    fprintf(stderr, "%d: Error: Unable to parse line\n", optind);
}

// Sets config_section from a "[ name ]" line: the text between the first '[' and
// the first ']', without the blanks around it.
static void config_set_section(const char *open, const char *close)
{
    std::string name(open + 1, close);
    size_t first = name.find_first_not_of(' ');
    name = first == std::string::npos ? ""
                                      : name.substr(first, name.find_last_not_of(' ') + 1 - first);
    free(config_section);
    config_section = strdup(name.c_str());
}

// One line of the file. Returns true with the option's value in *result when the
// line yields an option (also '?'), false when it yields nothing.
static bool config_parse_line(const char *line, const struct option *long_opts, int *result)
{
    // Each %s stops at white space, so one line + 1 bytes holds any word of it.
    size_t size = strlen(line) + 1;
    std::string key(size, '\0');
    std::string value(size, '\0');

    if (sscanf(line, " #%s ", &key[0]) == 1) return false; // a comment
    const char *open = strchr(line, '[');
    const char *close = strchr(line, ']');
    if (open && close && close > open) {
        config_set_section(open, close);
        return false;
    }
    const char *eq = strchr(line, '=');
    if (eq) {
        std::string before(line, eq);
        if (sscanf(before.c_str(), " %s ", &key[0]) != 1 || sscanf(eq + 1, " %s", &value[0]) != 1) {
            line_error();
            return false;
        }
    } else if (sscanf(line, "%s ", &key[0]) != 1) {
        return false; // empty, or only white space
    }

    const struct option *opt = long_opts;
    while (opt->name && strcmp(opt->name, key.c_str()) != 0) opt++;
    if (opt->name == nullptr) {
        *result = '?';
        return true;
    }
    if (value[0] == '\0' && opt->has_arg == required_argument) {
        // "serial" alone: an option that needs its argument must never be handed
        // out without one, and the line is as wrong as "serial =".
        line_error();
        return false;
    }
    if (value[0] != '\0') {
        config_value = strdup(value.c_str());
        optarg = config_value;
    }
    *result = opt->val;
    return true;
}

// Reads lines until one yields an option; returns its value, or -1 at the end of
// the file. optind counts the lines read.
static int config_read_option(const struct option *long_opts)
{
    config_drop_value();
    optarg = nullptr; // a key alone must not carry the command line's last argument
    std::string line;
    int result = -1;
    while (config_getline(&line)) {
        optind++;
        if (config_parse_line(line.c_str(), long_opts, &result)) break;
    }
    return result;
}

// Opens the configuration when a pass begins and yields the file's next option;
// -1 when there is nothing (more) to read from the file.
static int config_next(const char *config_path, const struct option *long_opts)
{
    if (config_state == CONFIG_START || config_state == CONFIG_DONE) {
        config_state = config_open(config_path) >= 0 ? CONFIG_FILE : CONFIG_ARGV;
        optind = 0; // the file's line counter; also a full restart of getopt_long
    }
    if (config_state != CONFIG_FILE) return -1;
    int result = config_read_option(long_opts);
    if (result >= 0) return result;
    config_close();
    config_state = CONFIG_ARGV;
    // The command line is scanned again from its first argument. 0 rather than 1:
    // a full restart, so getopt_long also forgets where its previous scan ended.
    optind = 0;
    return -1;
}

int config_getopt_long(const char *config_path, int argc, char *const argv[],
                       const char *short_options, const struct option *long_opts, int *long_index)
{
    int result = -1;
    if (config_state == CONFIG_START || config_state == CONFIG_DONE || config_state == CONFIG_FILE)
        result = config_next(config_path, long_opts);
    if (config_state != CONFIG_ARGV) return result;
    result = getopt_long(argc, argv, short_options, long_opts, long_index);
    if (result == -1) config_state = CONFIG_DONE;
    return result;
}

int config_reset()
{
    config_close();
    config_reported = 0;
    config_drop_value();
    free(config_section);
    config_section = nullptr;
    config_state = CONFIG_START;
    return 0;
}
