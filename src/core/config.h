// Configuration option source: getopt_long over the configuration file's options
// followed by the command line's, for option passes 2 and 3.
#pragma once

#include <cstddef>
#include <getopt.h>

// Returns the next option's value (as getopt_long does; '?' for an unknown key of
// the file), with its argument in optarg, or -1 once at the end of the command
// line. A null or empty `config_path` means no configuration file. A value taken
// from the file is valid until the next call.
int config_getopt_long(const char *config_path, int argc, char *const argv[],
                       const char *short_options, const struct option *long_opts, int *long_index);

// Starts over: closes the file, forgets the section; the next call begins a pass.
int config_reset();

// Name of the last section header read (owned by the source), or null.
extern char *config_section;

// Bounds on one pass over the configuration: its output must end within
// config_time_limit_ms and is read up to config_max_bytes; reading stops at
// either (reported once, the program stopped).
extern int config_time_limit_ms;
extern size_t config_max_bytes;
