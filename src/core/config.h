// Configuration option source: getopt_long over the configuration file's options
// followed by the command line's, for option passes 2 and 3.
#pragma once

#include <getopt.h>

enum { CONFIG_START = 0, CONFIG_FILE = 1, CONFIG_ARGV = 2, CONFIG_DONE = 3 };

// Returns the next option's value (as getopt_long does; '?' for an unknown key of
// the file), with its argument in optarg, or -1 once at the end of the command
// line. A null or empty `config_path` means no configuration file. A value taken
// from the file is valid until the next call.
int config_getopt_long(const char *config_path, int argc, char *const argv[],
                       const char *short_options, const struct option *long_opts,
                       int *long_index);

// Starts over: closes the file, forgets the section, back to CONFIG_START.
int config_reset();
