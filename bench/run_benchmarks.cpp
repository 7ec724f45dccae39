// run_benchmarks: measures vexlond against a forwarder built from libzmq's own
// zmq_proxy on the same endpoints, and prints each figure beside the baseline's
// as a ratio, with the targets the daemon is held to.
//
// DESIGN: the line framer is measured in-process with Google Benchmark; the rest
// measures whole processes. Daemon and baseline runs alternate (and swap order
// every round) so that the noise of a shared machine falls on both alike. The
// daemon's ports are fixed, so everything that starts a program holds the
// machine-wide end-to-end lock that the test suite also takes. Endpoints that the
// daemon under test does not have are detected at run time (no banner, no
// listener) and reported as not built rather than failed.
#include "bench_channel.h"
#include "bench_endpoint.h"
#include "bench_proc.h"
#include "bench_stats.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <sys/file.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

namespace
{

const char CMD_PUSH[] = "tcp://127.0.0.1:5554";
const char CMD_SUB[] = "tcp://127.0.0.1:5552";
const char LOCK_PATH[] = "/tmp/vexlond-e2e.lock";
const char DAEMON_READY[] = "Accepting commands on port 5550\n";
const char BASELINE_READY[] = "zmq_proxy ready\n";
const char SERIAL_READY[] = "Setting p1025 as card on bus";
const char NOT_BUILT[] = "n/a (endpoint not built)";

// Ports besides the channel ports: the TCP server endpoint, and one that nothing
// listens on for the link that keeps failing. Both are checked free before use.
const int CONSOLE_PORT = 5550;
const int TCPSERVER_PORT = 5565;
const int CLOSED_PORT = 5599;
const int CHANNEL_PORTS[] = {5550, 5551, 5552, 5553, 5554};

struct bench_opts {
    int rounds = 5;            // interleaved channel rounds per program
    int idle_seconds = 10;     // window of each idle measurement
    int latency_count = 2000;  // timed round trips per round
    long small_count = 100000; // 32-byte messages per throughput round
    long large_count = 10000;  // 4 KiB messages per throughput round
    int endpoint_count = 1000; // timed lines per endpoint
    std::string only;          // comma-separated sections to run; empty: all
    std::string daemon_bin = VEXLOND_BINARY;
    std::string baseline_bin = BASELINE_BINARY;
    std::vector<std::string> baseline_args; // after the baseline's path
};

struct program {
    const char *name;
    std::vector<std::string> argv; // path and arguments
    const char *ready;
};

struct prog_figures {
    std::vector<double> lat_us; // pooled over the rounds
    int lat_lost = 0;
    // One entry per round for each throughput run of TPUT_RUNS.
    std::vector<double> rate[4], drop[4];
    std::vector<double> startup_ms, shutdown_ms, rss_rest, threads_rest, hwm_load;
    int failures = 0;
};

// The throughput runs of a round: both sizes, flow-controlled and flooding.
struct tput_run {
    size_t size;
    bool flood;
    const char *label;
};
const tput_run TPUT_RUNS[4] = {{32, false, "32 B"},
                               {4096, false, "4 KiB"},
                               {32, true, "32 B flood"},
                               {4096, true, "4 KiB flood"}};

struct idle_figures {
    double cpu_pct = NAN;
    double wakeups = NAN; // per second, all threads
    proc_mem mem;
    std::string live; // endpoints seen working during the window
};

struct endpoint_figures {
    const char *name = "";
    bool built = false;
    std::string why; // set when built but not measurable
    std::vector<double> us;
    int lost = 0;
};

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
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

int take_lock()
{
    int fd = open(LOCK_PATH, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        perror(LOCK_PATH);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    progress("waiting for %s (end-to-end tests are running)", LOCK_PATH);
    // As long as the test harness waits: a whole test program may be ahead.
    for (int i = 0; i < 6000; i++) {
        sleep_ms(100);
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    }
    fprintf(stderr, "could not take %s in 10 minutes\n", LOCK_PATH);
    close(fd);
    return -1;
}

// Another daemon on the fixed ports would be measured instead of ours.
bool ports_free(const std::vector<int> &extra)
{
    std::vector<int> ports(std::begin(CHANNEL_PORTS), std::end(CHANNEL_PORTS));
    ports.insert(ports.end(), extra.begin(), extra.end());
    for (int port : ports) {
        bool free = false;
        for (int i = 0; i < 20 && !(free = tcp_port_free(port)); i++)
            sleep_ms(100);
        if (!free) {
            fprintf(stderr, "port %d is in use: is a vexlond running outside %s?\n", port,
                    LOCK_PATH);
            return false;
        }
    }
    return true;
}

std::string cpu_model()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) return line.substr(colon + 2);
        }
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

void print_header(const bench_opts &o)
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
    printf("libzmq %d.%d.%d; baseline: zmq_proxy, one context, PULL->PUB per channel on the "
           "daemon's endpoints\n",
           major, minor, patch);
    printf("%d interleaved rounds; latency %d round trips/round; throughput %ld x 32 B and "
           "%ld x 4 KiB/round; idle %d s\n\n",
           o.rounds, o.latency_count, o.small_count, o.large_count, o.idle_seconds);
    fflush(stdout);
}

// One channel round on one program: start-up, memory at rest, latency, both
// throughputs, peak memory, shutdown.
void channel_round(const program &prog, const bench_opts &o, prog_figures *f)
{
    if (!ports_free({})) {
        f->failures++;
        return;
    }
    bench_proc p;
    if (proc_start(&p, prog.argv, prog.ready) < 0) {
        f->failures++;
        return;
    }
    f->startup_ms.push_back(proc_startup_ms(&p));
    // Lets the threads that start-up launched finish setting up before the count.
    sleep_ms(300);
    proc_mem m;
    if (proc_status(p.pid, &m) == 0) {
        f->rss_rest.push_back(m.rss_kib);
        f->threads_rest.push_back(m.threads);
    }

    size_t before = f->lat_us.size();
    int lost = 0;
    if (channel_latency(CMD_PUSH, CMD_SUB, o.latency_count, 200, 32, &f->lat_us, &lost) < 0)
        f->failures++;
    f->lat_lost += lost;
    std::vector<double> mine(f->lat_us.begin() + static_cast<long>(before), f->lat_us.end());

    std::string summary;
    for (int i = 0; i < 4; i++) {
        const tput_run &run = TPUT_RUNS[i];
        long count = run.size == 32 ? o.small_count : o.large_count;
        throughput_result t;
        if (channel_throughput(CMD_PUSH, CMD_SUB, count, run.size, run.flood ? 0 : CHANNEL_WINDOW,
                               &t) < 0 ||
            t.seconds <= 0) {
            f->failures++;
            continue;
        }
        f->rate[i].push_back(t.received / t.seconds);
        f->drop[i].push_back(100.0 * static_cast<double>(count - t.received) / count);
        char part[96];
        snprintf(part, sizeof part, ", %s %.0f msg/s (%ld of %ld)", run.label,
                 t.received / t.seconds, t.received, count);
        summary += part;
    }
    if (proc_status(p.pid, &m) == 0) f->hwm_load.push_back(m.hwm_kib);

    int status = 0;
    double down = proc_stop(&p, SIGINT, 10000, &status);
    if (down >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        f->shutdown_ms.push_back(down);
    else
        f->failures++;
    progress("%-9s start %.1f ms, latency p50 %.0f us p99 %.0f us (%d lost)%s, stop %.0f ms",
             prog.name, proc_startup_ms(&p), stat_percentile(mine, 50), stat_percentile(mine, 99),
             lost, summary.c_str(), down);
    bench_remove_dir(p.dir);
}

struct idle_setup {
    std::string dir;
    std::vector<std::string> args;
    int serial_master = -1;
    bool every_endpoint = false;
};

// The daemon with every endpoint it can have: stdin (on /dev/null, as after
// --daemon), an input file already read to its end, stdout, a pty behind a link,
// the TCP server, a link to a port where nothing listens, the serial port on a
// pty pair, and the console.
idle_setup every_endpoint_setup(const std::vector<std::string> &argv)
{
    idle_setup s;
    s.every_endpoint = true;
    s.dir = bench_temp_dir();
    std::ofstream(s.dir + "/input.txt") << "first input line\nsecond input line\n";
    std::string slave;
    s.serial_master = pty_pair_open(&slave);
    std::string serial_link = s.dir + "/ttyBENCH0"; // the device name must contain "tty"
    if (s.serial_master >= 0 && symlink(slave.c_str(), serial_link.c_str()) < 0) perror("symlink");
    s.args = argv;
    s.args.insert(s.args.end(),
                  {"--stdin", "command", "--stdout", "response", "-i", s.dir + "/input.txt",
                   "--pty=" + s.dir + "/ptylink", "--tcpserver", std::to_string(TCPSERVER_PORT),
                   "--tcpclient", "127.0.0.1:" + std::to_string(CLOSED_PORT)});
    if (s.serial_master >= 0) {
        s.args.push_back("--serial");
        s.args.push_back(serial_link + ":115200");
        s.args.push_back("--card");
    }
    return s;
}

// Whether the daemon has printed `text`. Start-up prints its endpoint lines before
// the ready line; a short grace covers one that comes just after it.
bool announced(bench_proc *p, const std::string &text)
{
    return proc_wait_stdout(p, text, 300);
}

// Attaches a client to every endpoint that turns out to exist; returns the
// descriptors to keep open for the window and notes what is live.
std::vector<int> attach_clients(bench_proc *p, std::string *live)
{
    std::vector<int> fds;
    // Built into every daemon; the rest shows itself or is taken as not built.
    *live = "stdin (/dev/null), input file (at its end), stdout";
    announced(p, "pth: ");
    std::string out = proc_stdout(p);
    std::string link = banner_value(out, "pth: ");
    if (!link.empty()) {
        int fd = pty_slave_open_raw(link);
        if (fd >= 0) {
            fds.push_back(fd);
            *live += ", pty (slave open)";
        }
    }
    if (announced(p, SERIAL_READY)) *live += ", serial (pty pair)";
    int fd = tcp_connect_loopback(TCPSERVER_PORT, 1000);
    if (fd >= 0) {
        fds.push_back(fd);
        *live += ", tcpserver (1 connection)";
    }
    fd = tcp_connect_loopback(CONSOLE_PORT, 1000);
    if (fd >= 0) {
        fds.push_back(fd);
        *live += ", console (1 connection)";
    }
    // The link announces each attempt; one within its first retry period shows it runs.
    if (proc_wait_stdout(p, "Connect to 127.0.0.1:" + std::to_string(CLOSED_PORT), 1500))
        *live += ", link to a closed port";
    return fds;
}

idle_figures idle_run(const program &prog, const idle_setup &s, int seconds)
{
    idle_figures f;
    if (!ports_free({TCPSERVER_PORT, CLOSED_PORT})) return f;
    bench_proc p;
    p.dir = s.dir;
    std::vector<std::string> args = s.args.empty() ? prog.argv : s.args;
    if (proc_start(&p, args, prog.ready) < 0) return f;
    std::vector<int> fds;
    if (s.every_endpoint) fds = attach_clients(&p, &f.live);
    // Start-up work and the first connections settle before the window opens.
    sleep_ms(1000);
    proc_sched s0, s1;
    proc_mem m0;
    int rc = proc_sched_read(p.pid, &s0);
    long long t0 = bench_now_ns();
    proc_status(p.pid, &m0);
    sleep_ms(seconds * 1000);
    rc |= proc_sched_read(p.pid, &s1);
    long long t1 = bench_now_ns();
    proc_status(p.pid, &f.mem);
    if (rc == 0) {
        double window_ns = static_cast<double>(t1 - t0);
        f.cpu_pct = 100.0 * static_cast<double>(s1.cpu_ns - s0.cpu_ns) / window_ns;
        f.wakeups = static_cast<double>(s1.slices - s0.slices) / (window_ns / 1e9);
    }
    // CPU time of threads that ended inside the window is not counted: say so.
    if (m0.threads != f.mem.threads)
        progress("%s: thread count changed during the idle window (%d -> %d)", prog.name,
                 m0.threads, f.mem.threads);
    for (int fd : fds)
        close(fd);
    proc_stop(&p, SIGINT, 10000);
    if (s.dir.empty()) bench_remove_dir(p.dir);
    progress("%-9s idle %s: %.3f%% of a core, %.1f wake-ups/s, VmRSS %ld KiB, %d threads%s%s",
             prog.name, s.every_endpoint ? "with every endpoint" : "bare", f.cpu_pct, f.wakeups,
             f.mem.rss_kib, f.mem.threads, f.live.empty() ? "" : "; live: ", f.live.c_str());
    return f;
}

void endpoint_measure(endpoint_figures *e, int fd, int count)
{
    if (fd < 0) {
        e->why = "could not open the endpoint";
        return;
    }
    if (endpoint_latency(fd, CMD_SUB, CMD_PUSH, count, &e->us, &e->lost, &e->why) == 0)
        e->why.clear();
    progress("endpoint %-9s p50 %.0f us, p99 %.0f us, max %.0f us, %d lost%s%s", e->name,
             stat_percentile(e->us, 50), stat_percentile(e->us, 99), stat_max(e->us), e->lost,
             e->why.empty() ? "" : "; ", e->why.c_str());
}

// Line latency through each byte-stream endpoint into the command channel.
std::vector<endpoint_figures> endpoint_runs(const program &daemon, int count)
{
    std::vector<endpoint_figures> eps(3);
    eps[0].name = "pty";
    eps[1].name = "tcpserver";
    eps[2].name = "serial";
    if (!ports_free({TCPSERVER_PORT})) {
        for (auto &e : eps)
            e.why = "ports in use";
        return eps;
    }
    bench_proc p;
    p.dir = bench_temp_dir();
    std::string slave;
    int master = pty_pair_open(&slave);
    std::string serial_link = p.dir + "/ttyBENCH0";
    if (master >= 0 && symlink(slave.c_str(), serial_link.c_str()) < 0) perror("symlink");
    std::vector<std::string> args = daemon.argv;
    args.insert(args.end(), {"--pty", "--tcpserver", std::to_string(TCPSERVER_PORT)});
    if (master >= 0) args.insert(args.end(), {"--serial", serial_link + ":115200", "--card"});
    if (proc_start(&p, args, daemon.ready) < 0) {
        for (auto &e : eps)
            e.why = "daemon did not start";
        if (master >= 0) close(master);
        return eps;
    }
    bool serial_built = announced(&p, SERIAL_READY);
    announced(&p, "pty: ");
    std::string pty = banner_value(proc_stdout(&p), "pty: ");
    if (!pty.empty()) {
        eps[0].built = true;
        int fd = pty_slave_open_raw(pty);
        endpoint_measure(&eps[0], fd, count);
        if (fd >= 0) close(fd);
    }
    int fd = tcp_connect_loopback(TCPSERVER_PORT, 1000);
    if (fd >= 0) {
        eps[1].built = true;
        endpoint_measure(&eps[1], fd, count);
        close(fd);
    }
    if (master >= 0 && serial_built) {
        eps[2].built = true;
        endpoint_measure(&eps[2], master, count);
    }
    for (auto &e : eps)
        if (!e.built) progress("endpoint %-9s not built in this daemon", e.name);
    proc_stop(&p, SIGINT, 10000);
    if (master >= 0) close(master);
    bench_remove_dir(p.dir);
    return eps;
}

bench_row row(const std::string &figure, double d, double b, int decimals,
              target_kind kind = TARGET_NONE, double target = 0)
{
    bench_row r;
    r.figure = figure;
    r.daemon = d;
    r.baseline = b;
    r.decimals = decimals;
    r.kind = kind;
    r.target = target;
    return r;
}

bench_row section(const std::string &title)
{
    return row("-- " + title, NAN, NAN, 0);
}

void channel_rows(std::vector<bench_row> &rows, const prog_figures &d, const prog_figures &b)
{
    rows.push_back(section("command channel over TCP: PUSH 127.0.0.1:5554 -> SUB 127.0.0.1:5552 "
                           "(median of rounds)"));
    rows.push_back(row("throughput 32 B, sub keeps up (msg/s)", stat_median(d.rate[0]),
                       stat_median(b.rate[0]), 0, TARGET_RATIO_MIN, 1.0));
    rows.push_back(row("throughput 4 KiB, sub keeps up (msg/s)", stat_median(d.rate[1]),
                       stat_median(b.rate[1]), 0, TARGET_RATIO_MIN, 1.0));
    rows.push_back(row("flood 32 B: delivered (msg/s)", stat_median(d.rate[2]),
                       stat_median(b.rate[2]), 0, TARGET_RATIO_MIN, 1.0));
    rows.push_back(
        row("flood 32 B: dropped (% of sent)", stat_median(d.drop[2]), stat_median(b.drop[2]), 1));
    rows.push_back(row("flood 4 KiB: delivered (msg/s)", stat_median(d.rate[3]),
                       stat_median(b.rate[3]), 0, TARGET_RATIO_MIN, 1.0));
    rows.push_back(
        row("flood 4 KiB: dropped (% of sent)", stat_median(d.drop[3]), stat_median(b.drop[3]), 1));
    rows.push_back(section("round trip, one 32 B message at a time (all rounds pooled)"));
    rows.push_back(row("latency p50 (us)", stat_percentile(d.lat_us, 50),
                       stat_percentile(b.lat_us, 50), 1, TARGET_RATIO_MAX, 1.1));
    rows.push_back(row("latency p99 (us)", stat_percentile(d.lat_us, 99),
                       stat_percentile(b.lat_us, 99), 1, TARGET_RATIO_MAX, 1.5));
    rows.push_back(row("latency max (us)", stat_max(d.lat_us), stat_max(b.lat_us), 0));
    rows.push_back(section("cost (median of rounds)"));
    rows.push_back(row("VmRSS at rest, no endpoint (KiB)", stat_median(d.rss_rest),
                       stat_median(b.rss_rest), 0));
    rows.push_back(row("VmHWM after the channel runs (KiB)", stat_median(d.hwm_load),
                       stat_median(b.hwm_load), 0));
    rows.push_back(row("threads at rest, no endpoint", stat_median(d.threads_rest),
                       stat_median(b.threads_rest), 0));
    rows.push_back(row("start-up to ready line (ms)", stat_median(d.startup_ms),
                       stat_median(b.startup_ms), 1));
    rows.push_back(row("shutdown from SIGINT (ms)", stat_median(d.shutdown_ms),
                       stat_median(b.shutdown_ms), 1));
}

void idle_rows(std::vector<bench_row> &rows, int seconds, const idle_figures &d_bare,
               const idle_figures &d_all, const idle_figures &b_idle)
{
    rows.push_back(section("at rest: " + std::to_string(seconds) + " s idle per configuration"));
    rows.push_back(row("idle CPU, no endpoint (% of a core)", d_bare.cpu_pct, b_idle.cpu_pct, 3,
                       TARGET_ABS_BELOW, 0.2));
    rows.push_back(row("idle CPU, every endpoint (% of a core)", d_all.cpu_pct, b_idle.cpu_pct, 3,
                       TARGET_ABS_BELOW, 0.2));
    rows.push_back(row("wake-ups, no endpoint (per s)", d_bare.wakeups, b_idle.wakeups, 1));
    rows.push_back(row("wake-ups, every endpoint (per s)", d_all.wakeups, b_idle.wakeups, 1));
    rows.push_back(row("VmRSS, every endpoint (KiB)",
                       d_all.mem.rss_kib >= 0 ? d_all.mem.rss_kib : NAN,
                       b_idle.mem.rss_kib >= 0 ? b_idle.mem.rss_kib : NAN, 0));
    rows.push_back(row("threads, every endpoint", d_all.mem.threads >= 0 ? d_all.mem.threads : NAN,
                       b_idle.mem.threads >= 0 ? b_idle.mem.threads : NAN, 0));
}

void endpoint_rows(std::vector<bench_row> &rows, const std::vector<endpoint_figures> &eps)
{
    rows.push_back(section("endpoint latency, line written -> published on the command channel"));
    for (const endpoint_figures &e : eps) {
        std::string name =
            std::string(e.name) + (std::string(e.name) == "serial" ? " (pty pair)" : "");
        const char *what[] = {"p50", "p99", "max"};
        double v[] = {stat_percentile(e.us, 50), stat_percentile(e.us, 99), stat_max(e.us)};
        for (int i = 0; i < 3; i++) {
            bench_row r = row(name + " " + what[i] + " (us)", e.us.empty() ? NAN : v[i], NAN, 0,
                              i == 0 ? TARGET_ABS_BELOW : TARGET_NONE, 1000);
            if (!e.built)
                r.note = NOT_BUILT;
            else if (e.us.empty())
                r.note = "failed: " + e.why;
            rows.push_back(r);
        }
    }
}

void usage(const char *prog)
{
    fprintf(
        stderr,
        "Usage: %s [--rounds N] [--idle-seconds N] [--quick] [--daemon PATH]\n"
        "          [--baseline PATH] [--baseline-arg ARG]... [--only micro,channel,idle,endpoint]\n"
        "          [--benchmark_* flags]\n",
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
        else if (a == "--idle-seconds" && has_next)
            o->idle_seconds = atoi(argv[++i]);
        else if (a == "--daemon" && has_next)
            o->daemon_bin = argv[++i];
        else if (a == "--baseline" && has_next)
            o->baseline_bin = argv[++i];
        else if (a == "--baseline-arg" && has_next)
            o->baseline_args.push_back(argv[++i]);
        else if (a == "--only" && has_next)
            o->only = argv[++i];
        else if (a == "--quick") {
            o->rounds = 1;
            o->idle_seconds = 3;
            o->latency_count = 1000;
            o->small_count = 20000;
            o->large_count = 2000;
            o->endpoint_count = 200;
        } else if (a == "--help" || a == "-h") {
            usage(argv[0]);
            return -1;
        } else {
            argv[out++] = argv[i];
        }
    }
    *argc = out;
    if (o->rounds < 1 || o->idle_seconds < 1) {
        usage(argv[0]);
        return -1;
    }
    return 0;
}

bool wanted(const bench_opts &o, const char *section)
{
    if (o.only.empty()) return true;
    std::string list = "," + o.only + ",";
    return list.find(std::string(",") + section + ",") != std::string::npos;
}

} // namespace

int main(int argc, char **argv)
{
    bench_opts o;
    if (parse_args(&argc, argv, &o) < 0) return 2;
    // The clients write to sockets whose peer may have gone.
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    print_header(o);

    if (wanted(o, "micro")) {
        printf("line framer (Google Benchmark):\n");
        fflush(stdout);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        printf("\n");
    }

    int lock = take_lock();
    if (lock < 0) return 1;
    program daemon = {"daemon", {o.daemon_bin}, DAEMON_READY};
    program baseline = {"zmq_proxy", {o.baseline_bin}, BASELINE_READY};
    baseline.argv.insert(baseline.argv.end(), o.baseline_args.begin(), o.baseline_args.end());

    prog_figures df, bf;
    for (int r = 0; wanted(o, "channel") && r < o.rounds; r++) {
        progress("channel round %d of %d", r + 1, o.rounds);
        bool daemon_first = r % 2 == 0;
        channel_round(daemon_first ? daemon : baseline, o, daemon_first ? &df : &bf);
        channel_round(daemon_first ? baseline : daemon, o, daemon_first ? &bf : &df);
    }

    idle_figures d_bare, b_idle, d_all;
    if (wanted(o, "idle")) {
        progress("idle CPU over %d s per configuration", o.idle_seconds);
        idle_setup bare;
        d_bare = idle_run(daemon, bare, o.idle_seconds);
        b_idle = idle_run(baseline, bare, o.idle_seconds);
        idle_setup all = every_endpoint_setup(daemon.argv);
        d_all = idle_run(daemon, all, o.idle_seconds);
        if (all.serial_master >= 0) close(all.serial_master);
        bench_remove_dir(all.dir);
    }

    std::vector<endpoint_figures> eps;
    if (wanted(o, "endpoint")) {
        progress("endpoint latency");
        eps = endpoint_runs(daemon, o.endpoint_count);
    }
    close(lock);

    std::vector<bench_row> rows;
    if (wanted(o, "channel")) channel_rows(rows, df, bf);
    if (wanted(o, "idle")) idle_rows(rows, o.idle_seconds, d_bare, d_all, b_idle);
    if (wanted(o, "endpoint")) endpoint_rows(rows, eps);
    printf("%s", table_render(rows).c_str());
    if (!d_all.live.empty())
        printf("every endpoint, live in this daemon: %s\n", d_all.live.c_str());
    if (df.lat_lost || bf.lat_lost)
        printf("round trips lost: daemon %d, zmq_proxy %d\n", df.lat_lost, bf.lat_lost);
    if (df.failures || bf.failures)
        printf("failed measurements: daemon %d, zmq_proxy %d (see above)\n", df.failures,
               bf.failures);
    printf("%s\n", table_summary(rows).c_str());
    return df.failures || bf.failures ? 1 : 0;
}
