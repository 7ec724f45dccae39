// Traffic dump: a timestamped, coloured trace of a bridge's traffic on stdout.
#pragma once

#include <cstddef>
#include <sys/time.h>

constexpr int DUMP_SLOTS = 10;       // independent time bases, one per tracing thread
constexpr int DUMP_PREFIX_SIZE = 60; // room for the colour sequence and two longs

// Formats the time prefix (prefix colour, "<seconds>:<milliseconds>:") of a trace
// taken at `now` after one at `last`. Returns its length.
int dump_prefix(char (&out)[DUMP_PREFIX_SIZE], const struct timeval &now,
                const struct timeval &last);

// Writes one trace to descriptor 1: the time since the slot's previous trace, the
// colour of `direction` (0: read from the device, green; else written, yellow)
// and the bytes. Returns the result of the last write, or -1 for a bad slot.
// A slot belongs to one thread.
long traffic_dump(int slot, int direction, const char *data, size_t length);
