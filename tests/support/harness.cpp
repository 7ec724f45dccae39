// Test support.
#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

const char CMD_PUSH[] = "tcp://127.0.0.1:5554";
const char CMD_SUB[] = "tcp://127.0.0.1:5552";
const char RES_PUSH[] = "tcp://127.0.0.1:5553";
const char RES_SUB[] = "tcp://127.0.0.1:5551";

static const char PROBE[] = "#probe\n";

void e2e_lock()
{
    static int fd = -1;
    if (fd >= 0) return;
    fd = open("/tmp/vexlond-e2e.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    // Generous: a whole other test program may be ahead of us.
    for (int i = 0; i < 6000; i++) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return;
        usleep(100 * 1000);
    }
    ADD_FAILURE() << "could not take the end-to-end test lock in 10 minutes";
}

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::string temp_dir()
{
    char tmpl[] = "/tmp/vexlond-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms)
{
    for (long end = now_ms() + timeout_ms; !cond(); usleep(10 * 1000))
        if (now_ms() >= end) return false;
    return true;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos++)
        n++;
    return n;
}

bool read_until(int fd, std::string &out, const std::string &want, int timeout_ms)
{
    char buf[4096];
    for (long end = now_ms() + timeout_ms, left; (left = end - now_ms()) > 0;) {
        if (!want.empty() && out.find(want) != std::string::npos) return true;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf); // a pty master fails with EIO at its end
        if (n <= 0 && !(n < 0 && errno == EINTR)) break;
        out.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return !want.empty() && out.find(want) != std::string::npos;
}

std::string read_text(int fd, const std::string &want, int timeout_ms)
{
    std::string out;
    read_until(fd, out, want, timeout_ms);
    return out;
}

int fd_count(pid_t pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    int n = 0;
    while (dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.') n++;
    if (d) closedir(d);
    return d ? n : -1;
}

daemon_proc::~daemon_proc()
{
    // In a sanitized build a report anywhere in the daemon's life fails the test.
    std::string err = read_file(err_path);
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "runtime error:", "WARNING: ThreadSanitizer"})
        if (err.find(mark) != std::string::npos) ADD_FAILURE() << "sanitizer report:\n" << err;
    if (stdin_fd >= 0) close(stdin_fd);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

static pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &wrapper,
                   const std::string &dir, const std::string &out, const std::string &err,
                   int stdin_fd)
{
    std::vector<char *> argv;
    // make board-test points this at a wrapper that runs the board's binary under
    // qemu-user; the wrapper passes its own path on as the daemon's argv[0].
    const char *target = getenv("VEXLOND_TEST_BINARY");
    static std::string bin = target && target[0] ? target : VEXLOND_BINARY;
    for (const auto &w : wrapper) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int i = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void daemon_start(daemon_proc &d, const std::vector<std::string> &args,
                  const daemon_start_opts &opts)
{
    e2e_lock();
    d.dir = opts.dir.empty() ? temp_dir() : opts.dir;
    if (opts.make_tmp_dir) mkdir((d.dir + "/tmp").c_str(), 0755);
    d.out_path = d.dir + "/stdout.txt";
    d.err_path = d.dir + "/stderr.txt";
    int child_in = -1;
    if (opts.pipe_stdin) {
        int p[2];
        if (pipe(p) == 0) {
            child_in = p[0];
            d.stdin_fd = p[1];
            fcntl(d.stdin_fd, F_SETFD, FD_CLOEXEC);
        }
    }
    d.pid = spawn(args, opts.wrapper, d.dir, d.out_path, d.err_path, child_in);
    if (child_in >= 0) close(child_in);
    if (d.pid < 0) {
        ADD_FAILURE() << "fork failed";
        return;
    }
    if (opts.wait_ready && !wait_stdout(d, "Accepting commands on port 5550\n", 5000))
        ADD_FAILURE() << "daemon not ready; stdout:\n"
                      << daemon_stdout(d) << "\nstderr:\n"
                      << daemon_stderr(d);
}

std::string daemon_stdout(const daemon_proc &d)
{
    return read_file(d.out_path);
}
std::string daemon_stderr(const daemon_proc &d)
{
    return read_file(d.err_path);
}

static bool wait_in(const std::string &path, const std::string &text, int timeout_ms)
{
    return wait_until([&] { return read_file(path).find(text) != std::string::npos; }, timeout_ms);
}

bool wait_stdout(const daemon_proc &d, const std::string &text, int timeout_ms)
{
    return wait_in(d.out_path, text, timeout_ms);
}

bool wait_stderr(const daemon_proc &d, const std::string &text, int timeout_ms)
{
    return wait_in(d.err_path, text, timeout_ms);
}

int daemon_wait(daemon_proc &d, int timeout_ms, long *elapsed_ms)
{
    long start = now_ms();
    int status = -1;
    if (d.pid <= 0 ||
        !wait_until([&] { return waitpid(d.pid, &status, WNOHANG) == d.pid; }, timeout_ms))
        return -1;
    d.pid = -1;
    if (elapsed_ms) *elapsed_ms = now_ms() - start;
    return status;
}

int daemon_stop(daemon_proc &d, int sig, int timeout_ms, long *elapsed_ms)
{
    if (d.pid <= 0) return -1;
    kill(d.pid, sig);
    return daemon_wait(d, timeout_ms, elapsed_ms);
}

int daemon_run_to_exit(const std::vector<std::string> &args, std::string *out, std::string *err,
                       int timeout_ms)
{
    daemon_proc d;
    daemon_start_opts opts;
    opts.wait_ready = false;
    daemon_start(d, args, opts);
    int status = daemon_wait(d, timeout_ms);
    if (out) *out = daemon_stdout(d);
    if (err) *err = daemon_stderr(d);
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool is_probe(const std::string &msg)
{
    return msg == PROBE;
}

std::string without_probes(std::string s)
{
    for (size_t at; (at = s.find(PROBE)) != std::string::npos;)
        s.erase(at, sizeof PROBE - 1);
    return s;
}

channel_push::channel_push(const std::string &endpoint) : ctx(), sock(ctx, zmq::socket_type::push)
{
    sock.set(zmq::sockopt::linger, 1000);
    sock.connect(endpoint);
}

void channel_push::send(const std::string &msg)
{
    // Blocking with a bound: a daemon that is not there fails the test, not hangs it.
    sock.set(zmq::sockopt::sndtimeo, 2000);
    auto r = sock.send(zmq::buffer(msg), zmq::send_flags::none);
    EXPECT_TRUE(r.has_value()) << "push timed out";
}

static bool recv_raw(zmq::socket_t &s, std::string &msg, int timeout_ms)
{
    zmq::pollitem_t item = {s.handle(), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, std::chrono::milliseconds(timeout_ms)) <= 0) return false;
    zmq::message_t m;
    if (!s.recv(m, zmq::recv_flags::dontwait)) return false;
    msg.assign(static_cast<const char *>(m.data()), m.size());
    return true;
}

channel_sub::channel_sub(const std::string &sub_endpoint, const std::string &probe_push)
    : ctx(), sock(ctx, zmq::socket_type::sub)
{
    sock.set(zmq::sockopt::linger, 0);
    sock.set(zmq::sockopt::subscribe, "");
    sock.connect(sub_endpoint);
    channel_push probe(probe_push);
    std::string msg;
    long end = now_ms() + 5000;
    bool live = false;
    while (!live && now_ms() < end) {
        probe.send(PROBE);
        // Subscription set-up takes a few ms on loopback; probe until one passes.
        while (recv_raw(sock, msg, 50))
            if (is_probe(msg)) live = true;
    }
    EXPECT_TRUE(live) << "subscription to " << sub_endpoint << " never became live";
    while (recv_raw(sock, msg, 150)) {
    }
}

bool channel_sub::recv(std::string &msg, int timeout_ms)
{
    long end = now_ms() + timeout_ms;
    while (true) {
        long left = end - now_ms();
        if (left <= 0 || !recv_raw(sock, msg, static_cast<int>(left))) return false;
        if (!is_probe(msg)) return true;
    }
}

std::string channel_sub::next(int timeout_ms)
{
    std::string msg;
    return recv(msg, timeout_ms) ? msg : "(nothing)";
}

bool channel_sub::silent(int timeout_ms)
{
    std::string msg;
    return !recv(msg, timeout_ms);
}
