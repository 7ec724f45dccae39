// Benchmark support: the program under test as a child process.
//
// DESIGN: one reader thread per program drains its stdout and stderr pipes into
// strings and stamps the moment the ready text arrives; the caller only ever
// looks at copies. Every descriptor the benchmark opens is close-on-exec, so the
// program under test holds nothing of ours (a pty master, the lock file).
#include "bench_proc.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

long long bench_now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void sleep_us(long us)
{
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

std::string bench_temp_dir()
{
    char tmpl[] = "/tmp/vexlond-bench-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (!d) {
        perror("mkdtemp");
        return "/tmp";
    }
    std::string dir = d;
    mkdir((dir + "/tmp").c_str(), 0755);
    return dir;
}

static void remove_tree(const std::string &dir)
{
    DIR *dp = opendir(dir.c_str());
    if (dp) {
        while (struct dirent *e = readdir(dp)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string path = dir + "/" + name;
            struct stat st;
            // lstat: a link (the pty and serial links) is removed, never followed.
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(path);
            else
                unlink(path.c_str());
        }
        closedir(dp);
    }
    rmdir(dir.c_str());
}

void bench_remove_dir(const std::string &dir)
{
    if (dir.rfind("/tmp/vexlond-bench-", 0) == 0) remove_tree(dir); // only what we made
}

static void read_pipes(bench_proc *p)
{
    struct pollfd fds[2] = {{p->out_fd, POLLIN, 0}, {p->err_fd, POLLIN, 0}};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
                continue;
            }
            long long now = bench_now_ns();
            std::lock_guard<std::mutex> lock(p->mu);
            (i == 0 ? p->out : p->err).append(buf, static_cast<size_t>(n));
            if (i == 0 && p->ready_ns == 0 && !p->ready_text.empty() &&
                p->out.find(p->ready_text) != std::string::npos)
                p->ready_ns = now;
        }
    }
}

bench_proc::~bench_proc()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    if (reader.joinable()) reader.join();
}

int proc_start(bench_proc *p, const std::vector<std::string> &argv, const std::string &ready_text,
               int stdin_fd, int timeout_ms)
{
    if (p->dir.empty()) p->dir = bench_temp_dir();
    p->ready_text = ready_text;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0) {
        perror("pipe2");
        return -1;
    }
    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls are allowed in a threaded parent.
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const char *dir = p->dir.c_str();

    p->start_ns = bench_now_ns();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return -1;
    }
    if (pid == 0) {
        int in = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY);
        if (chdir(dir) != 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(127);
        execv(args[0], args.data());
        _exit(127);
    }
    p->pid = pid;
    close(out[1]);
    close(err[1]);
    p->out_fd = out[0];
    p->err_fd = err[0];
    p->reader = std::thread(read_pipes, p);

    long long end = bench_now_ns() + timeout_ms * 1000000LL;
    while (bench_now_ns() < end) {
        {
            std::lock_guard<std::mutex> lock(p->mu);
            if (p->ready_ns != 0) return 0;
        }
        if (!proc_alive(p)) break;
        sleep_us(500);
    }
    fprintf(stderr, "%s: no \"%s\" within %d ms\nstdout:\n%s\nstderr:\n%s\n", argv[0].c_str(),
            ready_text.c_str(), timeout_ms, proc_stdout(p).c_str(), proc_stderr(p).c_str());
    return -1;
}

double proc_startup_ms(const bench_proc *p)
{
    return p->ready_ns ? (p->ready_ns - p->start_ns) / 1e6 : -1;
}

std::string proc_stdout(bench_proc *p)
{
    std::lock_guard<std::mutex> lock(p->mu);
    return p->out;
}

std::string proc_stderr(bench_proc *p)
{
    std::lock_guard<std::mutex> lock(p->mu);
    return p->err;
}

bool proc_wait_stdout(bench_proc *p, const std::string &text, int timeout_ms)
{
    long long end = bench_now_ns() + timeout_ms * 1000000LL;
    do {
        if (proc_stdout(p).find(text) != std::string::npos) return true;
        sleep_us(1000);
    } while (bench_now_ns() < end);
    return false;
}

bool proc_alive(bench_proc *p)
{
    if (p->pid <= 0) return false;
    int status;
    if (waitpid(p->pid, &status, WNOHANG) == p->pid) {
        p->pid = -1;
        return false;
    }
    return true;
}

double proc_stop(bench_proc *p, int sig, int timeout_ms, int *status)
{
    if (p->pid <= 0) return -1;
    long long t0 = bench_now_ns();
    kill(p->pid, sig);
    long long end = t0 + timeout_ms * 1000000LL;
    int st = 0;
    double ms = -1;
    while (true) {
        pid_t r = waitpid(p->pid, &st, WNOHANG);
        long long now = bench_now_ns();
        if (r == p->pid) {
            ms = (now - t0) / 1e6;
            p->pid = -1;
            break;
        }
        if (now > end) {
            kill(p->pid, SIGKILL);
            waitpid(p->pid, &st, 0);
            p->pid = -1;
            break;
        }
        // Fine enough against shutdowns of milliseconds to seconds.
        sleep_us(200);
    }
    if (status) *status = st;
    if (p->reader.joinable()) p->reader.join();
    return ms;
}

int proc_sched_read(pid_t pid, proc_sched *s)
{
    std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *dp = opendir(task_dir.c_str());
    if (!dp) return -1;
    long long cpu = 0, slices = 0;
    bool any = false;
    while (struct dirent *e = readdir(dp)) {
        if (e->d_name[0] == '.') continue;
        // schedstat: time on a CPU (ns), time waiting to run (ns), timeslices run.
        std::ifstream in(task_dir + "/" + e->d_name + "/schedstat");
        long long run_ns, wait_ns, count;
        if (in >> run_ns >> wait_ns >> count) {
            cpu += run_ns;
            slices += count;
            any = true;
        }
    }
    closedir(dp);
    if (!any) return -1;
    s->cpu_ns = cpu;
    s->slices = slices;
    return 0;
}

int proc_status_parse(const std::string &status, proc_mem *m)
{
    std::istringstream in(status);
    std::string line;
    int found = 0;
    while (std::getline(in, line)) {
        long v;
        if (sscanf(line.c_str(), "VmRSS: %ld kB", &v) == 1) {
            m->rss_kib = v;
            found++;
        } else if (sscanf(line.c_str(), "VmHWM: %ld kB", &v) == 1) {
            m->hwm_kib = v;
            found++;
        } else if (sscanf(line.c_str(), "Threads: %ld", &v) == 1) {
            m->threads = static_cast<int>(v);
            found++;
        }
    }
    return found == 3 ? 0 : -1;
}

int proc_status(pid_t pid, proc_mem *m)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    if (!in) return -1;
    std::stringstream ss;
    ss << in.rdbuf();
    return proc_status_parse(ss.str(), m);
}
