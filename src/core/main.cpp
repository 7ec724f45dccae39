// vexlond: the serial bus on two ZeroMQ channels.
//
// DESIGN: main reads the options in three passes, starts every thread in a fixed
// order, waits for `running` to drop and takes the daemon down in a fixed order:
// links first, then the joinable threads in reverse order of creation (bridges
// before the forwarders they publish through), then the listeners, then the
// descriptors. SIGINT and SIGTERM are blocked in every thread but this one; the
// handler drops `running`, whose descriptor wakes this thread and every loop of
// the daemon at once, so nothing wakes up periodically to look for a stop.
#include "base/settings.h"
#include "base/stop.h"
#include "channels/bridge.h"
#include "channels/forwarder.h"
#include "channels/pty_endpoint.h"
#include "channels/zmq_util.h"
#include "core/daemon_log.h"
#include "core/options.h"
#include "net/console.h"
#include "net/tcp_client.h"
#include "net/tcp_listen.h"
#include "net/tcp_server.h"
#include "serial/serial_arg.h"
#include "serial/serial_endpoint.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

static const int MAX_THREADS = 10;        // two forwarders and at most four bridges
static const int CONN_END_WAIT_MS = 1000; // for connection threads at shutdown

// Joinable threads in order of creation. A thread that could not be created
// takes no slot, so shutdown never joins an invalid handle.
static pthread_t thread_table[MAX_THREADS];
static int thread_count = 0;

static fwd_cfg fwd_command;
static fwd_cfg fwd_response;
static inout_cfg stdio_bridge;
static inout_cfg input_bridge;
static inout_cfg pty_bridge;
static serial_endpoint serial_ep;
static endpoint_stats stdio_stats, input_stats, pty_stats;

static void start_joinable(void *(*fn)(void *), void *arg)
{
    if (thread_count >= MAX_THREADS) return;
    if (threadify(fn, arg, 0, &thread_table[thread_count]) == 0) thread_count++;
}

static void sig_handler(int)
{
    // Only async-signal-safe work here: a direct write, then the flag and its
    // descriptor.
    static const char MSG[] = "Exiting program...\n";
    (void)!write(1, MSG, sizeof MSG - 1);
    stop_flag_raise(&running);
}

// Each TCP server connection and link costs a few descriptors, so the usual soft
// limit of 1024 could turn peers away below the caps while the hard limit allows
// many more.
static void raise_file_limit()
{
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

static void start_stdio_bridge(const start_options &o)
{
    int push = o.stdin_mode == STREAM_COMMAND    ? CHANNEL_COMMAND
               : o.stdin_mode == STREAM_RESPONSE ? CHANNEL_RESPONSE
                                                 : CHANNEL_NONE;
    int sub = o.stdout_mode == STREAM_COMMAND    ? CHANNEL_COMMAND
              : o.stdout_mode == STREAM_RESPONSE ? CHANNEL_RESPONSE
                                                 : CHANNEL_NONE;
    stats_list(&stdio_stats, "stdio", STATS_STATIC);
    inout_fill(&stdio_bridge, o.stdin_mode ? 0 : -1, o.stdout_mode ? 1 : -1, push, sub, &running,
               INOUT_LINES, &stdio_stats);
    start_joinable(inout_thread, &stdio_bridge);
}

static void start_channel(fwd_cfg *cfg, int channel)
{
    fwd_fill(cfg, channel, &running);
    if (fwd_open(cfg) == 0) start_joinable(fwd_thread, cfg);
}

// The pid of the detached daemon, for init scripts; removed at exit.
static void pidfile_write(const char *path)
{
    FILE *f = fopen(path, "we");
    if (f == nullptr) {
        perror(path);
        return;
    }
    fprintf(f, "%d\n", static_cast<int>(getpid()));
    fclose(f);
}

int main(int argc, char **argv)
{
    // Progress lines are read by people and by programs through pipes alike:
    // each line leaves as soon as it is complete.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    raise_file_limit();

    start_options o;
    settings_defaults();
    options_defaults(&o);

    int pass1 = options_pass1(&o, argc, argv);
    if (pass1 != PASS1_GO_ON) return pass1 == PASS1_HELP ? 1 : 0;
    options_pass2(&o, argc, argv);
    if (o.daemonize) {
        (void)!daemon(0, 0);
        daemon_log_start();
    }
    if (stop_flag_open(&running) < 0) return 1;

    // Every thread started from here on (links already in pass 3) inherits a mask
    // that keeps the stop signals for the main thread.
    stop_signals_mask(SIG_BLOCK);
    if (options_pass3(&o, argc, argv) < 0) exit(1);

    if (verbose > 1) {
        printf("Configuration file: %s\n", o.config_path);
        printf("Ports: %d %d %d %d\n", publish_response_port.load(), publish_command_port.load(),
               pull_response_port.load(), pull_command_port.load());
    }

    if (o.realtime) {
        struct sched_param param;
        memset(&param, 0, sizeof param);
        param.sched_priority = sched_get_priority_min(SCHED_RR);
        if (sched_setscheduler(getpid(), SCHED_RR, &param) < 0) perror("sched_setscheduler");
    }

    // The channels are bound before any bridge reads, so that nothing read is
    // pushed into a channel that is not there yet.
    start_channel(&fwd_command, CHANNEL_COMMAND);
    start_channel(&fwd_response, CHANNEL_RESPONSE);

    if (o.stdin_mode != STREAM_NONE || o.stdout_mode != STREAM_NONE) start_stdio_bridge(o);

    int input_fd = -1;
    if (o.input_path[0] != '\0') {
        input_fd = open(o.input_path, O_RDONLY | O_CLOEXEC);
        stats_list(&input_stats, "input", STATS_STATIC);
        inout_fill(&input_bridge, input_fd, -1, CHANNEL_COMMAND, CHANNEL_NONE, &running, 0,
                   &input_stats);
        start_joinable(inout_thread, &input_bridge);
    }

    // A port that cannot be opened leaves the daemon running without it.
    serial_ep.fd = -1;
    if (o.serial_arg[0] != '\0') {
        int fd = serial_parse_open(o.serial_arg);
        if (fd >= 0) {
            serial_endpoint_setup(&serial_ep, o.serial_arg, fd, o.serial_dump);
            stats_list(&serial_ep.stats, "serial", STATS_STATIC);
            start_joinable(serial_endpoint_thread, &serial_ep);
        }
    }

    tcp_listener *tcpserver_listener = nullptr;
    if (o.tcpserver_port >= 0) {
        printf("Listen on port %d...\n", o.tcpserver_port);
        tcpserver_listener =
            tcp_listen(tcp_server_handler, o.tcpserver_port, "server", &max_server_conns);
    }

    int pty_master = -1;
    if (o.pty_requested &&
        pty_endpoint_open(o.pty_link, &pty_master, &pty_bridge, &pty_stats) == 0) {
        stats_list(&pty_stats, "pty", STATS_STATIC);
        start_joinable(inout_thread, &pty_bridge);
    }

    if (signal(SIGTERM, sig_handler) == SIG_ERR || signal(SIGINT, sig_handler) == SIG_ERR) {
        perror("signal");
        return 1;
    }
    stop_signals_mask(SIG_UNBLOCK);

    // Bound before the line appears, so whoever waits for it can connect at once.
    tcp_listener *console_listener =
        tcp_listen(console_handler, CONSOLE_PORT, "console", &max_consoles);
    printf("Accepting commands on port %d\n", CONSOLE_PORT);
    // Written once the daemon serves, so that whoever waits for it (an init
    // script) finds a daemon that is up.
    if (o.pidfile[0] != '\0') pidfile_write(o.pidfile);

    while (running.on) {
        struct pollfd p = {running.fd, POLLIN, 0};
        poll(&p, 1, -1);
    }

    tcp_client_remove_all();
    for (int i = thread_count - 1; i >= 0; i--) pthread_join(thread_table[i], nullptr);
    tcp_listen_stop(tcpserver_listener);
    tcp_listen_stop(console_listener);
    // Connection threads see `running` drop at once; exit must not destroy the
    // globals a late one still uses, nor the ZeroMQ context under its sockets.
    bool connections_ended = tcp_conn_wait(CONN_END_WAIT_MS) == 0;
    if (!connections_ended) fputs("Connections still open at exit\n", stderr);
    pty_endpoint_close(&o.pty_link, &pty_master);
    serial_endpoint_close(&serial_ep);
    if (input_fd >= 0) close(input_fd);
    if (connections_ended) zmq_shared_context_end();
    if (o.pidfile[0] != '\0') unlink(o.pidfile);
    daemon_log_end();
    return 0;
}
