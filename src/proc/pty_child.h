// Child processes: running a command line with its standard streams on a new
// pseudo-terminal, plain fork-and-run, and stopping children with escalating signals.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Argument vector entries (the terminating null included) reserved up front; a
// command line with more words grows the vector instead of being cut or refused.
constexpr size_t RUN_MAX_WORDS = 50;
constexpr int KILL_WAIT_LIMIT = 2;       // seconds kill_wait waits after one signal
constexpr size_t FD_PRINTF_SIZE = 10000; // fd_printf's format buffer, NUL included

struct pty_child {
    int master; // master side of the pseudo-terminal; negative when none was opened
    int pid;    // the child's process id; -1 when no child was started
};

// Runs `command` with mode "rwe"; returns the master (the caller closes it), or -1
// when no master could be opened or no child started. `child`, when given,
// receives the child's pid so that the caller can reap it.
int pty_run(const char *command, pid_t *child = nullptr);

// SIGTERM, then SIGINT, then SIGKILL, each through kill_wait. Returns 1 once the
// child has ended (or a step failed), 0 when even SIGKILL did not end it.
int terminate_process(pid_t pid);

// Waits up to `limit_ms` for a child whose output has ended to exit, and reaps it.
// Returns 1 when reaped, 0 when still running, -1 when it is not our child.
int reap_child(pid_t pid, int limit_ms);

// --- Kept on purpose: the rest of the child-process interface; pty_run and
// terminate_process are built from the first three, and the daemon calls none of
// them directly.

// Runs `command` (blank-separated words, the first one the program's path, no
// search) as a child on a new pseudo-terminal. `mode` letters: 'a' raw slave,
// 'r'/'w'/'e' the slave as stdin/stdout/stderr (/dev/null for a missing letter).
// Fills and returns `result`; the caller owns the master and the child.
pty_child *pty_spawn(pty_child *result, const char *command, const char *mode);

// pty_spawn with mode "rwe".
pty_child *pty_spawn_rwe(pty_child *result, const char *command);

// Sends `sig` and waits up to KILL_WAIT_LIMIT for the child to end. Returns 1 when
// it ended (reaped), 0 when it did not, -1 when kill or waitpid failed.
int kill_wait(pid_t pid, int sig);

// Replaces the calling process with `command`; never returns (status 1 on failure).
[[noreturn]] void run_command(const char *command);

// Forks and runs `command` in the child; returns its pid, or -1 (reported).
pid_t fork_command(const char *command);

// Writes all of `text`, with tcdrain after each write when `drain` is set.
// Returns 0, or -1 when a write failed.
int write_all(int fd, const char *text, int drain);

// printf into FD_PRINTF_SIZE bytes (longer output is cut), then write_all.
int fd_printf(int fd, const char *format, ...) __attribute__((format(printf, 2, 3)));
