// Traffic counters and the list of counted endpoints.
#include "channels/stats.h"

#include "channels/zmq_util.h"

#include <algorithm>
#include <mutex>
#include <vector>

channel_stats channel_counters[2];

// Taken only when an endpoint comes or goes and for a report, never per message.
static std::mutex stats_lock;
static std::vector<endpoint_stats *> stats_listed; // guarded by stats_lock

void stat_add(stat_counter *c, uint64_t n)
{
#if ATOMIC_LLONG_LOCK_FREE == 2
    c->value.store(c->value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
#else
    uint32_t s = c->seq.load(std::memory_order_relaxed);
    c->seq.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    uint64_t v = (static_cast<uint64_t>(c->hi.load(std::memory_order_relaxed)) << 32) |
                 c->lo.load(std::memory_order_relaxed);
    v += n;
    c->lo.store(static_cast<uint32_t>(v), std::memory_order_relaxed);
    c->hi.store(static_cast<uint32_t>(v >> 32), std::memory_order_relaxed);
    c->seq.store(s + 2, std::memory_order_release);
#endif
}

uint64_t stat_get(const stat_counter *c)
{
#if ATOMIC_LLONG_LOCK_FREE == 2
    return c->value.load(std::memory_order_relaxed);
#else
    for (;;) {
        uint32_t s1 = c->seq.load(std::memory_order_acquire);
        uint64_t v = (static_cast<uint64_t>(c->hi.load(std::memory_order_relaxed)) << 32) |
                     c->lo.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (!(s1 & 1) && c->seq.load(std::memory_order_relaxed) == s1) return v;
    }
#endif
}

void stats_list(endpoint_stats *s, const std::string &name, int kind)
{
    std::lock_guard<std::mutex> lock(stats_lock);
    s->name = name;
    s->kind = kind;
    stats_listed.push_back(s);
}

void stats_unlist(endpoint_stats *s)
{
    std::lock_guard<std::mutex> lock(stats_lock);
    stats_listed.erase(std::remove(stats_listed.begin(), stats_listed.end(), s),
                       stats_listed.end());
}

static std::string counter_text(const char *key, const stat_counter &c)
{
    return std::string(" ") + key + "=" + std::to_string(stat_get(&c));
}

std::string stats_report()
{
    std::vector<std::string> lines;
    for (int ch : {CHANNEL_COMMAND, CHANNEL_RESPONSE}) {
        const channel_stats &c = channel_counters[ch];
        lines.push_back(channel_name(ch) + counter_text("msgs_in", c.msgs_in) +
                        counter_text("msgs_out", c.msgs_out) + counter_text("dropped", c.dropped));
    }
    {
        std::lock_guard<std::mutex> lock(stats_lock);
        std::vector<endpoint_stats *> listed = stats_listed;
        std::stable_sort(
            listed.begin(), listed.end(),
            [](const endpoint_stats *a, const endpoint_stats *b) { return a->kind < b->kind; });
        for (const endpoint_stats *s : listed) {
            std::string line =
                s->name + counter_text("msgs_in", s->msgs_in) +
                counter_text("msgs_out", s->msgs_out) + counter_text("bytes_in", s->bytes_in) +
                counter_text("bytes_out", s->bytes_out) + counter_text("dropped", s->dropped);
            if (s->kind == STATS_LINK) line += counter_text("connects", s->connects);
            lines.push_back(line);
        }
    }
    std::string out;
    for (size_t i = 0; i < lines.size(); i++)
        out += lines[i] + (i + 1 < lines.size() ? "\\\n" : "\n");
    return out;
}
