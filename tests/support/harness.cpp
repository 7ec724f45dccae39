// End-to-end test support.
#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
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
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

daemon_proc::~daemon_proc()
{
    // In a sanitized build a report anywhere in the daemon's life fails the test.
    std::string err = read_file(err_path);
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                             "WARNING: ThreadSanitizer"})
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
    static std::string bin = VEXLOND_BINARY;
    for (const auto &w : wrapper) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
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

std::string daemon_stdout(const daemon_proc &d) { return read_file(d.out_path); }
std::string daemon_stderr(const daemon_proc &d) { return read_file(d.err_path); }

static bool wait_in_file(const std::string &path, const std::string &text, int timeout_ms)
{
    long end = now_ms() + timeout_ms;
    do {
        if (read_file(path).find(text) != std::string::npos) return true;
        usleep(20 * 1000);
    } while (now_ms() < end);
    return false;
}

bool wait_stdout(const daemon_proc &d, const std::string &text, int timeout_ms)
{
    return wait_in_file(d.out_path, text, timeout_ms);
}

bool wait_stderr(const daemon_proc &d, const std::string &text, int timeout_ms)
{
    return wait_in_file(d.err_path, text, timeout_ms);
}

int daemon_wait(daemon_proc &d, int timeout_ms, long *elapsed_ms)
{
    long start = now_ms();
    while (d.pid > 0) {
        int status;
        pid_t r = waitpid(d.pid, &status, WNOHANG);
        if (r == d.pid) {
            d.pid = -1;
            if (elapsed_ms) *elapsed_ms = now_ms() - start;
            return status;
        }
        if (now_ms() - start > timeout_ms) return -1;
        usleep(10 * 1000);
    }
    return -1;
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

bool is_probe(const std::string &msg) { return msg == PROBE; }

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

bool channel_sub::silent(int timeout_ms)
{
    std::string msg;
    return !recv(msg, timeout_ms);
}
