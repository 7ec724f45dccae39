// Benchmark support: the clock, the scheduler's per-thread statistics, summary
// statistics, and the table that sets each figure beside the baseline's with its
// ratio and target.
#pragma once

#include <cmath>
#include <string>
#include <sys/types.h>
#include <vector>

// Monotonic clock in nanoseconds (the kit's now_ms is too coarse for latencies).
long long bench_now_ns();

struct proc_sched {
    long long cpu_ns = -1;  // CPU time of all live threads, in nanoseconds
    long long wakeups = -1; // times any of them went to sleep, and so woke up again
};

// Scheduler statistics summed over the threads of `pid` (CPU time far finer
// than clock ticks). A wake-up is counted by the voluntary switch that put the
// thread to sleep: a thread merely preempted (say by the reader of a pipe it
// writes to) has not slept. Threads that have ended are not counted. Returns 0
// on success.
int proc_sched_read(pid_t pid, proc_sched *s);

// Nearest-rank percentile (0 < pct <= 100) of `v`; NAN for an empty set.
double stat_percentile(std::vector<double> v, double pct);

// Median of the values of `v` that are not NAN (the mean of the middle two for
// an even count); NAN when there are none.
double stat_median(std::vector<double> v);

// Median over the rounds of d[i] / b[i], for the rounds where both were measured:
// the two programs of a round ran back to back, so a burst of load elsewhere on
// the machine falls on both of them and cancels out of their ratio.
double stat_paired_ratio(const std::vector<double> &d, const std::vector<double> &b);

enum target_kind {
    TARGET_NONE,      // reported only
    TARGET_RATIO_MIN, // the ratio must be at least `target`
    TARGET_RATIO_MAX, // the ratio must be at most `target`
    TARGET_ABS_MAX,   // the daemon figure must be at most `target`
    TARGET_ABS_BELOW, // the daemon figure must be below `target`
};

struct bench_row {
    std::string figure;  // what is measured, with its unit
    double daemon = 0;   // NAN: not measured (see note)
    double baseline = 0; // NAN: no baseline figure
    double ratio = NAN;  // the ratio to show; NAN: daemon / baseline
    int decimals = 0;    // shown after the decimal point
    target_kind kind = TARGET_NONE;
    double target = 0;
    std::string note; // shown instead of the daemon figure when it is NAN
};

enum row_verdict { VERDICT_NONE, VERDICT_MET, VERDICT_SHORT, VERDICT_NOT_MEASURED };

// Whether the row meets its target.
row_verdict row_judge(const bench_row &r);

// The row's ratio: its own, else daemon / baseline; NAN when either is missing or
// the baseline is 0.
double row_ratio(const bench_row &r);

// The table as text: one header, one line per row, rows whose figure starts with
// "--" as section titles.
std::string table_render(const std::vector<bench_row> &rows);

// "summary: N of M targets met (K not measured); short: figure ratio, ..." on one line.
std::string table_summary(const std::vector<bench_row> &rows);
