// Test support: runs the built daemon in a temporary directory, reads its output,
// talks to its channels, and waits on descriptors and conditions. Every wait has a
// time limit.
#pragma once

// What nearly every test file needs besides this header.
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zmq.hpp>

// The daemon's console and channel ports are fixed, so only one daemon may run
// at a time on this machine: every test that starts one holds this lock (also
// across separate test programs and build trees) until it exits.
void e2e_lock();

struct daemon_proc {
    pid_t pid = -1;
    std::string dir;      // temporary working directory (with tmp/ inside)
    std::string out_path; // the daemon's stdout
    std::string err_path; // the daemon's stderr
    int stdin_fd = -1;    // write end of the daemon's stdin, when piped
    ~daemon_proc();       // kills a daemon still running, removes nothing
};

struct daemon_start_opts {
    bool pipe_stdin = false;  // else stdin is /dev/null
    bool make_tmp_dir = true; // the relative PULL IPC endpoints need ./tmp
    std::string dir;          // run here instead of a new temporary directory
    bool wait_ready = true;   // wait for the console line that ends start-up
    // Runs the daemon under this command (valgrind and its options).
    std::vector<std::string> wrapper;
    // Runs this program (vexlon-cat) instead of the daemon, and does not wait_ready.
    std::string program;
};

// Starts build/vexlond (or the program named by VEXLOND_TEST_BINARY, see
// emulation.h) with `args`. Fails the calling test (ADD_FAILURE) when it
// cannot be started or does not get ready within 5 s.
void daemon_start(daemon_proc &d, const std::vector<std::string> &args,
                  const daemon_start_opts &opts = daemon_start_opts());

std::string daemon_stdout(const daemon_proc &d);
std::string daemon_stderr(const daemon_proc &d);

// Waits until the daemon's stdout (or stderr) holds `text`.
bool wait_stdout(const daemon_proc &d, const std::string &text, int timeout_ms = 3000);
bool wait_stderr(const daemon_proc &d, const std::string &text, int timeout_ms = 3000);

// Waits for the process to exit; returns its wait status, or -1 on time-out.
int daemon_wait(daemon_proc &d, int timeout_ms, long *elapsed_ms = nullptr);

// Sends `sig` and waits up to `timeout_ms`; returns the wait status or -1.
int daemon_stop(daemon_proc &d, int sig = 2, int timeout_ms = 4000, long *elapsed_ms = nullptr);

// Runs the daemon to completion (for option errors and help): exit status, or -1.
int daemon_run_to_exit(const std::vector<std::string> &args, std::string *out, std::string *err,
                       int timeout_ms = 5000);

std::string temp_dir();
std::string read_file(const std::string &path);
long now_ms();
// Polls `cond` every 10 ms; false when it does not hold within `timeout_ms`.
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 3000);
size_t count_of(const std::string &text, const std::string &what);
// Appends what `fd` yields to `out` until `out` holds `want`, `fd` ends or fails,
// or `timeout_ms` passes; with an empty `want`, reads for all of `timeout_ms`.
// True when `out` holds a non-empty `want`.
bool read_until(int fd, std::string &out, const std::string &want, int timeout_ms = 3000);
// What read_until collected.
std::string read_text(int fd, const std::string &want, int timeout_ms = 3000);
// Open descriptors of a process.
int fd_count(pid_t pid);

// A SUB socket subscribed to everything, made live: probe messages are pushed to
// `probe_push` until one arrives, so no message sent after this returns is lost
// to the subscription still being set up. Probes are drained before returning.
struct channel_sub {
    zmq::context_t ctx;
    zmq::socket_t sock;
    channel_sub(const std::string &sub_endpoint, const std::string &probe_push);
    // Next message that is not a probe, or false after `timeout_ms`.
    bool recv(std::string &msg, int timeout_ms = 2000);
    // The same message, or "(nothing)" after `timeout_ms`.
    std::string next(int timeout_ms = 2000);
    // True when no message (other than probes) arrives within `timeout_ms`.
    bool silent(int timeout_ms = 300);
};

struct channel_push {
    zmq::context_t ctx;
    zmq::socket_t sock;
    explicit channel_push(const std::string &endpoint);
    void send(const std::string &msg);
};

// Endpoints of the daemon's channels with the default ports.
extern const char CMD_PUSH[]; // tcp://127.0.0.1:5554
extern const char CMD_SUB[];  // tcp://127.0.0.1:5552
extern const char RES_PUSH[]; // tcp://127.0.0.1:5553
extern const char RES_SUB[];  // tcp://127.0.0.1:5551

bool is_probe(const std::string &msg);
// `s` without the probe lines that reach every output carrying a channel.
std::string without_probes(std::string s);
