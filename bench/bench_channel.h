// Benchmark clients of a message channel: what a ZeroMQ program on the board does
// with the daemon's (or the baseline's) PULL and PUB ports.
#pragma once

#include <string>
#include <vector>

// Round trips, one message of `size` bytes at a time, from a PUSH on `push_ep` to
// a SUB on `sub_ep`, after `warmup` untimed ones. Appends each time in
// microseconds to `us`; counts messages that never arrived in `lost`. Returns 0,
// or -1 when the channel could not be made live.
int channel_latency(const std::string &push_ep, const std::string &sub_ep, int count, int warmup,
                    size_t size, std::vector<double> *us, int *lost);

struct throughput_result {
    long sent = 0;      // messages handed to the PUSH socket
    long received = 0;  // of those, delivered to the subscriber
    double seconds = 0; // from the first send to the last delivery
};

// Messages in flight at most in a flow-controlled run: below the publisher's
// default high-water mark of 1000, so a publisher never has cause to drop.
constexpr long CHANNEL_WINDOW = 200;

// Pushes `count` messages of `size` bytes while a second thread counts what the
// subscriber gets. With `window` 0 the sender floods (as fast as the PUSH socket
// takes them; the publisher drops what the subscriber cannot take); otherwise at
// most `window` messages are sent ahead of those received. Returns 0, or -1 when
// the channel could not be made live.
int channel_throughput(const std::string &push_ep, const std::string &sub_ep, long count,
                       size_t size, long window, throughput_result *r);
