// vexlond: the serial bus on two ZeroMQ channels.
//
// DESIGN: main reads the options in three passes, starts every thread in a fixed
// order, sleeps until `running` drops and takes the daemon down in a fixed order:
// links first, then the joinable threads in reverse order of creation (bridges
// before the forwarders they push into), then the listeners, then the descriptors.
// SIGINT and SIGTERM are blocked in every thread but this one, so the handler
// always interrupts the run loop's sleep and shutdown starts at once.
#include "channels/bridge.h"
#include "channels/forwarder.h"
#include "channels/pty_endpoint.h"
#include "core/options.h"
#include "core/settings.h"
#include "net/console.h"
#include "net/tcp_client.h"
#include "net/tcp_listen.h"
#include "serial/serial_arg.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

static void start_joinable(void *(*fn)(void *), void *arg, const char *what)
{
    if (thread_count >= MAX_THREADS) return;
    int rc = pthread_create(&thread_table[thread_count], nullptr, fn, arg);
    if (rc != 0) {
        fprintf(stderr, "%s: pthread_create: %s\n", what, strerror(rc));
        return;
    }
    thread_count++;
}

static void sig_handler(int)
{
    // Only async-signal-safe work here: a direct write, then the flag.
    static const char MSG[] = "Exiting program...\n";
    (void)!write(1, MSG, sizeof MSG - 1);
    running = 0;
}

static void block_stop_signals(int how)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(how, &set, nullptr);
}

static void start_stdio_bridge(const start_options &o)
{
    int push_port = o.stdin_mode == STREAM_COMMAND    ? pull_command_port.load()
                    : o.stdin_mode == STREAM_RESPONSE ? pull_response_port.load()
                                                      : -1;
    int sub_port = o.stdout_mode == STREAM_COMMAND    ? publish_command_port.load()
                   : o.stdout_mode == STREAM_RESPONSE ? publish_response_port.load()
                                                      : -1;
    inout_fill(&stdio_bridge, o.stdin_mode ? 0 : -1, o.stdout_mode ? 1 : -1, push_port, sub_port,
               &running, INOUT_LINES);
    start_joinable(inout_thread, &stdio_bridge, "stdio bridge");
}

int main(int argc, char **argv)
{
    // Progress lines are read by people and by programs through pipes alike:
    // each line leaves as soon as it is complete.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Each TCP server connection and link costs about 17 descriptors (a socket and
    // two ZeroMQ contexts), so the usual soft limit of 1024 would turn peers away
    // after some 55 connections while the hard limit allows many more.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    start_options o;
    settings_defaults();
    options_defaults(&o);

    if (options_pass1(&o, argc, argv)) return 1;
    options_pass2(&o, argc, argv);
    if (o.daemonize) (void)!daemon(0, 0);

    // Every thread started from here on (links already in pass 3) inherits a mask
    // that keeps the stop signals for the main thread.
    block_stop_signals(SIG_BLOCK);
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

    fwd_fill(&fwd_command, true, &running);
    start_joinable(fwd_thread, &fwd_command, "command forwarder");
    fwd_fill(&fwd_response, false, &running);
    start_joinable(fwd_thread, &fwd_response, "response forwarder");

    if (o.stdin_mode != STREAM_NONE || o.stdout_mode != STREAM_NONE) start_stdio_bridge(o);

    int input_fd = -1;
    if (o.input_path[0] != '\0') {
        input_fd = open(o.input_path, O_RDONLY);
        inout_fill(&input_bridge, input_fd, -1, pull_command_port, -1, &running, 0);
        start_joinable(inout_thread, &input_bridge, "input bridge");
    }

    // A port that cannot be opened leaves the daemon running without it.
    int serial_fd = -1;
    if (o.serial_arg[0] != '\0') {
        serial_fd = serial_parse_open(o.serial_arg);
        if (serial_fd >= 0) {
            serial_endpoint_setup(serial_fd, o.serial_dump);
            start_joinable(inout_thread, &serial_bridge, "serial bridge");
        }
    }

    tcp_listener *tcpserver_listener = nullptr;
    if (o.tcpserver_port >= 0) {
        printf("Listen on port %d...\n", o.tcpserver_port);
        tcpserver_listener = tcp_listen(tcp_server_handler, o.tcpserver_port);
    }

    int pty_master = -1;
    if (o.pty_requested && pty_endpoint_open(o.pty_link, &pty_master, &pty_bridge) == 0)
        start_joinable(inout_thread, &pty_bridge, "pty bridge");

    if (signal(SIGTERM, sig_handler) == SIG_ERR || signal(SIGINT, sig_handler) == SIG_ERR) {
        perror("signal");
        return 1;
    }
    block_stop_signals(SIG_UNBLOCK);

    // Bound before the line appears, so whoever waits for it can connect at once.
    tcp_listener *console_listener = tcp_listen(console_handler, CONSOLE_PORT);
    printf("Accepting commands on port %d\n", CONSOLE_PORT);

    while (running)
        sleep(1);

    tcp_client_remove_all();
    for (int i = thread_count - 1; i >= 0; i--)
        pthread_join(thread_table[i], nullptr);
    sleep(1);
    tcp_listen_stop(tcpserver_listener);
    tcp_listen_stop(console_listener);
    // Connection threads see `running` drop within a poll (100 ms); exit must not
    // destroy the globals a late one still uses (the console's save path).
    if (tcp_conn_wait(CONN_END_WAIT_MS) > 0) fputs("Connections still open at exit\n", stderr);
    pty_endpoint_close(&o.pty_link, &pty_master);
    if (serial_fd >= 0) serial_close(serial_fd);
    if (input_fd >= 0) close(input_fd);
    return 0;
}
