// Child processes on a pseudo-terminal, and stopping children.
//
// DESIGN: the command line is split and the slave opened in the parent, before
// fork: the child then only moves descriptors, resets its signals and execs, so it
// allocates nothing (safe even when other threads run), raw mode is in effect
// before pty_spawn returns, and the slave is open from before the fork until the
// program ends. A reader of the master therefore sees
// the end of the output when the program (or a child that failed) exits, never a
// master whose slave was not yet opened.
#include "proc/pty_child.h"

#include "base/clock.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// A command line split at every single blank: two blanks in a row give an empty
// word, a blank at the end an empty last word.
struct command_words {
    std::string text;         // the command line, each blank overwritten with NUL
    std::vector<char *> argv; // pointers into text, then a null
};

void command_split(command_words *w, const char *command)
{
    w->text = command ? command : "";
    w->argv.clear();
    w->argv.reserve(RUN_MAX_WORDS);
    w->argv.push_back(&w->text[0]);
    for (size_t i = 0; i < w->text.size(); i++) {
        if (w->text[i] != ' ') continue;
        w->text[i] = '\0';
        w->argv.push_back(&w->text[i + 1]); // at the end: the string's own NUL, an empty word
    }
    w->argv.push_back(nullptr);
}

// A blocked mask and ignored signals survive exec: the daemon blocks SIGINT and
// SIGTERM in its main thread while it reads the configuration, and a program
// started then must still stop on them.
void reset_signals()
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s = 1; s < NSIG; s++) sigaction(s, &dfl, nullptr); // SIGKILL etc. refuse: harmless
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void exec_words(command_words &w)
{
    reset_signals();
    execv(w.argv[0], w.argv.data());
    perror("execv");
    _exit(1); // not exit(): the parent's unflushed stdio buffers must not come out twice
}

[[noreturn]] void child_on_slave(int slave, const char *mode, command_words &w)
{
    // dup2 onto itself would keep close-on-exec, and the close below would take a
    // standard stream with it: work from a descriptor above them.
    if (slave <= STDERR_FILENO) slave = fcntl(slave, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    static const char letters[] = "rwe"; // stdin, stdout, stderr
    for (int fd = 0; fd <= STDERR_FILENO; fd++) {
        if (strchr(mode, letters[fd])) {
            dup2(slave, fd);
            continue;
        }
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    close(slave);
    exec_words(w);
}

std::string slave_name(int master)
{
    char name[128]; // "/dev/pts/<n>"; ptsname_r reports ERANGE rather than cut it
    if (ptsname_r(master, name, sizeof name) != 0) return std::string();
    return name;
}

} // namespace

pty_child *pty_spawn(pty_child *result, const char *command, const char *mode)
{
    if (mode == nullptr) mode = "";
    result->pid = -1;
    result->master = posix_openpt(O_RDWR | O_NOCTTY);
    int master = result->master;
    if (master < 0) {
        fprintf(stderr, "Could not open master pseudo-terminal: %s.\n", strerror(errno));
        return result;
    }
    if (grantpt(master) < 0)
        fprintf(stderr, "Unable to grant access to slave pseudoterminal: %s.\n", strerror(errno));
    if (unlockpt(master) < 0)
        fprintf(stderr, "Unable to unlock pseudoterminal: %s.\n", strerror(errno));
    // The program must not hold the master, or the reader never sees its output end.
    fcntl(master, F_SETFD, FD_CLOEXEC);

    std::string name = slave_name(master);
    int slave = name.empty() ? -1 : open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        fprintf(stderr, "Could not open slave pseudo-terminal: %s.\n", strerror(errno));
        return result;
    }
    // Raw before the fork: bytes the caller writes as soon as this returns must
    // not meet the default line settings (echo, CR to NL) in the meantime.
    if (strchr(mode, 'a')) {
        struct termios t;
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
    }
    command_words w;
    command_split(&w, command);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "Could not start \"%s\": %s.\n", command, strerror(errno));
        close(slave);
        return result;
    }
    if (pid == 0) child_on_slave(slave, mode, w);
    close(slave);
    result->pid = pid;
    return result;
}

pty_child *pty_spawn_rwe(pty_child *result, const char *command)
{
    return pty_spawn(result, command, "rwe");
}

int pty_run(const char *command, pid_t *child)
{
    pty_child c;
    pty_spawn_rwe(&c, command);
    if (c.master >= 0 && c.pid < 0) {
        // A master with no program behind it would read as an empty configuration
        // (or never end): the caller is told that nothing could be run.
        close(c.master);
        return -1;
    }
    if (child) *child = c.pid;
    return c.master;
}

void run_command(const char *command)
{
    command_words w;
    command_split(&w, command);
    exec_words(w);
}

pid_t fork_command(const char *command)
{
    command_words w;
    command_split(&w, command);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "Could not fork: %s\n", strerror(errno));
        return -1;
    }
    if (pid == 0) exec_words(w);
    return pid;
}

int kill_wait(pid_t pid, int sig)
{
    if (kill(pid, sig) < 0) {
        perror("kill");
        return -1;
    }
    long long give_up = monotonic_ms() + KILL_WAIT_LIMIT * 1000LL;
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r < 0) {
            perror("waitpid");
            return -1;
        }
        if (r == pid && (WIFEXITED(status) || WIFSIGNALED(status))) {
            printf("Pid %d terminated with sig %d\n", static_cast<int>(pid), sig);
            return 1;
        }
        if (monotonic_ms() >= give_up) break;
        // A millisecond between polls: the answer comes as promptly, and a child
        // that ignores the signal does not cost a whole CPU for the full limit.
        struct timespec ms = {0, 1000000L};
        nanosleep(&ms, nullptr);
    }
    printf("Warning: Unable to kill %d with sig %d\n", static_cast<int>(pid), sig);
    return 0;
}

int terminate_process(pid_t pid)
{
    if (kill_wait(pid, SIGTERM) != 0) return 1;
    if (kill_wait(pid, SIGINT) != 0) return 1;
    fprintf(stderr, "Warning: Couldn't terminate %d without SIGKILL\n", static_cast<int>(pid));
    if (kill_wait(pid, SIGKILL) != 0) return 1;
    fprintf(stderr, "Unable to terminate %d\n", static_cast<int>(pid));
    return 0;
}

int reap_child(pid_t pid, int limit_ms)
{
    for (int waited = 0;; waited++) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid) return 1;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            // After daemon() the children of the first process are not ours.
            if (errno != ECHILD) perror("waitpid");
            return -1;
        }
        if (waited >= limit_ms) return 0;
        struct timespec ms = {0, 1000000L};
        nanosleep(&ms, nullptr);
    }
}

int write_all(int fd, const char *text, int drain)
{
    size_t len = strlen(text);
    size_t off = 0;
    while (off < len) {
        ssize_t w = write(fd, text + off, len - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        off += static_cast<size_t>(w);
        if (drain) tcdrain(fd);
    }
    return 0;
}

int fd_printf(int fd, const char *format, ...)
{
    char buf[FD_PRINTF_SIZE];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return write_all(fd, buf, 0);
}
