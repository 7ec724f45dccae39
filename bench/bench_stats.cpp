// Benchmark support: clock, scheduler statistics, summaries and the table.
#include "bench_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fstream>

long long bench_now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int proc_sched_read(pid_t pid, proc_sched *s)
{
    std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *dp = opendir(task_dir.c_str());
    if (!dp) return -1;
    long long cpu = 0, sleeps = 0;
    int found = 0;
    while (struct dirent *e = readdir(dp)) {
        if (e->d_name[0] == '.') continue;
        std::string task = task_dir + "/" + e->d_name;
        // schedstat: time on a CPU (ns), time waiting to run (ns), timeslices run.
        std::ifstream stat(task + "/schedstat");
        long long run_ns;
        if (stat >> run_ns) cpu += run_ns, found |= 1;
        std::ifstream status(task + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                sleeps += std::stoll(line.substr(line.find(':') + 1)), found |= 2;
    }
    closedir(dp);
    if (found != 3) return -1;
    s->cpu_ns = cpu;
    s->wakeups = sleeps;
    return 0;
}

double stat_percentile(std::vector<double> v, double pct)
{
    if (v.empty() || pct <= 0 || pct > 100) return NAN;
    std::sort(v.begin(), v.end());
    // Nearest rank: the smallest value with at least pct% of the set at or below it.
    size_t rank = static_cast<size_t>(std::ceil(pct / 100.0 * static_cast<double>(v.size())));
    if (rank < 1) rank = 1;
    return v[rank - 1];
}

double stat_median(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double stat_paired_ratio(const std::vector<double> &d, const std::vector<double> &b)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < d.size() && i < b.size(); i++)
        if (b[i] > 0) ratios.push_back(d[i] / b[i]); // NAN when d[i] is: left out
    return stat_median(ratios);
}

double row_ratio(const bench_row &r)
{
    if (!std::isnan(r.ratio)) return r.ratio;
    if (std::isnan(r.daemon) || std::isnan(r.baseline) || r.baseline == 0) return NAN;
    return r.daemon / r.baseline;
}

row_verdict row_judge(const bench_row &r)
{
    if (r.kind == TARGET_NONE) return VERDICT_NONE;
    if (std::isnan(r.daemon)) return VERDICT_NOT_MEASURED;
    if (r.kind == TARGET_ABS_BELOW) return r.daemon < r.target ? VERDICT_MET : VERDICT_SHORT;
    if (r.kind == TARGET_ABS_MAX) return r.daemon <= r.target ? VERDICT_MET : VERDICT_SHORT;
    double ratio = row_ratio(r);
    if (std::isnan(ratio)) return VERDICT_NOT_MEASURED;
    bool met = r.kind == TARGET_RATIO_MIN ? ratio >= r.target : ratio <= r.target;
    return met ? VERDICT_MET : VERDICT_SHORT;
}

static std::string number(double v, int decimals)
{
    if (std::isnan(v)) return "-";
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

static std::string target_text(const bench_row &r)
{
    char buf[64];
    switch (r.kind) {
    case TARGET_RATIO_MIN: snprintf(buf, sizeof buf, ">= %.1fx", r.target); break;
    case TARGET_RATIO_MAX: snprintf(buf, sizeof buf, "<= %.1fx", r.target); break;
    case TARGET_ABS_BELOW:
        snprintf(buf, sizeof buf, "< %s", number(r.target, r.decimals).c_str());
        break;
    case TARGET_ABS_MAX:
        snprintf(buf, sizeof buf, "<= %s", number(r.target, r.decimals).c_str());
        break;
    default: return "";
    }
    return buf;
}

static const char *verdict_text(row_verdict v)
{
    switch (v) {
    case VERDICT_MET: return "met";
    case VERDICT_SHORT: return "SHORT";
    case VERDICT_NOT_MEASURED: return "not measured";
    default: return "";
    }
}

// Appends `cell` so that it ends at column `right_edge` (right-aligned), or starts
// at `left_edge` (left-aligned); a cell that does not fit is set one blank after
// the text so far instead of overwriting it.
static void put_right(std::string &line, const std::string &cell, size_t right_edge)
{
    size_t start = right_edge > cell.size() ? right_edge - cell.size() : 0;
    if (start < line.size() + 1) start = line.size() + 1;
    line.append(start - line.size(), ' ');
    line += cell;
}

static void put_left(std::string &line, const std::string &cell, size_t left_edge)
{
    size_t start = left_edge < line.size() + 1 ? line.size() + 1 : left_edge;
    line.append(start - line.size(), ' ');
    line += cell;
}

static const size_t COL_DAEMON = 52, COL_BASELINE = 64, COL_RATIO = 73, COL_TARGET = 75,
                    COL_VERDICT = 85;

std::string table_render(const std::vector<bench_row> &rows)
{
    std::string text;
    std::string head = "figure";
    put_right(head, "daemon", COL_DAEMON);
    put_right(head, "baseline", COL_BASELINE);
    put_right(head, "ratio", COL_RATIO);
    put_left(head, "target", COL_TARGET);
    put_left(head, "verdict", COL_VERDICT);
    text += head + "\n";
    for (const bench_row &r : rows) {
        if (r.figure.rfind("--", 0) == 0) {
            text += r.figure + "\n";
            continue;
        }
        std::string line = r.figure;
        if (std::isnan(r.daemon) && !r.note.empty()) {
            put_left(line, r.note, COL_DAEMON - 10);
        } else {
            put_right(line, number(r.daemon, r.decimals), COL_DAEMON);
            put_right(line, number(r.baseline, r.decimals), COL_BASELINE);
            double ratio = row_ratio(r);
            put_right(line, std::isnan(ratio) ? "-" : number(ratio, 2) + "x", COL_RATIO);
        }
        std::string t = target_text(r);
        if (!t.empty()) put_left(line, t, COL_TARGET);
        const char *v = verdict_text(row_judge(r));
        if (*v) put_left(line, v, COL_VERDICT);
        text += line + "\n";
    }
    return text;
}

std::string table_summary(const std::vector<bench_row> &rows)
{
    int met = 0, judged = 0, unmeasured = 0;
    std::string shorts;
    for (const bench_row &r : rows) {
        row_verdict v = row_judge(r);
        if (v == VERDICT_NONE) continue;
        if (v == VERDICT_NOT_MEASURED) {
            unmeasured++;
            continue;
        }
        judged++;
        if (v == VERDICT_MET) {
            met++;
            continue;
        }
        bool absolute = r.kind == TARGET_ABS_BELOW || r.kind == TARGET_ABS_MAX;
        double shown = absolute ? r.daemon : row_ratio(r);
        shorts += (shorts.empty() ? "" : ", ") + r.figure + " " +
                  number(shown, absolute ? r.decimals : 2) + (absolute ? "" : "x");
    }
    char head[128];
    snprintf(head, sizeof head, "summary: %d of %d targets met", met, judged);
    std::string s = head;
    if (unmeasured) s += ", " + std::to_string(unmeasured) + " not measured";
    s += shorts.empty() ? "; nothing short" : "; short: " + shorts;
    return s;
}
