// Configuration option source: the configuration file's lines as long options,
// followed by the command line, with getopt_long's contract.
//
// DESIGN: one source per process, driven by the main thread only. Each pass opens
// the configuration anew (an executable one runs again, as a new child) and reads
// it to its end before the command line. optind counts the file's lines while it
// is read and is reset for getopt_long afterwards; a value from the file is an
// owned copy in optarg, freed at the next read.
#include "core/config.h"

#include "proc/pty_child.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

// Once an executable configuration's output has ended its program is normally
// exiting: it gets this long (ms) to be reaped. One that closed its streams and
// lives on is not waited for; it is looked at again at the next end of file.
static const int CONFIG_REAP_WAIT_MS = 250;

static int config_state = CONFIG_START;
static FILE *config_file = nullptr;
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

FILE *config_open(const char *config_path)
{
    if (config_path == nullptr || config_path[0] == '\0') return nullptr;
    int fd;
    config_child = -1;
    if (access(config_path, X_OK) == 0)
        fd = pty_run(config_path, &config_child);
    else
        fd = open(config_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fputs("Unable to open/run configuration\n", stderr);
        return nullptr;
    }
    config_file = fdopen(fd, "r");
    if (config_file == nullptr) {
        fputs("Unable to open stream\n", stderr);
        close(fd);
        config_reap_children();
        return nullptr;
    }
    return config_file;
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
    while (opt->name && strcmp(opt->name, key.c_str()) != 0)
        opt++;
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

int config_read_option(const struct option *long_opts)
{
    config_drop_value();
    optarg = nullptr; // a key alone must not carry the command line's last argument
    if (config_file == nullptr) return -1;
    char *line = nullptr;
    size_t capacity = 0;
    int result = -1;
    while (getline(&line, &capacity, config_file) >= 0) {
        optind++;
        if (config_parse_line(line, long_opts, &result)) break;
    }
    free(line);
    return result;
}

int config_next(const char *config_path, const struct option *long_opts)
{
    if (config_state == CONFIG_START || config_state == CONFIG_DONE) {
        config_state = config_open(config_path) ? CONFIG_FILE : CONFIG_ARGV;
        optind = 0; // the file's line counter; also a full restart of getopt_long
    }
    if (config_state != CONFIG_FILE) return -1;
    int result = config_read_option(long_opts);
    if (result >= 0) return result;
    fclose(config_file);
    config_file = nullptr;
    config_reap_children();
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
    if (config_file) {
        fclose(config_file);
        config_file = nullptr;
    }
    config_reap_children();
    config_drop_value();
    free(config_section);
    config_section = nullptr;
    config_state = CONFIG_START;
    return 0;
}
