// The test kit, shared by the tests and the benchmarks: the built daemon in a
// network and /tmp of its own, its output read as it comes, clients of its
// channels, TCP ports and ptys. Every wait has a limit and ends at the event.
#pragma once

#include <condition_variable>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <zmq.hpp>

// As root: network and mount namespaces of this process's own with a private
// /tmp, where the daemon's fixed ports and IPC paths meet no other daemon (the
// build and source trees stay visible). Elsewhere daemon_start takes turns.
bool kit_isolate();
// A private /dev holding /dev/null and `socket_path` as /dev/log (isolated only).
bool kit_private_dev_log(const std::string &socket_path);

struct daemon_proc {
    pid_t pid = -1;
    std::string dir;                      // working directory, with tmp/ inside
    int stdin_fd = -1;                    // write end of its stdin, when piped
    long long start_ms = 0, ready_ms = 0; // started; ready line read (0 until then)
    std::string ready_line;               // READY_LINE unless told
    std::mutex mu;                        // guards out, err and ready_ms
    std::condition_variable grew;         // signalled whenever out or err grows
    std::string out, err;                 // everything written so far
    std::thread reader;                   // drains stdout and stderr
    ~daemon_proc();                       // kills it if still running; fails on a sanitizer report
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

// Starts the daemon (or VEXLOND_TEST_BINARY: the board's, under qemu-user).
void daemon_start(daemon_proc &d, const std::vector<std::string> &args,
                  const daemon_start_opts &opts = daemon_start_opts());
std::string daemon_stdout(daemon_proc &d);
std::string daemon_stderr(daemon_proc &d);
bool wait_stdout(daemon_proc &d, const std::string &text, int timeout_ms = 3000);
bool wait_stderr(daemon_proc &d, const std::string &text, int timeout_ms = 3000);
// The wait status, or -1 after `timeout_ms`; daemon_stop sends `sig` first.
int daemon_wait(daemon_proc &d, int timeout_ms, long *elapsed_ms = nullptr);
int daemon_stop(daemon_proc &d, int sig = 2, int timeout_ms = 4000, long *elapsed_ms = nullptr);
// Its exit status, or -1.
int daemon_run_to_exit(const std::vector<std::string> &args, std::string *out, std::string *err,
                       int timeout_ms = 5000);
bool exited_cleanly(int status); // exited with status 0

long long now_ms();
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 3000);
std::string temp_dir(); // a new directory under /tmp, gone when the program ends
std::string read_file(const std::string &path);
size_t count_of(const std::string &text, const std::string &what);
// Appends what `fd` yields to `out` until it holds `want` (true), or `fd`
// ends, or the time passes (all of it for an empty `want`).
bool read_until(int fd, std::string &out, const std::string &want, int timeout_ms = 3000);
std::string read_text(int fd, const std::string &want, int timeout_ms = 3000);
int fd_count(pid_t pid);
// A field of /proc/<pid>/status (kB for Vm*); -1 if absent.
long proc_status(pid_t pid, const std::string &key);

extern const char CMD_PUSH[]; // tcp://127.0.0.1:5554
extern const char CMD_SUB[];  // tcp://127.0.0.1:5552
extern const char RES_PUSH[]; // tcp://127.0.0.1:5553
extern const char RES_SUB[];  // tcp://127.0.0.1:5551

// A subscriber made live: probes are pushed to `probe_push` until one arrives,
// so nothing pushed later meets a subscription still being set up. recv skips probes.
struct channel_sub {
    zmq::context_t ctx;
    zmq::socket_t sock;
    channel_sub(const std::string &sub_endpoint, const std::string &probe_push);
    bool recv(std::string &msg, int timeout_ms = 2000);
    std::string next(int timeout_ms = 2000) { return recv(last, timeout_ms) ? last : "(nothing)"; }
    bool silent(int timeout_ms = 300) { return !recv(last, timeout_ms); }
    std::string last; // what next() or silent() took
};

struct channel_push {
    zmq::context_t ctx;
    zmq::socket_t sock;
    explicit channel_push(const std::string &endpoint);
    void send(const std::string &msg); // fails the test when not taken within 2 s
};

bool sub_make_live(zmq::socket_t &sub, const std::string &probe_push);
bool channel_recv(zmq::socket_t &s, std::string &msg, int timeout_ms);

// `key`=<n> on the line of `name` of a `stats` reply; -1 when absent.
long long stats_value(const std::string &reply, const std::string &name, const std::string &key);
std::string console_stats(); // the console's whole `stats` reply
std::string without_probes(std::string s);

// Listens on 127.0.0.1 at *port (0: one the system picks).
int lo_listen(int *port, int backlog = 10);
int lo_accept(int lfd, int timeout_ms = 3000); // -1 after the time-out
// -1 when refused or not accepted within 5 s, which also bounds every send. A
// small `rcvbuf` makes a peer that does not read block its sender soon.
int lo_connect(int port, int rcvbuf = 0, const char *ip = "127.0.0.1");
bool lo_send(int fd, const std::string &text);   // all of it, MSG_NOSIGNAL
bool lo_wait_eof(int fd, int timeout_ms = 3000); // the peer closes in time
void lo_reset(int fd);                           // close with a reset: the peer vanishes
std::string lo_local_name(int fd);               // "127.0.0.1:<port>" of this end
int lo_free_port();                              // free a moment ago
// The reply up to `want` to `commands` sent on a new console connection.
std::string console_ask(const std::string &commands, const std::string &want);

// A pty as a serial port: the test holds the master ("the bus"), the daemon
// opens the slave through a link whose name holds "tty".
struct pty_port {
    int master = -1;      // the bus side
    std::string link;     // <temporary directory>/ttyBUS, pointing at the slave
    struct termios found; // the settings the daemon finds (4800 baud, two stop bits)
    pty_port();
    ~pty_port() { close(master); }
    pty_port(const pty_port &) = delete;
    pty_port &operator=(const pty_port &) = delete;
    bool replace();                 // a new bus behind the same link: the device came back
    struct termios settings() const // the slave's, read through the master
    {
        struct termios t = {};
        tcgetattr(master, &t);
        return t;
    }
    bool as_found() const;
};

// A pty slave opened in raw mode, as a controller program does.
int open_raw(const std::string &path);

// True in the board's unit tests and end-to-end tests of its daemon (qemu-user).
bool kit_emulated();

// Skips the rest of a test of a call that qemu-user cannot translate, e.g.
// VX_SKIP_ON_EMULATOR("TIOCSRS485: no translation in qemu-user 7.2");
#define VX_SKIP_ON_EMULATOR(reason)                                                                \
    do {                                                                                           \
        if (kit_emulated()) GTEST_SKIP() << (reason);                                              \
    } while (0)
