// run_benchmarks: measures vexlond's channels against a forwarder built from
// libzmq's own zmq_proxy on the same endpoints, its rest and its shutdown, and
// its pty and TCP endpoints against a two-hop socat relay; prints each figure
// beside the baseline's, with the ratio and the target the daemon is held to.
//
// DESIGN: the line framer is measured in-process with Google Benchmark; the rest
// measures whole processes, started and read through the test kit. Daemon and
// baseline alternate measurement by measurement, each started afresh for it and
// the order swapped every time, so that the noise of a shared machine falls on
// both alike: a figure is the median of the rounds, a ratio the median of the
// ratios of the pairs that ran back to back. As root the whole run
// has a network and a /tmp of its own (kit_isolate), so it meets no other daemon
// or test suite; otherwise it holds the kit's end-to-end lock, and a program that
// finds its ports taken fails the run. Endpoints that the daemon under test does
// not have are reported as not built rather than failed.
#include "bench_channel.h"
#include "bench_endpoint.h"
#include "bench_stats.h"
#include "kit.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <zmq.h>

namespace {

const char BASELINE_READY[] = "zmq_proxy ready\n";
const char SERIAL_READY[] = "Setting p1025 as card on bus";
const char NOT_BUILT[] = "n/a (endpoint not built)";
const int CONSOLE_PORT = 5550;

// Lets the threads that start-up launched finish setting up (ms) before memory
// and threads are read, and connections settle before a rest window opens.
const int SETTLE_MS = 100;

struct bench_opts {
    int rounds = 5;            // alternating rounds per section
    int rest_seconds = 10;     // window of each measurement at rest
    int latency_count = 2000;  // timed round trips per round
    long small_count = 100000; // 100-byte messages per throughput run
    long large_count = 10000;  // 4 KiB messages per throughput run
    int line_count = 400;      // timed lines per endpoint and round
    std::string only;          // comma-separated sections to run; empty: all
    std::string daemon_bin = VEXLOND_BINARY;
    std::string baseline_bin = BASELINE_BINARY;
    bool baseline_is_daemon = false;        // another build of the daemon as the baseline
    std::vector<std::string> baseline_args; // after the baseline's path
};

struct program {
    const char *name;
    std::string binary;
    std::vector<std::string> args;
    std::string ready; // its ready line
};

// One figure per round, NAN where the round could not measure it, so that the
// rounds of the two programs stay paired.
using figures = std::map<std::string, std::vector<double>>;

// The throughput runs of a round: both sizes, flow-controlled and flooding.
struct tput_run {
    size_t size;
    bool flood;
    const char *key;
};
const tput_run TPUT_RUNS[4] = {{100, false, "100 B"},
                               {4096, false, "4 KiB"},
                               {100, true, "100 B flood"},
                               {4096, true, "4 KiB flood"}};

void progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void progress(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("bench: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0) {
    }
}

std::string cpu_model()
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

int usable_cpus()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    double a = 0, b = 0, c = 0;
    in >> a >> b >> c;
    char buf[64];
    snprintf(buf, sizeof buf, "%.2f %.2f %.2f", a, b, c);
    return buf;
}

void print_header(const bench_opts &o, bool isolated)
{
    struct utsname u;
    uname(&u);
    int major, minor, patch;
    zmq_version(&major, &minor, &patch);
    char date[32];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M", localtime(&now));
    printf("vexlond benchmark, %s\n", date);
    printf("machine: %d CPUs (nproc), %s, Linux %s, load average %s at start\n", usable_cpus(),
           cpu_model().c_str(), u.release, load_average().c_str());
    printf("%s\n", isolated ? "isolated: a network namespace and a /tmp of its own (no other "
                              "daemon or test can meet it)"
                            : "not isolated (not root): holds the end-to-end tests' lock; a "
                              "program that finds its ports taken fails the run");
    printf("libzmq %d.%d.%d; baselines: zmq_proxy (one context, PULL->PUB per channel on the "
           "daemon's endpoints), a two-hop socat relay\n",
           major, minor, patch);
    printf("%d alternating rounds; figures are medians of rounds, ratios medians of each round's "
           "ratio; round trips %d/round; throughput %ld x 100 B, %ld x 4 KiB/run; lines "
           "%d/round; rest %d s\n\n",
           o.rounds, o.latency_count, o.small_count, o.large_count, o.line_count, o.rest_seconds);
    fflush(stdout);
}

// Starts `p` with `extra` arguments in `dir` (a new temporary one when empty).
// False, after a message, when it does not get ready or finds a port taken.
bool start(daemon_proc &d, const program &p, const std::vector<std::string> &extra = {},
           const std::string &dir = "")
{
    daemon_start_opts opts;
    opts.binary = p.binary;
    opts.ready_line = p.ready;
    opts.dir = dir;
    std::vector<std::string> args = p.args;
    args.insert(args.end(), extra.begin(), extra.end());
    daemon_start(d, args, opts);
    std::string err = daemon_stderr(d);
    bool ready;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        ready = d.ready_ms != 0;
    }
    // Without isolation another daemon on the fixed ports would be measured instead.
    if (ready && err.find("Address already in use") == std::string::npos) return true;
    progress("%s: not ready or a port is taken; stderr:\n%s", p.name, err.c_str());
    return false;
}

// SIGINT to exit (ms); NAN when it did not exit with status 0.
double stop_time(daemon_proc &d)
{
    long long t0 = bench_now_ns();
    int status = daemon_stop(d, SIGINT, 10000);
    double ms = (bench_now_ns() - t0) / 1e6;
    return exited_cleanly(status) ? ms : NAN;
}

// The text after `tag` up to the end of its line, or "" (the pty banner).
std::string banner_value(const std::string &out, const std::string &tag)
{
    size_t at = out.find(tag);
    if (at == std::string::npos) return "";
    at += tag.size();
    return out.substr(at, out.find('\n', at) - at);
}

// The pty the daemon announces: its slave ("pty: "), or the link to it ("pth: ");
// "" when it announces none within a second.
std::string pty_path(daemon_proc &d)
{
    std::string path;
    wait_until(
        [&] {
            std::string out = daemon_stdout(d);
            path = banner_value(out, "pty: ") + banner_value(out, "pth: ");
            return !path.empty();
        },
        1000);
    return path;
}

int tcp_connect(int port)
{
    int fd = -1;
    wait_until([&] { return (fd = lo_connect(port)) >= 0; }, 1000);
    // One short line at a time: Nagle would hold each behind the previous one's
    // delayed acknowledgement.
    int one = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// --- channel ------------------------------------------------------------------

// The channel measurements: round trips, then the throughput runs.
const int CHANNEL_RUNS = 1 + 4;

// CPU time of the whole program (ms); NAN when /proc does not say.
double cpu_ms(pid_t pid)
{
    proc_sched s;
    return proc_sched_read(pid, &s) == 0 ? s.cpu_ns / 1e6 : NAN;
}

// One channel measurement (`run`: 0 the round trips, 1 + i TPUT_RUNS[i]) on a
// program started for it alone, with its start-up, its cost at rest and SIGINT
// to exit. Every figure of the run is recorded, NAN where it failed, so that the
// runs of the two programs stay paired.
void channel_run(const program &p, int run, const bench_opts &o, figures &f, int *failures)
{
    std::map<std::string, double> r;
    daemon_proc d;
    std::string key = run == 0 ? "round trip" : TPUT_RUNS[run - 1].key;
    if (start(d, p)) {
        r["startup"] = static_cast<double>(d.ready_ms - d.start_ms);
        sleep_ms(SETTLE_MS);
        r["threads"] = proc_status(d.pid, "Threads");
        r["rss"] = proc_status(d.pid, "VmRSS");
        double cpu0 = cpu_ms(d.pid);
        if (run == 0) {
            std::vector<double> us;
            int lost = 0;
            if (channel_latency(CMD_PUSH, CMD_SUB, o.latency_count, 200, 100, &us, &lost) < 0)
                ++*failures;
            r["lat_p50"] = stat_percentile(us, 50);
            r["lat_p99"] = stat_percentile(us, 99);
        } else {
            const tput_run &t = TPUT_RUNS[run - 1];
            long count = t.size == 100 ? o.small_count : o.large_count;
            throughput_result res;
            if (channel_throughput(CMD_PUSH, CMD_SUB, count, t.size, t.flood ? 0 : CHANNEL_WINDOW,
                                   &res) < 0 ||
                res.seconds <= 0) {
                ++*failures;
            } else {
                r["rate " + key] = res.received / res.seconds;
                r["drop " + key] = 100.0 * (count - res.received) / count;
                // Every message taken in counts, delivered or dropped.
                r["cpu " + key] = 1000.0 * (cpu_ms(d.pid) - cpu0) / res.sent;
            }
            r["hwm " + key] = proc_status(d.pid, "VmHWM");
        }
        r["stop"] = stop_time(d);
    } else {
        ++*failures;
    }
    std::vector<std::string> keys = {"startup", "threads", "rss", "stop"};
    if (run == 0) keys.insert(keys.end(), {"lat_p50", "lat_p99"});
    for (const char *what : {"rate ", "drop ", "cpu ", "hwm "})
        if (run > 0) keys.push_back(what + key);
    for (const std::string &k : keys) f[k].push_back(r.count(k) ? r[k] : NAN);
    if (run == 0)
        progress("%-9s round trip p50 %.1f us, p99 %.1f us", p.name, f["lat_p50"].back(),
                 f["lat_p99"].back());
    else
        progress("%-9s %-11s %9.0f msg/s, %4.1f%% dropped, %.2f us of CPU a message", p.name,
                 key.c_str(), f["rate " + key].back(), f["drop " + key].back(),
                 f["cpu " + key].back());
}

bench_row row(const std::string &figure, double d, double b, int decimals,
              target_kind kind = TARGET_NONE, double target = 0, double ratio = NAN)
{
    bench_row r;
    r.figure = figure;
    r.daemon = d;
    r.baseline = b;
    r.ratio = ratio;
    r.decimals = decimals;
    r.kind = kind;
    r.target = target;
    return r;
}

// A row of per-round figures: medians, and the median of the paired ratios.
bench_row paired(const std::string &figure, figures &d, figures &b, const std::string &key,
                 int decimals, target_kind kind = TARGET_NONE, double target = 0)
{
    return row(figure, stat_median(d[key]), stat_median(b[key]), decimals, kind, target,
               stat_paired_ratio(d[key], b[key]));
}

bench_row section(const std::string &title)
{
    return row("-- " + title, NAN, NAN, 0);
}

void channel_rows(std::vector<bench_row> &rows, figures &d, figures &b)
{
    rows.push_back(section("channel: PUSH 127.0.0.1:5554 -> SUB 127.0.0.1:5552 over TCP; "
                           "baseline zmq_proxy"));
    const char *names[] = {"100 B, sub keeps up", "4 KiB, sub keeps up", "100 B flood",
                           "4 KiB flood"};
    for (int i = 0; i < 4; i++) {
        std::string n = names[i], k = TPUT_RUNS[i].key;
        rows.push_back(paired(n + ": delivered (msg/s)", d, b, "rate " + k, 0, TARGET_RATIO_MIN,
                              TPUT_RUNS[i].size == 100 ? 1.2 : 1.0));
        if (TPUT_RUNS[i].flood)
            rows.push_back(paired(n + ": dropped (% of sent)", d, b, "drop " + k, 1));
        rows.push_back(paired(n + ": CPU a message (us)", d, b, "cpu " + k, 2));
    }
    rows.push_back(paired("round trip 100 B p50 (us)", d, b, "lat_p50", 1, TARGET_RATIO_MAX, 1.0));
    rows.push_back(paired("round trip 100 B p99 (us)", d, b, "lat_p99", 1, TARGET_RATIO_MAX, 1.2));
    rows.push_back(paired("SIGINT to exit, no links (ms)", d, b, "stop", 2, TARGET_ABS_BELOW, 50));
    rows.push_back(paired("start-up to ready line (ms)", d, b, "startup", 0));
    rows.push_back(paired("threads at rest", d, b, "threads", 0));
    rows.push_back(paired("VmRSS at rest (KiB)", d, b, "rss", 0));
    rows.push_back(paired("VmHWM after a 4 KiB flood (KiB)", d, b, "hwm 4 KiB flood", 0));
}

// --- at rest --------------------------------------------------------------------

struct rest_figures {
    double cpu_pct = NAN;
    double wakeups = NAN;  // per second, all threads
    double attempts = NAN; // a link's connection attempts in the window
    std::string live;      // endpoints seen working during the window
};

// Opens clients on the endpoints that `args` asked for and the daemon shows it
// has; returns the descriptors to hold open and notes what is live.
std::vector<int> attach_clients(daemon_proc &d, const std::vector<std::string> &args,
                                std::string *live)
{
    std::vector<int> fds;
    auto has = [&](const std::string &a) {
        for (const std::string &x : args)
            if (x.rfind(a, 0) == 0) return true;
        return false;
    };
    auto note = [&](const std::string &what) { *live += (live->empty() ? "" : ", ") + what; };
    if (has("--stdin")) note("stdin (/dev/null)");
    if (has("-i")) note("input file (at its end)");
    if (has("--stdout")) note("stdout");
    if (has("--pty") && !pty_path(d).empty()) {
        int fd = open_raw(pty_path(d));
        if (fd >= 0) fds.push_back(fd);
        if (fd >= 0) note("pty (slave open)");
    }
    if (has("--serial") && wait_stdout(d, SERIAL_READY, 1000)) note("serial (pty pair)");
    for (size_t i = 0; i + 1 < args.size(); i++)
        if (args[i] == "--tcpserver") {
            int fd = tcp_connect(atoi(args[i + 1].c_str()));
            if (fd >= 0) fds.push_back(fd);
            if (fd >= 0) note("tcpserver (1 connection)");
        }
    if (has("--console")) {
        int fd = tcp_connect(CONSOLE_PORT);
        if (fd >= 0) fds.push_back(fd);
        if (fd >= 0) note("console (1 connection)");
    }
    if (has("--tcpclient") && wait_stdout(d, "Connect to", 1500)) note("link to a closed port");
    return fds;
}

// `args` may hold "--console", which is no option: it asks for a console client.
rest_figures rest_run(const program &p, std::vector<std::string> args, int seconds,
                      const std::string &dir = "")
{
    rest_figures f;
    std::vector<std::string> daemon_args;
    for (const std::string &a : args)
        if (a != "--console") daemon_args.push_back(a);
    daemon_proc d;
    if (!start(d, p, daemon_args, dir)) return f;
    std::vector<int> fds = attach_clients(d, args, &f.live);
    sleep_ms(SETTLE_MS);
    proc_sched s0, s1;
    size_t tries0 = count_of(daemon_stdout(d), "Connect to");
    int rc = proc_sched_read(d.pid, &s0);
    long long t0 = bench_now_ns();
    long threads0 = proc_status(d.pid, "Threads");
    sleep_ms(seconds * 1000);
    rc |= proc_sched_read(d.pid, &s1);
    long long t1 = bench_now_ns();
    size_t tries1 = count_of(daemon_stdout(d), "Connect to");
    if (rc == 0) {
        double window_ns = static_cast<double>(t1 - t0);
        f.cpu_pct = 100.0 * static_cast<double>(s1.cpu_ns - s0.cpu_ns) / window_ns;
        f.wakeups = static_cast<double>(s1.wakeups - s0.wakeups) / (window_ns / 1e9);
        f.attempts = static_cast<double>(tries1 - tries0);
    }
    // CPU time of threads that ended inside the window is not counted: say so.
    if (threads0 != proc_status(d.pid, "Threads"))
        progress("%s: the thread count changed during the window", p.name);
    for (int fd : fds) close(fd);
    stop_time(d);
    progress("%-9s at rest%s%s: %.4f%% of a core, %.2f wake-ups/s", p.name,
             f.live.empty() ? "" : ", ", f.live.c_str(), f.cpu_pct, f.wakeups);
    return f;
}

void rest_section(std::vector<bench_row> &rows, const program &daemon, const program &baseline,
                  int seconds)
{
    rest_figures d_bare = rest_run(daemon, {}, seconds);
    rest_figures b_bare = rest_run(baseline, {}, seconds);
    std::string server = std::to_string(lo_free_port());
    rest_figures d_pty = rest_run(daemon, {"--pty", "--tcpserver", server}, seconds);
    rest_figures d_link =
        rest_run(daemon, {"--tcpclient", "127.0.0.1:" + std::to_string(lo_free_port())}, seconds);
    // Every endpoint but a link: standard streams, an input file at its end, the
    // pty behind a link, the server port, a serial port on a pty pair, the console.
    std::string dir = temp_dir();
    mkdir((dir + "/tmp").c_str(), 0755);
    std::ofstream(dir + "/input.txt") << "first input line\nsecond input line\n";
    pty_port bus;
    rest_figures d_all = rest_run(daemon,
                                  {"--stdin", "command", "--stdout", "response", "-i",
                                   dir + "/input.txt", "--pty=" + dir + "/ptylink", "--tcpserver",
                                   server, "--serial", bus.link + ":115200", "--card", "--console"},
                                  seconds, dir);

    rows.push_back(section("at rest, " + std::to_string(seconds) +
                           " s per configuration; baseline zmq_proxy at rest"));
    double b_wake = b_bare.wakeups, b_cpu = b_bare.cpu_pct;
    rows.push_back(
        row("no options: wake-ups (per s)", d_bare.wakeups, b_wake, 1, TARGET_ABS_MAX, 0));
    rows.push_back(row("no options: CPU (% of a core)", d_bare.cpu_pct, b_cpu, 4));
    rows.push_back(row("pty and tcpserver, slave open, 1 connection: wake-ups (per s)",
                       d_pty.wakeups, b_wake, 1, TARGET_ABS_MAX, 0));
    rows.push_back(row("every endpoint but a link: wake-ups (per s)", d_all.wakeups, b_wake, 1,
                       TARGET_ABS_MAX, 0));
    rows.push_back(row("every endpoint but a link: CPU (% of a core)", d_all.cpu_pct, b_cpu, 4));
    rows.push_back(row("link to a closed port: wake-ups (per s)", d_link.wakeups, b_wake, 1));
    rows.push_back(row("link to a closed port: wake-ups per 1 s retry",
                       d_link.wakeups * seconds / d_link.attempts, NAN, 2, TARGET_ABS_MAX, 1.0));
    printf("every endpoint, live: %s\n", d_all.live.c_str());
}

// --- shutdown with links --------------------------------------------------------

// SIGINT to exit of a daemon with a link that is connected and one that is
// waiting out its retry pause.
double stop_with_links(const program &daemon)
{
    int port = 0;
    int listener = lo_listen(&port);
    daemon_proc d;
    double ms = NAN;
    if (listener >= 0 && start(d, daemon,
                               {"--tcpclient", "127.0.0.1:" + std::to_string(port), "--tcpclient",
                                "127.0.0.1:" + std::to_string(lo_free_port())})) {
        int peer = lo_accept(listener, 3000);
        if (peer >= 0 && wait_stdout(d, "success\n", 2000) && wait_stdout(d, "failed\n", 2000)) {
            sleep_ms(SETTLE_MS);
            ms = stop_time(d);
        }
        if (peer >= 0) close(peer);
    }
    if (listener >= 0) close(listener);
    return ms;
}

// --- line latency ---------------------------------------------------------------

struct line_figures {
    std::string why; // set when nothing could be measured
    line_result r;
};

void measure_lines(line_figures &e, int fd, const chunk_source &from,
                   const std::vector<pid_t> &relay, int count)
{
    if (fd < 0) {
        e.why = "could not open the endpoint";
        return;
    }
    if (line_latency(fd, from, relay, count, &e.r, &e.why) == 0) e.why.clear();
}

void record(figures &f, const std::string &key, const line_figures &e)
{
    f[key + " p50"].push_back(stat_percentile(e.r.us, 50));
    f[key + " p99"].push_back(stat_percentile(e.r.us, 99));
    f[key + " wakeups"].push_back(e.r.wakeups);
    f[key + " cpu"].push_back(e.r.cpu_us);
    f[key + " built"].push_back(e.why == NOT_BUILT ? 0 : 1);
    if (!e.why.empty()) progress("%s: %s", key.c_str(), e.why.c_str());
}

// The daemon's pty, server and serial endpoints into a command channel subscriber.
void daemon_lines(const program &daemon, int count, figures &f)
{
    pty_port bus;
    int server = lo_free_port();
    daemon_proc d;
    line_figures pty, tcp, serial;
    bool up = start(d, daemon,
                    {"--pty", "--tcpserver", std::to_string(server), "--serial",
                     bus.link + ":115200", "--card"});
    std::string slave = up ? pty_path(d) : "";
    bool serial_built = up && wait_stdout(d, SERIAL_READY, 1000);
    if (up) {
        channel_sub sub(CMD_SUB, CMD_PUSH);
        int fd = slave.empty() ? -1 : open_raw(slave);
        measure_lines(pty, fd, chunks_of(sub), {d.pid}, count);
        if (fd >= 0) close(fd);
        fd = tcp_connect(server);
        measure_lines(tcp, fd, chunks_of(sub), {d.pid}, count);
        if (fd >= 0) close(fd);
        if (serial_built) measure_lines(serial, bus.master, chunks_of(sub), {d.pid}, count);
        stop_time(d);
    }
    if (!up) pty.why = tcp.why = serial.why = "the daemon did not start";
    if (up && slave.empty()) pty.why = NOT_BUILT;
    if (up && !serial_built) serial.why = NOT_BUILT;
    record(f, "pty", pty);
    record(f, "tcpserver", tcp);
    record(f, "serial", serial);
    progress("daemon    lines: pty p50 %.0f us, tcpserver p50 %.0f us, serial p50 %.0f us",
             f["pty p50"].back(), f["tcpserver p50"].back(), f["serial p50"].back());
}

void relay_lines(int count, figures &f)
{
    for (relay_kind kind : {RELAY_PTY, RELAY_TCP}) {
        socat_relay r;
        line_figures e;
        if (relay_start(r, kind, &e.why))
            measure_lines(e, r.writer, chunks_of(r.reader), {r.hop1.pid, r.hop2.pid}, count);
        record(f, kind == RELAY_PTY ? "pty" : "tcpserver", e);
    }
    record(f, "serial", line_figures()); // no relay of its own: the pty relay stands for it
    progress("socat     lines: pty p50 %.0f us, tcp p50 %.0f us", f["pty p50"].back(),
             f["tcpserver p50"].back());
}

void line_rows(std::vector<bench_row> &rows, figures &d, figures &b)
{
    rows.push_back(section("line written -> command channel subscriber (SUB 127.0.0.1:5552); "
                           "baseline: the same line through two socat hops to a TCP reader"));
    const char *names[][2] = {{"pty", "pty"},
                              {"tcpserver", "TCP server connection"},
                              {"serial", "serial port (pty pair)"}};
    for (auto &n : names) {
        std::string k = n[0];
        bool built = stat_median(d[k + " built"]) > 0;
        bench_row p50 = paired(std::string(n[1]) + " p50 (us)", d, b, k + " p50", 0,
                               k == "serial" ? TARGET_NONE : TARGET_RATIO_MAX, 1.0);
        bench_row p99 = paired(std::string(n[1]) + " p99 (us)", d, b, k + " p99", 0);
        bench_row wake =
            paired(std::string(n[1]) + ": relay wake-ups a line", d, b, k + " wakeups", 1);
        bench_row cpu = paired(std::string(n[1]) + ": relay CPU a line (us)", d, b, k + " cpu", 1);
        if (!built) p50.note = p99.note = wake.note = cpu.note = NOT_BUILT;
        for (const bench_row &r : {p50, p99, wake, cpu}) rows.push_back(r);
    }
}

// --- options ----------------------------------------------------------------------

void usage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s [--rounds N] [--rest-seconds N] [--quick] [--daemon PATH]\n"
            "          [--baseline PATH | --baseline-daemon PATH] [--baseline-arg ARG]...\n"
            "          [--only micro,channel,rest,stop,line] [--benchmark_* flags]\n",
            prog);
}

// Our own options are taken out of argv; what is left goes to Google Benchmark.
int parse_args(int *argc, char **argv, bench_opts *o)
{
    int out = 1;
    for (int i = 1; i < *argc; i++) {
        std::string a = argv[i];
        bool has_next = i + 1 < *argc;
        if (a == "--rounds" && has_next)
            o->rounds = atoi(argv[++i]);
        else if (a == "--rest-seconds" && has_next)
            o->rest_seconds = atoi(argv[++i]);
        else if (a == "--daemon" && has_next)
            o->daemon_bin = argv[++i];
        else if (a == "--baseline" && has_next)
            o->baseline_bin = argv[++i];
        else if (a == "--baseline-daemon" && has_next)
            o->baseline_bin = argv[++i], o->baseline_is_daemon = true;
        else if (a == "--baseline-arg" && has_next)
            o->baseline_args.push_back(argv[++i]);
        else if (a == "--only" && has_next)
            o->only = argv[++i];
        else if (a == "--quick") {
            o->rounds = 1;
            o->rest_seconds = 3;
            o->latency_count = 1000;
            o->small_count = 20000;
            o->large_count = 2000;
            o->line_count = 200;
        } else if (a == "--help" || a == "-h") {
            usage(argv[0]);
            return -1;
        } else {
            argv[out++] = argv[i];
        }
    }
    *argc = out;
    // The programs start in directories of their own: a relative path would miss.
    for (std::string *path : {&o->daemon_bin, &o->baseline_bin}) {
        char *full = realpath(path->c_str(), nullptr);
        if (full) *path = full;
        free(full);
    }
    if (o->rounds < 1 || o->rest_seconds < 1) {
        usage(argv[0]);
        return -1;
    }
    return 0;
}

bool wanted(const bench_opts &o, const char *section)
{
    return o.only.empty() ||
           ("," + o.only + ",").find(std::string(",") + section + ",") != std::string::npos;
}

} // namespace

int main(int argc, char **argv)
{
    // First, while this is the only thread: unshare refuses a process with more.
    bool isolated = kit_isolate();
    bench_opts o;
    if (parse_args(&argc, argv, &o) < 0) return 2;
    // The clients write to sockets whose peer may have gone.
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    print_header(o, isolated);

    if (wanted(o, "micro")) {
        printf("line framer (Google Benchmark):\n");
        fflush(stdout);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        printf("\n");
    }

    program daemon = {"daemon", o.daemon_bin, {}, READY_LINE};
    program baseline = {o.baseline_is_daemon ? "baseline" : "zmq_proxy", o.baseline_bin,
                        o.baseline_args, o.baseline_is_daemon ? READY_LINE : BASELINE_READY};
    std::vector<bench_row> rows;
    int failures = 0;

    if (wanted(o, "channel")) {
        figures d, b;
        for (int r = 0; r < o.rounds; r++) {
            progress("channel round %d of %d", r + 1, o.rounds);
            for (int run = 0; run < CHANNEL_RUNS; run++) {
                bool daemon_first = (r + run) % 2 == 0;
                channel_run(daemon_first ? daemon : baseline, run, o, daemon_first ? d : b,
                            &failures);
                channel_run(daemon_first ? baseline : daemon, run, o, daemon_first ? b : d,
                            &failures);
            }
        }
        channel_rows(rows, d, b);
    }
    if (wanted(o, "stop")) {
        std::vector<double> ms;
        for (int r = 0; r < o.rounds; r++) {
            ms.push_back(stop_with_links(daemon));
            failures += std::isnan(ms.back());
        }
        progress("SIGINT to exit with links: median %.2f ms", stat_median(ms));
        rows.push_back(section("shutdown"));
        rows.push_back(
            row("SIGINT to exit, a link connected, one retrying (ms)", stat_median(ms), NAN, 2));
    }
    if (wanted(o, "rest")) rest_section(rows, daemon, baseline, o.rest_seconds);
    if (wanted(o, "line")) {
        figures d, b;
        for (int r = 0; r < o.rounds; r++) {
            progress("line round %d of %d", r + 1, o.rounds);
            if (r % 2 == 0) daemon_lines(daemon, o.line_count, d);
            relay_lines(o.line_count, b);
            if (r % 2 == 1) daemon_lines(daemon, o.line_count, d);
        }
        line_rows(rows, d, b);
    }

    printf("%s", table_render(rows).c_str());
    printf("load average at the end: %s\n", load_average().c_str());
    if (failures) printf("failed measurements: %d (see above)\n", failures);
    printf("%s\n", table_summary(rows).c_str());
    return failures ? 1 : 0;
}
