// Benchmark support: summary statistics and the comparison table that sets each
// daemon figure beside the baseline's, with its ratio and target.
#pragma once

#include <string>
#include <vector>

// Nearest-rank percentile (0 < pct <= 100) of `v`; NAN for an empty set.
double stat_percentile(std::vector<double> v, double pct);

// Median of `v` (the mean of the middle two for an even count); NAN when empty.
double stat_median(std::vector<double> v);

// Largest value of `v`; NAN when empty.
double stat_max(const std::vector<double> &v);

enum target_kind {
    TARGET_NONE,      // reported only
    TARGET_RATIO_MIN, // daemon / baseline must be at least `target`
    TARGET_RATIO_MAX, // daemon / baseline must be at most `target`
    TARGET_ABS_BELOW, // the daemon figure must be below `target`
};

struct bench_row {
    std::string figure;  // what is measured, with its unit
    double daemon = 0;   // NAN: not measured (see note)
    double baseline = 0; // NAN: no baseline figure
    int decimals = 0;    // shown after the decimal point
    target_kind kind = TARGET_NONE;
    double target = 0;
    std::string note; // shown instead of the daemon figure when it is NAN
};

enum row_verdict { VERDICT_NONE, VERDICT_MET, VERDICT_SHORT, VERDICT_NOT_MEASURED };

// Whether the row meets its target.
row_verdict row_judge(const bench_row &r);

// daemon / baseline, or NAN when either is missing or the baseline is 0.
double row_ratio(const bench_row &r);

// The table as text: one header, one line per row, rows whose figure starts with
// "--" as section titles.
std::string table_render(const std::vector<bench_row> &rows);

// "summary: N of M targets met (K not measured); short: figure ratio, ..." on one line.
std::string table_summary(const std::vector<bench_row> &rows);
