// Traffic that the channels have room for is never dropped: a sender that keeps
// fewer messages in flight than a queue holds loses nothing, however fast it goes.
// Regression tests for queues that looked full because a socket had not yet heard
// how far its peer had read (the publisher of the forwarder, the PUSH of a bridge):
// such news reaches a sending socket only about once a millisecond, so the loss
// showed only at a few hundred thousand messages a second, the pace kept here.
#include "kit.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

// Messages in flight at most: with the fragments that line framing may add, well
// below the 1000 that a ZeroMQ queue holds by default even when its news of the
// peer's reading lags by the 500 that ZeroMQ reports at a time.
const int IN_FLIGHT = 150;
const int TOTAL = 30000;

std::string numbered(const char *tag, int i)
{
    char buf[40];
    snprintf(buf, sizeof buf, "%s %06d ........\n", tag, i);
    return buf;
}

// Takes every message already queued on `s` (probes left out), waiting up to
// 2 s for the first when none is. False when nothing came.
bool take_arrived(zmq::socket_t &s, std::vector<std::string> &out)
{
    zmq::message_t m;
    bool any = false;
    while (true) {
        if (!s.recv(m, zmq::recv_flags::dontwait)) {
            if (any) return true;
            zmq::pollitem_t item = {s.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq::poll(&item, 1, std::chrono::milliseconds(2000)) <= 0) return false;
            continue;
        }
        std::string msg(static_cast<const char *>(m.data()), m.size());
        if (is_probe(msg)) continue;
        out.push_back(msg);
        any = true;
    }
}

TEST(ChannelFlow, PushedMessagesAllArriveWhileTheSubscriberKeepsUp)
{
    daemon_proc d;
    daemon_start(d, {});
    channel_sub sub(CMD_SUB, CMD_PUSH);
    channel_push push(CMD_PUSH);
    push.sock.set(zmq::sockopt::sndtimeo, 2000);
    std::vector<std::string> msgs;
    for (int i = 0; i < TOTAL; i++)
        msgs.push_back(numbered("msg", i));

    int sent = 0, received = 0;
    std::vector<std::string> arrived;
    while (received < TOTAL) {
        // Half-window bursts: the forwarder sees runs of messages, as from a busy
        // producer, never more than IN_FLIGHT beyond what has arrived.
        if (sent - received <= IN_FLIGHT / 2) {
            while (sent < TOTAL && sent - received < IN_FLIGHT)
                ASSERT_TRUE(push.sock.send(zmq::buffer(msgs[sent++]), zmq::send_flags::none));
        }
        arrived.clear();
        ASSERT_TRUE(take_arrived(sub.sock, arrived)) << "lost at message " << received;
        for (const std::string &m : arrived)
            ASSERT_EQ(m, msgs[received++]);
    }
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(ChannelFlow, LinesFromStdinAllArriveWhileTheChannelKeepsUp)
{
    daemon_proc d;
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    daemon_start(d, {"--stdin", "command"}, opts);
    channel_sub sub(CMD_SUB, CMD_PUSH);
    const int chunk = IN_FLIGHT / 2;
    std::string stream;
    for (int i = 0; i < TOTAL; i++)
        stream += numbered("line", i);
    const size_t line_size = stream.size() / TOTAL;

    size_t written = 0, arrived_bytes = 0;
    std::vector<std::string> arrived;
    while (arrived_bytes < stream.size()) {
        if (written - arrived_bytes <= chunk * line_size && written < stream.size()) {
            size_t n = std::min(chunk * line_size, stream.size() - written);
            ASSERT_EQ(write(d.stdin_fd, stream.data() + written, n), static_cast<ssize_t>(n));
            written += n;
        }
        arrived.clear();
        ASSERT_TRUE(take_arrived(sub.sock, arrived)) << "lost after byte " << arrived_bytes;
        // A read that ends inside a line sends that line in two messages; in
        // order they spell the stream that was written.
        for (const std::string &m : arrived) {
            ASSERT_EQ(m, stream.substr(arrived_bytes, m.size()));
            arrived_bytes += m.size();
        }
    }
    EXPECT_EQ(daemon_stderr(d).find("zmq_send"), std::string::npos) << daemon_stderr(d);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

} // namespace
