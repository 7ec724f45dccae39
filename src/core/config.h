// Configuration option source: getopt_long over the configuration file's options
// followed by the command line's, for option passes 2 and 3.
#pragma once

#include <cstddef>
#include <getopt.h>

enum { CONFIG_START = 0, CONFIG_FILE = 1, CONFIG_ARGV = 2, CONFIG_DONE = 3 };

// Returns the next option's value (as getopt_long does; '?' for an unknown key of
// the file), with its argument in optarg, or -1 once at the end of the command
// line. A null or empty `config_path` means no configuration file. A value taken
// from the file is valid until the next call.
int config_getopt_long(const char *config_path, int argc, char *const argv[],
                       const char *short_options, const struct option *long_opts, int *long_index);

// Opens the configuration when a pass begins and yields the file's next option;
// -1 when there is nothing (more) to read from the file.
int config_next(const char *config_path, const struct option *long_opts);

// Opens `config_path` (runs it on a pseudo-terminal when it is executable) as
// the source of the pass; returns its descriptor, or -1 (reported) when there is none.
int config_open(const char *config_path);

// Reads lines until one yields an option; returns its value, or -1 at the end of
// the file. optind counts the lines read.
int config_read_option(const struct option *long_opts);

// Starts over: closes the file, forgets the section, back to CONFIG_START.
int config_reset();

// Name of the last section header read (owned by the source), or null.
extern char *config_section;

// Bounds on one pass over the configuration: its output must end within
// config_time_limit_ms and is read up to config_max_bytes; reading stops at
// either (reported once, the program stopped).
extern int config_time_limit_ms;
extern size_t config_max_bytes;
