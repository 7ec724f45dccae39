// The test kit, shared by the tests and the benchmarks: runs the built daemon in
// a private network and /tmp of its own, reads its output as it comes, talks to
// its channels, its TCP ports and its ptys, and reads what /proc says of it.
// Every wait has a time limit and ends as soon as what it waits for happens.
#pragma once

// What nearly every test file needs besides the kit.
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <thread>
#include <vector>
#include <zmq.hpp>

// --- isolation ------------------------------------------------------------
// Moves this process into a network namespace and a mount namespace with a
// private /tmp of its own (as root, where unshare works), so that the daemon's
// fixed ports and IPC paths meet no other daemon and nothing is left in /tmp;
// the build and source trees stay visible. Elsewhere it changes nothing and
// daemon_start serialises end-to-end tests through a lock file instead. Called
// first thing by the kit's main(). Returns true when isolated.
bool kit_isolate();

// Mounts a private /dev in this process's mount namespace holding everything the
// real one does, plus `socket_path` bound as /dev/log. Needs kit_isolate().
bool kit_private_dev_log(const std::string &socket_path);

// --- the daemon as a process ------------------------------------------------
struct daemon_proc {
    pid_t pid = -1;
    std::string dir;              // working directory (a fresh temporary one with tmp/ inside)
    int stdin_fd = -1;            // write end of the daemon's stdin, when piped
    long long start_ms = 0;       // just before it was started
    long long ready_ms = 0;       // when the ready line came; 0 until then
    std::string ready_line;       // what ready_ms waits for (READY_LINE unless told)
    std::mutex mu;                // guards out, err and ready_ms
    std::condition_variable grew; // signalled whenever out or err grows
    std::string out, err;         // everything the daemon has written so far
    std::thread reader;           // drains the daemon's stdout and stderr
    ~daemon_proc(); // kills a daemon still running; fails the test on a sanitizer report
};

struct daemon_start_opts {
    bool pipe_stdin = false;          // else stdin is /dev/null
    bool make_tmp_dir = true;         // the relative PULL IPC endpoints need ./tmp
    std::string dir;                  // run here instead of in a new temporary directory
    bool wait_ready = true;           // wait for the ready line
    int ready_ms = 5000;              // how long
    std::vector<std::string> wrapper; // runs the daemon under this command (valgrind)
    std::string binary;               // another program than the daemon (the baseline)
    std::string ready_line;           // the other program's ready line; empty: READY_LINE
};

extern const char READY_LINE[]; // "Accepting commands on port 5550\n"

// Starts the daemon (or the program named by VEXLOND_TEST_BINARY: the board's,
// under qemu-user) with `args`. Fails the calling test when it cannot be started
// or does not get ready in time.
void daemon_start(daemon_proc &d, const std::vector<std::string> &args,
                  const daemon_start_opts &opts = daemon_start_opts());
std::string daemon_stdout(daemon_proc &d);
std::string daemon_stderr(daemon_proc &d);
// Waits until the daemon's stdout (or stderr) holds `text`.
bool wait_stdout(daemon_proc &d, const std::string &text, int timeout_ms = 3000);
bool wait_stderr(daemon_proc &d, const std::string &text, int timeout_ms = 3000);
// Waits for the exit, woken the moment it happens; returns the wait status, or
// -1 after `timeout_ms`.
int daemon_wait(daemon_proc &d, int timeout_ms, long *elapsed_ms = nullptr);
// Sends `sig` and waits for the exit: the wait status, or -1.
int daemon_stop(daemon_proc &d, int sig = 2, int timeout_ms = 4000, long *elapsed_ms = nullptr);
// Runs the daemon to its end (option errors, help): its exit status, or -1.
int daemon_run_to_exit(const std::vector<std::string> &args, std::string *out, std::string *err,
                       int timeout_ms = 5000);
// True when the daemon ended by exiting with status 0.
bool exited_cleanly(int status);

// --- waits, files and /proc ------------------------------------------------
long long now_ms();
// Checks `cond` until it holds; false when it does not within `timeout_ms`.
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 3000);
// A new directory under /tmp, removed with everything in it when the test
// program ends.
std::string temp_dir();
std::string read_file(const std::string &path);
size_t count_of(const std::string &text, const std::string &what);
// Appends what `fd` yields to `out` until `out` holds `want`, `fd` ends or fails,
// or `timeout_ms` passes; an empty `want` reads for all of `timeout_ms`. True
// when `out` holds a non-empty `want`.
bool read_until(int fd, std::string &out, const std::string &want, int timeout_ms = 3000);
std::string read_text(int fd, const std::string &want, int timeout_ms = 3000);
int fd_count(pid_t pid);
// A field of /proc/<pid>/status as a number (kB for the Vm* fields); -1 if absent.
long proc_status(pid_t pid, const std::string &key);

// --- the channels -------------------------------------------------------------
extern const char CMD_PUSH[]; // tcp://127.0.0.1:5554
extern const char CMD_SUB[];  // tcp://127.0.0.1:5552
extern const char RES_PUSH[]; // tcp://127.0.0.1:5553
extern const char RES_SUB[];  // tcp://127.0.0.1:5551

// A subscriber made live: probe messages are pushed to `probe_push` until one
// arrives, so nothing pushed after it is made is lost to a subscription still
// being set up. Probes are never handed out.
struct channel_sub {
    zmq::context_t ctx;
    zmq::socket_t sock;
    channel_sub(const std::string &sub_endpoint, const std::string &probe_push);
    bool recv(std::string &msg, int timeout_ms = 2000); // the next message, or false
    std::string next(int timeout_ms = 2000);            // ... or "(nothing)"
    bool silent(int timeout_ms = 300);                  // nothing comes within the time
};

struct channel_push {
    zmq::context_t ctx;
    zmq::socket_t sock;
    explicit channel_push(const std::string &endpoint);
    void send(const std::string &msg); // fails the test when not taken within 2 s
};

// Makes `sub` (subscribed, connected) live the same way. False after `timeout_ms`.
bool sub_make_live(zmq::socket_t &sub, const std::string &probe_push, int timeout_ms = 5000);
// The next message on `s` within `timeout_ms`, probes included. False when none.
bool channel_recv(zmq::socket_t &s, std::string &msg, int timeout_ms);

bool is_probe(const std::string &msg);
// The number `key`=... on the line of `name` in the console's `stats` reply; -1
// when there is no such line or key.
long long stats_value(const std::string &reply, const std::string &name, const std::string &key);
// The whole `stats` reply of the console.
std::string console_stats();
std::string without_probes(std::string s);

// --- TCP on loopback ----------------------------------------------------------
// Listens on 127.0.0.1 at *port, or at a port the system picks (written to
// *port) when it is 0.
int lo_listen(int *port, int backlog = 10);
int lo_accept(int lfd, int timeout_ms = 3000); // -1 after the time-out
// Connects to ip:port (127.0.0.1 by default); -1 when refused or not accepted within 5 s, which
// also bounds every blocking send on it. A small receive buffer (`rcvbuf`) keeps
// the window small, so a peer that does not read soon blocks its sender.
int lo_connect(int port, int rcvbuf = 0, const char *ip = "127.0.0.1");
bool lo_send(int fd, const std::string &text);   // all of it, MSG_NOSIGNAL
bool lo_wait_eof(int fd, int timeout_ms = 3000); // the peer closes in time
void lo_reset(int fd);                           // close with a reset: the peer vanishes
std::string lo_local_name(int fd);               // "127.0.0.1:<port>" of this end
int lo_free_port();                              // free a moment ago
// Sends `commands` on a new console connection; the reply up to `want`.
std::string console_ask(const std::string &commands, const std::string &want);

// --- ptys ------------------------------------------------------------------
// A pseudo-terminal standing in for a serial port: the test holds the master
// ("the bus"); the port is reached through a link whose name holds "tty".
struct pty_port {
    int master = -1;      // the bus side
    std::string link;     // <temporary directory>/ttyBUS, pointing at the slave
    struct termios found; // the settings the daemon finds (4800 baud, two stop bits)
    pty_port();
    ~pty_port();
    pty_port(const pty_port &) = delete;
    pty_port &operator=(const pty_port &) = delete;
    // Closes the bus and puts a new one behind the same link: the device went
    // away and came back.
    bool replace();
    struct termios settings() const; // the slave's, read through the master
    bool as_found() const;
};

// Opens a pty slave (or a link to one) in raw mode, as a controller program does.
int open_raw(const std::string &path);

// --- the board's build under qemu-user --------------------------------------
// True in unit tests cross-built for the board (CTest runs them under the
// emulator) and in end-to-end tests whose daemon is the board's.
bool kit_emulated();

// The board's daemon is built with musl, which words some texts otherwise than
// glibc (strerror's, getopt's complaints): a test names both.
std::string kit_libc_text(const char *glibc, const char *musl);

// Skips the rest of a test of a call that qemu-user cannot translate, e.g.
// VX_SKIP_ON_EMULATOR("TIOCSRS485: no translation in qemu-user 7.2");
#define VX_SKIP_ON_EMULATOR(reason)                                                                \
    do {                                                                                           \
        if (kit_emulated()) GTEST_SKIP() << (reason);                                              \
    } while (0)
