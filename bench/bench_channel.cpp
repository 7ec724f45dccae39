// Benchmark clients of a message channel.
//
// DESIGN: the same client code runs against the daemon and against the baseline;
// only the program behind the ports differs. The throughput run sends from the
// calling thread and counts in a second thread that owns the SUB socket from the
// moment it starts (thread creation is the memory barrier ZeroMQ asks for when a
// socket changes threads).
#include "bench_channel.h"

#include "bench_stats.h"
#include "kit.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <zmq.hpp>

// Blocking sends and receives in the clients are bounded: a program under test
// that dies fails the run instead of hanging it.
static const int CLIENT_TIMEOUT_MS = 2000;

// Made live by the kit's probes, pushed through the channel under test; what is
// left of them is drained before the timed part.
static int make_live(zmq::socket_t &sub, const std::string &push_ep)
{
    if (!sub_make_live(sub, push_ep)) return -1;
    std::string msg;
    while (channel_recv(sub, msg, 100)) {
    }
    return 0;
}

static void client_socket_defaults(zmq::socket_t &s)
{
    s.set(zmq::sockopt::linger, 0);
    s.set(zmq::sockopt::sndtimeo, CLIENT_TIMEOUT_MS);
}

int channel_latency(const std::string &push_ep, const std::string &sub_ep, int count, int warmup,
                    size_t size, std::vector<double> *us, int *lost)
{
    zmq::context_t ctx;
    zmq::socket_t push(ctx, zmq::socket_type::push);
    zmq::socket_t sub(ctx, zmq::socket_type::sub);
    client_socket_defaults(push);
    client_socket_defaults(sub);
    sub.set(zmq::sockopt::subscribe, "");
    sub.connect(sub_ep);
    push.connect(push_ep);
    if (make_live(sub, push_ep) < 0) return -1;

    std::string msg(size < 10 ? 10 : size, 'x');
    msg.back() = '\n';
    std::string got;
    for (int i = 0; i < warmup + count; i++) {
        // A sequence number in every message: a late arrival of an earlier one is
        // never taken for the current one.
        char seq[16];
        int n = snprintf(seq, sizeof seq, "L%08d", i % 100000000);
        msg.replace(0, static_cast<size_t>(n), seq);
        long long t0 = bench_now_ns();
        if (!push.send(zmq::buffer(msg), zmq::send_flags::none)) {
            (*lost)++;
            continue;
        }
        bool arrived = false;
        while (channel_recv(sub, got, CLIENT_TIMEOUT_MS)) {
            if (got == msg) {
                arrived = true;
                break;
            }
        }
        long long t1 = bench_now_ns();
        if (!arrived) {
            (*lost)++;
            continue;
        }
        if (i >= warmup) us->push_back((t1 - t0) / 1000.0);
    }
    return 0;
}

namespace {

struct counter {
    zmq::socket_t *sub;
    size_t size;
    long expected;
    std::atomic<long long> sender_done_ns{0}; // set once the last message was sent
    std::atomic<long> received{0};
    long long last_ns = 0;
    // Flow control: the sender sleeps until `received` reaches `wake_at`.
    std::mutex mu;
    std::condition_variable cv;
    std::atomic<long> wake_at{-1};
};

// Counts the subscriber's messages until all arrived or the channel has been
// quiet for a while after the sender finished (the rest was dropped).
void count_messages(counter *c)
{
    const long long QUIET_NS = 300 * 1000000LL;
    zmq::pollitem_t item = {c->sub->handle(), 0, ZMQ_POLLIN, 0};
    long received = 0;
    while (received < c->expected) {
        int rc = zmq::poll(&item, 1, std::chrono::milliseconds(50));
        if (rc > 0) {
            zmq::message_t m;
            while (received < c->expected && c->sub->recv(m, zmq::recv_flags::dontwait)) {
                if (m.size() == c->size && static_cast<const char *>(m.data())[0] == 'T') {
                    c->received.store(++received);
                    c->last_ns = bench_now_ns();
                    long w = c->wake_at.load();
                    if (w >= 0 && received >= w) {
                        std::lock_guard<std::mutex> lock(c->mu);
                        c->wake_at = -1;
                        c->cv.notify_one();
                    }
                }
            }
            continue;
        }
        long long done = c->sender_done_ns.load();
        if (done == 0) continue;
        long long since = c->last_ns > done ? c->last_ns : done;
        if (bench_now_ns() - since > QUIET_NS) break;
    }
}

// Waits until at most `window` / 2 messages are in flight: sending in half-window
// bursts keeps the wake-ups of the sender rare. False when the channel stalls
// (a message was lost after all): the run then ends early.
bool wait_for_room(counter *c, long sent, long window)
{
    long target = sent - window / 2;
    if (c->received.load() >= target) return true;
    std::unique_lock<std::mutex> lock(c->mu);
    c->wake_at = target;
    return c->cv.wait_for(lock, std::chrono::milliseconds(CLIENT_TIMEOUT_MS),
                          [&] { return c->received.load() >= target; });
}

} // namespace

int channel_throughput(const std::string &push_ep, const std::string &sub_ep, long count,
                       size_t size, long window, throughput_result *r)
{
    zmq::context_t send_ctx, recv_ctx;
    zmq::socket_t push(send_ctx, zmq::socket_type::push);
    zmq::socket_t sub(recv_ctx, zmq::socket_type::sub);
    client_socket_defaults(push);
    client_socket_defaults(sub);
    // The subscriber queues without limit, so that the forwarder, not this
    // client's receive loop, sets the pace; what is still dropped, the
    // forwarder's publisher dropped.
    sub.set(zmq::sockopt::rcvhwm, 0);
    sub.set(zmq::sockopt::subscribe, "");
    sub.connect(sub_ep);
    push.connect(push_ep);
    if (make_live(sub, push_ep) < 0) return -1;

    std::string msg(size, 'y');
    msg[0] = 'T';
    msg.back() = '\n';
    counter c;
    c.sub = &sub;
    c.size = size;
    c.expected = count;
    std::thread t(count_messages, &c);
    long long t0 = bench_now_ns();
    long sent = 0;
    for (; sent < count; sent++) {
        if (window > 0 && sent - c.received.load() >= window && !wait_for_room(&c, sent, window))
            break;
        if (!push.send(zmq::buffer(msg), zmq::send_flags::none)) break;
    }
    c.sender_done_ns = bench_now_ns();
    t.join();
    r->sent = sent;
    r->received = c.received.load();
    r->seconds = r->received ? (c.last_ns - t0) / 1e9 : 0;
    return 0;
}
