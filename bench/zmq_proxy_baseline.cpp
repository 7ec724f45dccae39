// The forwarder a user would write instead of vexlond's channels: libzmq's own
// zmq_proxy between a PULL and a PUB, one pair per channel, bound on the daemon's
// endpoints, so that the benchmark's clients are the same for both.
//
// DESIGN: one context (the usual way to use ZeroMQ), one proxy thread per
// channel, the stop signals blocked everywhere and taken by sigwait in main.
// Shutting the context down makes both proxies return; then the sockets close.
// With --contexts-per-socket every socket gets a context of its own, as in the
// daemon: the same proxy then shows what that layout costs by itself.
#include <zmq.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>

namespace {

struct channel {
    const char *pull_tcp, *pull_ipc; // endpoints the PULL socket binds
    const char *pub_tcp, *pub_ipc;   // endpoints the PUB socket binds
    void *pull = nullptr, *pub = nullptr;
};

// The daemon's endpoints with its default ports: command channel, response channel.
channel channels[2] = {
    {"tcp://*:5554", "ipc://tmp/vexlond_pull_cmd", "tcp://*:5552", "ipc:///tmp/vexlond_pub_cmd"},
    {"tcp://*:5553", "ipc://tmp/vexlond_pull_res", "tcp://*:5551", "ipc:///tmp/vexlond_pub_res"},
};

// The daemon's own linger, so that both close their sockets alike.
const int LINGER_MS = 200;

void *socket_bound(void *ctx, int type, const char *tcp, const char *ipc)
{
    void *s = zmq_socket(ctx, type);
    if (!s) {
        fprintf(stderr, "zmq_socket: %s\n", zmq_strerror(zmq_errno()));
        exit(1);
    }
    zmq_setsockopt(s, ZMQ_LINGER, &LINGER_MS, sizeof LINGER_MS);
    // A TCP port already taken means another forwarder is running: the benchmark
    // would measure that one, so refuse. The relative IPC path may be missing.
    if (zmq_bind(s, tcp) < 0) {
        fprintf(stderr, "zmq_bind %s: %s\n", tcp, zmq_strerror(zmq_errno()));
        exit(1);
    }
    zmq_bind(s, ipc);
    return s;
}

void *proxy_thread(void *arg)
{
    channel *c = static_cast<channel *>(arg);
    zmq_proxy(c->pull, c->pub, nullptr); // returns once the context is shut down
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    bool per_socket = argc > 1 && std::string(argv[1]) == "--contexts-per-socket";
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    void *ctx[5] = {zmq_ctx_new()};
    int ctx_count = 1;
    pthread_t threads[2];
    for (int i = 0; i < 2; i++) {
        channel &c = channels[i];
        void *pub_ctx = per_socket ? (ctx[ctx_count++] = zmq_ctx_new()) : ctx[0];
        void *pull_ctx = per_socket ? (ctx[ctx_count++] = zmq_ctx_new()) : ctx[0];
        c.pub = socket_bound(pub_ctx, ZMQ_PUB, c.pub_tcp, c.pub_ipc);
        c.pull = socket_bound(pull_ctx, ZMQ_PULL, c.pull_tcp, c.pull_ipc);
        if (pthread_create(&threads[i], nullptr, proxy_thread, &c) != 0) {
            fprintf(stderr, "pthread_create failed\n");
            return 1;
        }
    }
    printf("zmq_proxy ready\n");
    fflush(stdout);

    int sig;
    sigwait(&stop, &sig);
    for (int i = 0; i < ctx_count; i++) zmq_ctx_shutdown(ctx[i]);
    for (int i = 0; i < 2; i++) {
        pthread_join(threads[i], nullptr);
        zmq_close(channels[i].pull);
        zmq_close(channels[i].pub);
    }
    for (int i = 0; i < ctx_count; i++) zmq_ctx_term(ctx[i]);
    return 0;
}
