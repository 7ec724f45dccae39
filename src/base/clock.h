// The one clock of the daemon: monotonic (a board without a battery sets its
// time of day at boot, which must not stretch or cut a wait) and in 64-bit
// milliseconds (on the board's 32-bit target a long holds only 24.8 days of
// them), plus waits that end at once when the daemon or a link is stopped.
#pragma once

#include "base/stop.h"

#include <ctime>

// CLOCK_MONOTONIC in milliseconds.
long long monotonic_ms();

// A clock reading in milliseconds, without overflow on a 32-bit long.
long long timespec_ms(const struct timespec &ts);

// Waits `ms`, or less when `running` or `also` (may be null) drops. Returns 0
// when the whole time has passed, -1 when stopped.
int clock_sleep(long long ms, const stop_flag *also);

// Moves monotonic_ms() on by `ms`: lets a test run code as on a board that has
// been up for weeks. Nothing in the daemon calls it.
void clock_set_offset_ms(long long ms);
