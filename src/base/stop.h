// Stop flags: a flag that asks the loops watching it to end, paired with a
// descriptor that becomes readable when it drops. A loop waits for its traffic
// and for the stop in one poll, so it sleeps until something happens instead of
// waking up now and then to look at the flag.
#pragma once

#include <atomic>
#include <csignal>

struct stop_flag {
    std::atomic<int> on{1}; // 1 while wanted; 0 asks every loop watching it to end
    int fd = -1;            // eventfd, readable from the moment `on` drops; -1: none yet
};

// Sets `f` on with a descriptor that is not readable (a new one, or its own
// emptied). Returns 0, or -1 after a message (out of descriptors).
int stop_flag_open(stop_flag *f);

// Drops the flag and makes its descriptor readable for good: it is never read,
// so every poll that holds it wakes, now and later. Async-signal-safe.
void stop_flag_raise(stop_flag *f);

// Applies `how` (SIG_BLOCK, SIG_UNBLOCK) to SIGINT and SIGTERM, the signals
// that stop the programs, in the calling thread; `old` gets the mask before.
void stop_signals_mask(int how, sigset_t *old = nullptr);

// Closes the descriptor once no thread polls it any more; the flag keeps its value.
void stop_flag_close(stop_flag *f);
