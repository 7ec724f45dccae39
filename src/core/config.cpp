// Configuration option source.
#include "core/config.h"

static int config_state = CONFIG_START;

// Opens the configuration when a pass begins and yields its next option; -1 when
// there is nothing (more) to read from it. The file reader is not built yet: every
// pass goes straight on to the command line.
static int config_next(const char *config_path)
{
    (void)config_path;
    if (config_state == CONFIG_START || config_state == CONFIG_DONE) {
        config_state = CONFIG_ARGV;
        optind = 0; // makes getopt_long rescan the command line from its start
    }
    return -1;
}

int config_getopt_long(const char *config_path, int argc, char *const argv[],
                       const char *short_options, const struct option *long_opts,
                       int *long_index)
{
    int result = -1;
    if (config_state == CONFIG_START || config_state == CONFIG_DONE ||
        config_state == CONFIG_FILE)
        result = config_next(config_path);
    if (config_state != CONFIG_ARGV) return result;
    result = getopt_long(argc, argv, short_options, long_opts, long_index);
    if (result == -1) config_state = CONFIG_DONE;
    return result;
}

int config_reset()
{
    config_state = CONFIG_START;
    return 0;
}
