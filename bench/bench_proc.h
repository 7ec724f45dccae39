// Benchmark support: runs a program under test (the daemon or the baseline) with
// its output on pipes, times its start-up and shutdown, and reads its cost from /proc.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// Monotonic clock in nanoseconds.
long long bench_now_ns();

// A running program under test. Its stdout and stderr are collected by a reader
// thread, so the program never blocks on a full pipe and a ready line is seen the
// moment it is written.
struct bench_proc {
    pid_t pid = -1;
    std::string dir;        // working directory, with tmp/ for the relative IPC paths
    long long start_ns = 0; // just before fork
    long long ready_ns = 0; // when the ready text was read; 0 until then
    std::string ready_text; // line that ends start-up
    std::mutex mu;          // guards out and err
    std::string out, err;   // everything read so far
    std::thread reader;     // drains both pipes until both are closed
    int out_fd = -1, err_fd = -1;
    ~bench_proc(); // kills a program still running, joins the reader
};

// Starts argv[0] with argv in `dir` (created when empty, with tmp/ inside), stdin
// from `stdin_fd` (or /dev/null when negative), and waits up to `timeout_ms` for
// `ready_text` on stdout. Returns 0 when ready, -1 (after a message) otherwise.
int proc_start(bench_proc *p, const std::vector<std::string> &argv, const std::string &ready_text,
               int stdin_fd = -1, int timeout_ms = 5000);

// Start-up time: fork to ready line, in milliseconds.
double proc_startup_ms(const bench_proc *p);

// Copies of what the program has written so far.
std::string proc_stdout(bench_proc *p);
std::string proc_stderr(bench_proc *p);

// Waits up to `timeout_ms` for `text` on stdout. True when it is there.
bool proc_wait_stdout(bench_proc *p, const std::string &text, int timeout_ms);

// True while the program has not exited.
bool proc_alive(bench_proc *p);

// Sends `sig` and waits up to `timeout_ms` for the exit. Returns the time from the
// signal to the exit in milliseconds, or -1 when it did not exit (it is killed).
// `status` receives the wait status when given.
double proc_stop(bench_proc *p, int sig, int timeout_ms, int *status = nullptr);

struct proc_sched {
    long long cpu_ns = -1; // CPU time of all live threads, in nanoseconds
    long long slices = -1; // times any of them was scheduled in: its wake-ups
};

// Scheduler statistics summed over the threads of `pid` (far finer than clock
// ticks). Threads that have ended are not counted. Returns 0 on success.
int proc_sched_read(pid_t pid, proc_sched *s);

struct proc_mem {
    long rss_kib = -1; // VmRSS
    long hwm_kib = -1; // VmHWM, the resident peak so far
    int threads = -1;  // Threads
};

// Parses the text of /proc/<pid>/status. Returns 0 when all three fields were found.
int proc_status_parse(const std::string &status, proc_mem *m);

// Reads /proc/<pid>/status. Returns 0 on success.
int proc_status(pid_t pid, proc_mem *m);

// Makes a fresh directory under /tmp with a tmp/ subdirectory. Returns its path.
std::string bench_temp_dir();

// Removes a directory made by bench_temp_dir and everything in it.
void bench_remove_dir(const std::string &dir);
