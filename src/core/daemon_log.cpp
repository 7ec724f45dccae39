// Output to syslog for the detached daemon.
//
// DESIGN: rather than teach every printf, perror and write(2) of the daemon (and
// the shell it runs for the bus-mode line) another way out, descriptors 1 and 2
// become the write ends of two pipes, and one thread reads both and hands each
// complete line to syslog(3). The thread sleeps in poll until output comes.
#include "core/daemon_log.h"

#include "net/tcp_listen.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <syslog.h>
#include <unistd.h>

// A line longer than this (bytes) is passed on in pieces of this size: syslog
// daemons cut long lines anyway, and the buffer stays bounded.
static const size_t LOG_LINE_MAX = 1024;

// How long (ms) exit waits for the last lines to reach syslog.
static const int LOG_END_WAIT_MS = 1000;

namespace {

struct log_stream {
    int fd;           // read end of the pipe behind descriptor 1 or 2; -1 once ended
    int priority;     // LOG_INFO or LOG_ERR
    std::string line; // what has come of the current line
};

log_stream log_streams[2] = {{-1, LOG_INFO, {}}, {-1, LOG_ERR, {}}};
bool log_started = false;
std::mutex log_lock;
std::condition_variable log_done_cv;
bool log_done = false; // guarded by log_lock

void log_line(log_stream &s)
{
    if (!s.line.empty() && s.line.back() == '\r') s.line.pop_back();
    syslog(s.priority, "%s", s.line.c_str());
    s.line.clear();
}

// Reads what the pipe holds and passes on each complete line. False at its end.
bool log_read(log_stream &s)
{
    char buf[4096];
    ssize_t n = read(s.fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        if (!s.line.empty()) log_line(s);
        return false;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (buf[i] == '\n') {
            log_line(s);
            continue;
        }
        s.line += buf[i];
        if (s.line.size() >= LOG_LINE_MAX) log_line(s);
    }
    return true;
}

void *log_thread(void *)
{
    while (log_streams[0].fd >= 0 || log_streams[1].fd >= 0) {
        struct pollfd p[2] = {{log_streams[0].fd, POLLIN, 0}, {log_streams[1].fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;
        for (int i = 0; i < 2; i++) {
            if (!p[i].revents || log_read(log_streams[i])) continue;
            close(log_streams[i].fd);
            log_streams[i].fd = -1;
        }
    }
    std::lock_guard<std::mutex> lock(log_lock);
    log_done = true;
    log_done_cv.notify_all();
    return nullptr;
}

} // namespace

int daemon_log_start()
{
    openlog("vexlond", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    int pipes[2][2];
    if (pipe2(pipes[0], O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    if (pipe2(pipes[1], O_CLOEXEC) < 0) {
        perror("pipe");
        close(pipes[0][0]);
        close(pipes[0][1]);
        return -1;
    }
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < 2; i++) {
        // dup2 leaves the new descriptor without close-on-exec: programs the
        // daemon runs (the bus-mode shell line) write into the same pipes.
        dup2(pipes[i][1], i + 1);
        close(pipes[i][1]);
        log_streams[i].fd = pipes[i][0];
    }
    if (threadify(log_thread, nullptr, 1, nullptr) < 0) return -1;
    log_started = true;
    return 0;
}

void daemon_log_end()
{
    if (!log_started) return;
    fflush(stdout);
    fflush(stderr);
    // The pipes end once no descriptor writes into them.
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
    std::unique_lock<std::mutex> lock(log_lock);
    log_done_cv.wait_for(lock, std::chrono::milliseconds(LOG_END_WAIT_MS), [] { return log_done; });
    closelog();
}
