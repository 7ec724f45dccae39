// The benchmark's own arithmetic and parsing: a slip here would skew every
// figure of the table without anyone noticing.
#include "bench_endpoint.h"
#include "bench_proc.h"
#include "bench_stats.h"

#include <cmath>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

TEST(BenchStats, PercentilesUseTheNearestRankOfUnsortedSamples)
{
    std::vector<double> v;
    for (int i = 100; i >= 1; i--)
        v.push_back(i);
    EXPECT_EQ(stat_percentile(v, 50), 50);
    EXPECT_EQ(stat_percentile(v, 99), 99);
    EXPECT_EQ(stat_percentile(v, 100), 100);
    EXPECT_EQ(stat_percentile(v, 0.5), 1);
    EXPECT_EQ(stat_percentile({7, 3, 5}, 50), 5);
    EXPECT_EQ(stat_percentile({42}, 99), 42);
    EXPECT_TRUE(std::isnan(stat_percentile({}, 50)));
    EXPECT_TRUE(std::isnan(stat_percentile(v, 0)));
    EXPECT_EQ(stat_median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(stat_median({9, 1, 5}), 5);
    EXPECT_EQ(stat_max({2, 9, 4}), 9);
    EXPECT_TRUE(std::isnan(stat_median({})));
}

bench_row judged(double daemon, double baseline, target_kind kind, double target)
{
    bench_row r;
    r.figure = "figure";
    r.daemon = daemon;
    r.baseline = baseline;
    r.kind = kind;
    r.target = target;
    return r;
}

TEST(BenchStats, VerdictsHoldAtTheTargetAndFailBeyondIt)
{
    EXPECT_EQ(row_judge(judged(100, 100, TARGET_RATIO_MIN, 1.0)), VERDICT_MET);
    EXPECT_EQ(row_judge(judged(99, 100, TARGET_RATIO_MIN, 1.0)), VERDICT_SHORT);
    EXPECT_EQ(row_judge(judged(110, 100, TARGET_RATIO_MAX, 1.1)), VERDICT_MET);
    EXPECT_EQ(row_judge(judged(112, 100, TARGET_RATIO_MAX, 1.1)), VERDICT_SHORT);
    EXPECT_EQ(row_judge(judged(0.19, NAN, TARGET_ABS_BELOW, 0.2)), VERDICT_MET);
    EXPECT_EQ(row_judge(judged(0.2, 0, TARGET_ABS_BELOW, 0.2)), VERDICT_SHORT);
    // Nothing to compare with is no pass.
    EXPECT_EQ(row_judge(judged(NAN, 100, TARGET_RATIO_MIN, 1.0)), VERDICT_NOT_MEASURED);
    EXPECT_EQ(row_judge(judged(100, 0, TARGET_RATIO_MIN, 1.0)), VERDICT_NOT_MEASURED);
    EXPECT_EQ(row_judge(judged(NAN, NAN, TARGET_ABS_BELOW, 1000)), VERDICT_NOT_MEASURED);
    EXPECT_EQ(row_judge(judged(5, 1, TARGET_NONE, 0)), VERDICT_NONE);
}

TEST(BenchStats, TableShowsRatiosNotesAndASummaryOfShortfalls)
{
    std::vector<bench_row> rows = {
        judged(NAN, NAN, TARGET_NONE, 0), judged(150, 100, TARGET_RATIO_MIN, 1.0),
        judged(130, 100, TARGET_RATIO_MAX, 1.1), judged(NAN, NAN, TARGET_ABS_BELOW, 1000)};
    rows[0].figure = "-- section";
    rows[2].figure = "latency";
    rows[3].figure = "pty p50";
    rows[3].note = "n/a (endpoint not built)";
    std::string table = table_render(rows);
    EXPECT_NE(table.find("-- section\n"), std::string::npos);
    EXPECT_NE(table.find("1.50x"), std::string::npos);
    EXPECT_NE(table.find("SHORT"), std::string::npos);
    EXPECT_NE(table.find("n/a (endpoint not built)"), std::string::npos);
    EXPECT_EQ(table_summary(rows),
              "summary: 1 of 2 targets met, 1 not measured; short: latency 1.30x");
    rows.pop_back();
    rows.pop_back();
    EXPECT_EQ(table_summary(rows), "summary: 1 of 1 targets met; nothing short");
}

TEST(BenchProc, StatusParseReadsResidentMemoryPeakAndThreads)
{
    const char *status = "Name:\tvexlond\nVmPeak:\t  300000 kB\nVmHWM:\t    9268 kB\n"
                         "VmRSS:\t    5988 kB\nThreads:\t11\nSigQ:\t0/1000\n";
    proc_mem m;
    ASSERT_EQ(proc_status_parse(status, &m), 0);
    EXPECT_EQ(m.rss_kib, 5988);
    EXPECT_EQ(m.hwm_kib, 9268);
    EXPECT_EQ(m.threads, 11);
    proc_mem partial;
    EXPECT_EQ(proc_status_parse("VmRSS:\t 12 kB\n", &partial), -1);
}

TEST(BenchProc, SchedulerStatisticsOfThisProcessGrowWithWork)
{
    proc_sched a, b;
    ASSERT_EQ(proc_sched_read(getpid(), &a), 0);
    volatile double x = 0;
    for (int i = 0; i < 2000000; i++)
        x = x + i * 0.5;
    ASSERT_EQ(proc_sched_read(getpid(), &b), 0);
    EXPECT_GT(b.cpu_ns, a.cpu_ns);
    EXPECT_GE(b.slices, a.slices);
}

TEST(BenchEndpoint, BannerValueIsTheRestOfItsLine)
{
    std::string out = "Listen on port 5565...\n################\npty: /dev/pts/7\n"
                      "################\nAccepting commands on port 5550\n";
    EXPECT_EQ(banner_value(out, "pty: "), "/dev/pts/7");
    EXPECT_EQ(banner_value(out, "pth: "), "");
    EXPECT_EQ(banner_value("pth: /tmp/x/link", "pth: "), "/tmp/x/link");
}

} // namespace
