#include "kit.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>

const char READY_LINE[] = "Accepting commands on port 5550\n";
const char CMD_PUSH[] = "tcp://127.0.0.1:5554";
const char CMD_SUB[] = "tcp://127.0.0.1:5552";
const char RES_PUSH[] = "tcp://127.0.0.1:5553";
const char RES_SUB[] = "tcp://127.0.0.1:5551";
static const char PROBE[] = "#probe\n";

static int isolated = -1; // kit_isolate's result; -1 before it ran

// --- isolation ------------------------------------------------------------

// Makes `tree` (a directory under the /tmp that is about to be hidden) visible
// again at the same path, through `old_tmp`, a descriptor of the old /tmp.
static void keep_visible(int old_tmp, const std::string &tree)
{
    if (tree.rfind("/tmp/", 0) != 0) return;
    std::string top = tree.substr(5, tree.find('/', 5) - 5);
    std::string from = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + top;
    mkdir(("/tmp/" + top).c_str(), 0755);
    mount(from.c_str(), ("/tmp/" + top).c_str(), nullptr, MS_BIND | MS_REC, nullptr);
}

static bool loopback_up()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
              (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
    if (s >= 0) close(s);
    return up;
}

bool kit_isolate()
{
    if (isolated >= 0) return isolated == 1;
    isolated = 0;
    if (geteuid() != 0) return false;
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return false;
    // Opened in the new namespace: a bind mount takes its source from there only.
    int old_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old_tmp >= 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0 && loopback_up()) {
        keep_visible(old_tmp, KIT_BUILD_DIR);
        keep_visible(old_tmp, KIT_SOURCE_DIR);
        isolated = 1;
    }
    close(old_tmp);
    return isolated == 1;
}

bool kit_private_dev_log(const std::string &socket_path)
{
    // A /dev of this namespace's own with what a detached daemon needs: /dev/null
    // (bound first at a place of the private /tmp, which nothing removes) and
    // the socket as /dev/log. The real /dev is left untouched below it.
    const char null_copy[] = "/tmp/.kit-null";
    close(open(null_copy, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (isolated != 1 || mount("/dev/null", null_copy, nullptr, MS_BIND, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0)
        return false;
    bool ok = true;
    for (auto bind : {std::make_pair(std::string(null_copy), "/dev/null"),
                      std::make_pair(socket_path, "/dev/log")}) {
        close(open(bind.second, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ok &= mount(bind.first.c_str(), bind.second, nullptr, MS_BIND, nullptr) == 0;
    }
    return ok;
}

// Without isolation one daemon runs at a time: a test that starts one holds this
// lock (in the build tree, as the package test does) until its program exits.
static void e2e_lock()
{
    static int fd = -1;
    if (isolated == 1 || fd >= 0) return;
    fd = open(KIT_BUILD_DIR "/e2e.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) ADD_FAILURE() << "no end-to-end test lock";
}

// --- waits, files and /proc ------------------------------------------------

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms)
{
    for (long long end = now_ms() + timeout_ms; !cond(); usleep(5 * 1000))
        if (now_ms() >= end) return false;
    return true;
}

static std::vector<std::string> temp_dirs;

// Isolated, the private /tmp goes with the process and nothing is removed: a
// directory could hold a bind mount of something real. Otherwise the
// directories are plain and removed, never crossing into another file system.
static void remove_temp_dirs()
{
    for (const std::string &d : temp_dirs)
        if (isolated != 1) (void)!system(("rm -rf --one-file-system '" + d + "'").c_str());
}

std::string temp_dir()
{
    char tmpl[] = "/tmp/vexlond-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (d == nullptr) return "/tmp";
    if (temp_dirs.empty()) atexit(remove_temp_dirs);
    temp_dirs.push_back(d);
    return d;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos++) n++;
    return n;
}

bool read_until(int fd, std::string &out, const std::string &want, int timeout_ms)
{
    char buf[65536];
    for (long long end = now_ms() + timeout_ms, left; (left = end - now_ms()) > 0;) {
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

long proc_status(pid_t pid, const std::string &key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::stol(line.substr(key.size() + 1));
    return -1;
}

// --- the daemon as a process ----------------------------------------------------

// Drains stderr before stdout at every wake-up: the daemon writes what it has to
// say about start-up before its ready line, so once that line is read, so is
// everything that came before it on stderr.
static void read_pipes(daemon_proc *d, int out_fd, int err_fd)
{
    struct pollfd fds[2] = {{err_fd, POLLIN, 0}, {out_fd, POLLIN, 0}};
    fcntl(err_fd, F_SETFL, O_NONBLOCK);
    fcntl(out_fd, F_SETFL, O_NONBLOCK);
    char buf[4096];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) continue;
        for (struct pollfd &p : fds) {
            ssize_t n = 1;
            while (p.fd >= 0 && (n = read(p.fd, buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> lock(d->mu);
                (p.fd == err_fd ? d->err : d->out).append(buf, static_cast<size_t>(n));
                if (d->ready_ms == 0 && d->out.find(d->ready_line) != std::string::npos)
                    d->ready_ms = now_ms();
            }
            if (p.fd >= 0 && n == 0) {
                close(p.fd);
                p.fd = -1;
            }
        }
        std::lock_guard<std::mutex> lock(d->mu);
        d->grew.notify_all();
    }
}

daemon_proc::~daemon_proc()
{
    if (stdin_fd >= 0) close(stdin_fd);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (reader.joinable()) reader.join();
    // In a sanitized build a report anywhere in the daemon's life fails the test.
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                             "runtime error:", "WARNING: ThreadSanitizer"})
        if (err.find(mark) != std::string::npos) ADD_FAILURE() << "sanitizer report:\n" << err;
}

void daemon_start(daemon_proc &d, const std::vector<std::string> &args,
                  const daemon_start_opts &opts)
{
    e2e_lock();
    d.dir = opts.dir.empty() ? temp_dir() : opts.dir;
    d.ready_line = opts.ready_line.empty() ? READY_LINE : opts.ready_line;
    if (opts.make_tmp_dir) mkdir((d.dir + "/tmp").c_str(), 0755);
    // The board's daemon runs through a wrapper that starts it under qemu-user
    // and passes its own path on as the daemon's argv[0].
    const char *target = getenv("VEXLOND_TEST_BINARY");
    std::string bin = !opts.binary.empty()  ? opts.binary
                      : target && target[0] ? target
                                            : KIT_DAEMON;
    std::vector<std::string> all = opts.wrapper;
    all.push_back(bin);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int in[2] = {-1, -1}, out[2], err[2];
    if ((opts.pipe_stdin && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    d.start_ms = now_ms();
    d.pid = fork();
    if (d.pid == 0) {
        if (chdir(d.dir.c_str()) != 0) _exit(127);
        int i = opts.pipe_stdin ? in[0] : open("/dev/null", O_RDONLY);
        dup2(i, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (opts.pipe_stdin) {
        close(in[0]);
        d.stdin_fd = in[1];
    }
    d.reader = std::thread(read_pipes, &d, out[0], err[0]);
    if (d.pid < 0) ADD_FAILURE() << "fork failed";
    // The board's daemon under qemu-user starts some times slower.
    int ready_ms = opts.ready_ms * (kit_emulated() ? 4 : 1);
    if (d.pid > 0 && opts.wait_ready && !wait_stdout(d, d.ready_line, ready_ms))
        ADD_FAILURE() << "daemon not ready; stdout:\n"
                      << daemon_stdout(d) << "\nstderr:\n"
                      << daemon_stderr(d);
}

std::string daemon_stdout(daemon_proc &d)
{
    std::lock_guard<std::mutex> lock(d.mu);
    return d.out;
}

std::string daemon_stderr(daemon_proc &d)
{
    std::lock_guard<std::mutex> lock(d.mu);
    return d.err;
}

static bool wait_text(daemon_proc &d, std::string daemon_proc::*which, const std::string &text,
                      int timeout_ms)
{
    std::unique_lock<std::mutex> lock(d.mu);
    return d.grew.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return (d.*which).find(text) != std::string::npos; });
}

bool wait_stdout(daemon_proc &d, const std::string &text, int timeout_ms)
{
    return wait_text(d, &daemon_proc::out, text, timeout_ms);
}

bool wait_stderr(daemon_proc &d, const std::string &text, int timeout_ms)
{
    return wait_text(d, &daemon_proc::err, text, timeout_ms);
}

int daemon_wait(daemon_proc &d, int timeout_ms, long *elapsed_ms)
{
    long long start = now_ms();
    int status = -1;
    // A pidfd turns readable at the exit itself: exit times are exact, not
    // rounded up to the look-again period of wait_until.
    int pidfd = -1;
#ifdef SYS_pidfd_open
    if (d.pid > 0) pidfd = static_cast<int>(syscall(SYS_pidfd_open, d.pid, 0));
#endif
    if (pidfd >= 0) {
        struct pollfd p = {pidfd, POLLIN, 0};
        poll(&p, 1, timeout_ms);
        close(pidfd);
    }
    int left = static_cast<int>(std::max(0LL, start + timeout_ms - now_ms()));
    if (d.pid <= 0 || !wait_until([&] { return waitpid(d.pid, &status, WNOHANG) == d.pid; }, left))
        return -1;
    d.pid = -1;
    if (elapsed_ms) *elapsed_ms = static_cast<long>(now_ms() - start);
    if (d.reader.joinable()) d.reader.join(); // everything it wrote is read
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

bool exited_cleanly(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// --- the channels -------------------------------------------------------------

long long stats_value(const std::string &reply, const std::string &name, const std::string &key)
{
    std::istringstream in(reply);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size() + 1, name + " ") != 0) continue;
        size_t at = line.find(" " + key + "=");
        return at == std::string::npos ? -1 : std::stoll(line.substr(at + key.size() + 2));
    }
    return -1;
}

std::string console_stats()
{
    int fd = lo_connect(5550);
    std::string got;
    lo_send(fd, "stats\n");
    // The reply ends at the first line end that follows no backslash.
    while (read_until(fd, got, "\n") && got.size() >= 2 && got[got.size() - 2] == '\\')
        got += read_text(fd, "\n");
    close(fd);
    return got;
}

std::string without_probes(std::string s)
{
    for (size_t at; (at = s.find(PROBE)) != std::string::npos;) s.erase(at, sizeof PROBE - 1);
    return s;
}

channel_push::channel_push(const std::string &endpoint) : ctx(), sock(ctx, zmq::socket_type::push)
{
    sock.set(zmq::sockopt::linger, 1000);
    // Blocking with a bound: a daemon that is not there fails the test, not hangs it.
    sock.set(zmq::sockopt::sndtimeo, 2000);
    sock.connect(endpoint);
}

void channel_push::send(const std::string &msg)
{
    EXPECT_TRUE(sock.send(zmq::buffer(msg), zmq::send_flags::none).has_value()) << "push timed out";
}

bool channel_recv(zmq::socket_t &s, std::string &msg, int timeout_ms)
{
    zmq::pollitem_t item = {s.handle(), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, std::chrono::milliseconds(timeout_ms)) <= 0) return false;
    zmq::message_t m;
    if (!s.recv(m, zmq::recv_flags::dontwait)) return false;
    msg.assign(static_cast<const char *>(m.data()), m.size());
    return true;
}

bool sub_make_live(zmq::socket_t &sub, const std::string &probe_push)
{
    channel_push probe(probe_push);
    std::string msg;
    bool live = false;
    // A subscription reaches the publisher a few milliseconds after the connect.
    for (long long end = now_ms() + 5000; !live && now_ms() < end;) {
        probe.send(PROBE);
        while (channel_recv(sub, msg, 10)) live |= msg == PROBE;
    }
    return live;
}

channel_sub::channel_sub(const std::string &sub_endpoint, const std::string &probe_push)
    : ctx(), sock(ctx, zmq::socket_type::sub)
{
    sock.set(zmq::sockopt::linger, 0);
    sock.set(zmq::sockopt::subscribe, "");
    sock.connect(sub_endpoint);
    EXPECT_TRUE(sub_make_live(sock, probe_push))
        << "subscription to " << sub_endpoint << " never became live";
}

bool channel_sub::recv(std::string &msg, int timeout_ms)
{
    for (long long end = now_ms() + timeout_ms;;) {
        long long left = end - now_ms();
        if (left <= 0 || !channel_recv(sock, msg, static_cast<int>(left))) return false;
        if (msg != PROBE) return true;
    }
}

// --- TCP on loopback ----------------------------------------------------------

static sockaddr_in lo_addr(int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int lo_listen(int *port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = lo_addr(*port);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) < 0 || listen(fd, backlog) < 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int lo_accept(int lfd, int timeout_ms)
{
    pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    return accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
}

int lo_connect(int port, int rcvbuf, const char *ip)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    timeval bound = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in a = lo_addr(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

bool lo_send(int fd, const std::string &text)
{
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

bool lo_wait_eof(int fd, int timeout_ms)
{
    char buf[4096];
    for (long long end = now_ms() + timeout_ms, left; (left = end - now_ms()) > 0;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0 && read(fd, buf, sizeof buf) <= 0) return true;
    }
    return false;
}

void lo_reset(int fd)
{
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

std::string lo_local_name(int fd)
{
    sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

int lo_free_port()
{
    int port = 0;
    close(lo_listen(&port));
    return port;
}

std::string console_ask(const std::string &commands, const std::string &want)
{
    int fd = lo_connect(5550);
    std::string got;
    lo_send(fd, commands);
    read_until(fd, got, want);
    close(fd);
    return got;
}

// --- ptys ------------------------------------------------------------------

static int open_bus(std::string *slave)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0)
        return -1;
    *slave = name;
    // Cooked at 4800 baud with two stop bits: no default that a restore could
    // fall back on looks like it.
    struct termios t;
    tcgetattr(m, &t);
    t.c_cflag |= CSTOPB;
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    tcsetattr(m, TCSANOW, &t);
    return m;
}

pty_port::pty_port()
{
    std::string slave;
    master = open_bus(&slave);
    found = settings();
    link = temp_dir() + "/ttyBUS";
    if (master < 0 || symlink(slave.c_str(), link.c_str()) != 0) link.clear();
}

bool pty_port::replace()
{
    close(master);
    std::string slave;
    master = open_bus(&slave);
    std::string next = link + ".new";
    return master >= 0 && symlink(slave.c_str(), next.c_str()) == 0 &&
           rename(next.c_str(), link.c_str()) == 0;
}

bool pty_port::as_found() const
{
    struct termios t = settings();
    return t.c_iflag == found.c_iflag && t.c_oflag == found.c_oflag && t.c_cflag == found.c_cflag &&
           t.c_lflag == found.c_lflag && memcmp(t.c_cc, found.c_cc, sizeof t.c_cc) == 0;
}

int open_raw(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// --- the board's build under qemu-user --------------------------------------

bool kit_emulated()
{
#ifdef VX_TARGET_EMULATED
    return true;
#else
    const char *wrapper = getenv("VEXLOND_TEST_BINARY");
    return wrapper != nullptr && wrapper[0] != '\0';
#endif
}
