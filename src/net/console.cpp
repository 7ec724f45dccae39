// Command console on TCP port 5550.
//
// DESIGN: each console connection runs in its own connection thread, asleep in
// one poll over its socket and the daemon's stop flag. Commands
// are taken per read: a chunk is split at its newlines and each line is matched
// by its first characters, case-insensitively. Replies are sent as soon as each
// is made, with MSG_NOSIGNAL so that a client that has gone cannot raise SIGPIPE
// (the daemon handles SIGINT and SIGTERM only); a client that does not read its
// replies within CONSOLE_REPLY_WAIT_MS loses its connection.
#include "net/console.h"

#include "base/settings.h"
#include "channels/stats.h"
#include "net/peer.h"
#include "net/tcp_client.h"

#include "base/clock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// Kept on purpose, byte for byte (spelling and padding included): clients and
// scripts match these lines.
static const char HELP_TEXT[] =
    "  quit                      Quit the program                              \\\n"
    "  exit                      Close the connection                          \\\n"
    "  connect to <ip>[:<port>]  Connect to another vexlond.                    \\\n"
    "  disconnect <ip>[:<port>]  Close connection to other vexlond.             \\\n"
    "  disconnect all            Close all connections to other vexlonds.       \\\n"
    "  list                      List active connections to other vexlonds.     \\\n"
    "  save                      Save current conection list to file.          \\\n"
    "  show bus mode             Show the bus mode\\\n"
    // Commands added to the daemon follow the text above, which ends as it always
    // has but for the continuation backslash.
    "  stats                     Show message counters of channels and endpoints.\n";

// How long (ms) a reply waits for a client that does not read: long enough for a
// slow link, short enough that a client cannot hold a console slot by not reading.
static const int CONSOLE_REPLY_WAIT_MS = 5000;

static std::mutex save_lock; // one `save` at a time, so two never mix their lines
static std::string save_path = "/conf/vexlond_tcpclient"; // guarded by save_lock

namespace {

// The reply side of one connection.
struct console_peer {
    int fd;
    bool gone; // a send failed: the client is not there to read the rest
};

void reply_send(void *ctx, const std::string &text)
{
    console_peer *p = static_cast<console_peer *>(ctx);
    size_t off = 0;
    long long give_up = monotonic_ms() + CONSOLE_REPLY_WAIT_MS;
    while (!p->gone && off < text.size()) {
        ssize_t w = send(p->fd, text.data() + off, text.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        long long left = give_up - monotonic_ms();
        if (w > 0) {
            off += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && running.on && left > 0) {
            struct pollfd pfd[2] = {{p->fd, POLLOUT, 0}, {running.fd, POLLIN, 0}};
            poll(pfd, 2, static_cast<int>(left));
        } else {
            p->gone = true;
        }
    }
}

bool starts_with_nocase(const std::string &token, const char *text)
{
    size_t n = strlen(text);
    return token.size() >= n && strncasecmp(token.c_str(), text, n) == 0;
}

std::string list_reply()
{
    std::vector<tcp_client_info> links = tcp_client_list();
    if (links.empty()) return "  No tcp connections\n";
    std::string out;
    for (size_t i = 0; i < links.size(); i++) {
        const tcp_client_info &l = links[i];
        const char *cond = l.state == TCP_CLIENT_CONNECTING  ? "connecting..."
                           : l.state == TCP_CLIENT_CONNECTED ? "connected"
                                                             : "unknown";
        out += "  " + l.ip + ":" + std::to_string(l.port) + " " + cond;
        if (i + 1 < links.size()) out += "\\";
        out += "\n";
    }
    return out;
}

// Writes the links as `tcpclient` lines of a configuration file: into a new
// temporary file beside it, made to be ours (O_EXCL: never a link or a FIFO
// placed there, so nothing is followed and nothing blocks), then renamed over it,
// so that a crash mid-save leaves the old list whole. A directory that cannot be
// written is skipped without a word, as the console has always done.
void save_links()
{
    std::vector<tcp_client_info> links = tcp_client_list();
    std::string text;
    for (const tcp_client_info &l : links)
        text += "tcpclient = " + l.ip + ":" + std::to_string(l.port) + "\n";
    std::lock_guard<std::mutex> lock(save_lock);
    size_t slash = save_path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : save_path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? save_path : save_path.substr(slash + 1);
    std::string tmp = dir + "." + base + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) return;
    fchmod(fd, 0644); // readable as the file it replaces was (mkstemp makes it 0600)
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    written = fsync(fd) == 0 && written;
    close(fd);
    if (!written || rename(tmp.c_str(), save_path.c_str()) < 0) unlink(tmp.c_str());
}

// "<a>.<b>.<c>.<d>[:<port>]" after `connect to ` or `disconnect `; fewer than
// four numbers make the command do nothing.
template <typename F>
void with_peer(const std::string &token, size_t skip, F fn)
{
    char ip[PEER_IP_TEXT_SIZE];
    int port;
    if (peer_address_parse(token.c_str() + skip, ip, &port) == 0) fn(ip, port);
}

// Runs one command. Returns false when the token is no command.
bool console_command(console_session *s, const std::string &token)
{
    if (starts_with_nocase(token, "help")) {
        s->reply(s->reply_ctx, HELP_TEXT);
    } else if (starts_with_nocase(token, "quit")) {
        s->quit = 1;
    } else if (starts_with_nocase(token, "exit")) {
        s->keep_going = 0;
    } else if (starts_with_nocase(token, "connect to ")) {
        with_peer(token, 11, [s](const char *ip, int port) {
            std::string why;
            if (!tcp_client_add(ip, port, &why) && !why.empty())
                s->reply(s->reply_ctx, "  " + why + "\n");
        });
    } else if (starts_with_nocase(token, "disconnect all")) {
        tcp_client_remove_all();
    } else if (starts_with_nocase(token, "disconnect ")) {
        with_peer(token, 11,
                  [](const char *ip, int port) { tcp_client_remove(nullptr, ip, port); });
    } else if (starts_with_nocase(token, "list")) {
        s->reply(s->reply_ctx, list_reply());
    } else if (starts_with_nocase(token, "save")) {
        save_links();
    } else if (starts_with_nocase(token, "show bus mode")) {
        s->reply(s->reply_ctx, std::string("  Bus mode is ") + (bus_mode ? "ctrl" : "card") + "\n");
    } else if (starts_with_nocase(token, "stats")) {
        s->reply(s->reply_ctx, stats_report());
    } else {
        return false;
    }
    return true;
}

} // namespace

void console_chunk(console_session *s, const char *data, size_t len)
{
    // A single byte is a bare newline or one keystroke of a client that sends
    // each separately: no command fits in it.
    if (len < 2) return;
    // Commands are text: a NUL byte ends the chunk like the end of the read.
    std::string chunk(data, strnlen(data, len));
    size_t pos = 0;
    while (pos < chunk.size()) {
        size_t end = chunk.find('\n', pos);
        if (end == std::string::npos) end = chunk.size();
        if (end == pos) {
            pos++;
            continue;
        }
        std::string token = chunk.substr(pos, end - pos);
        if (!console_command(s, token)) {
            // The echo of a first line drops the chunk's last byte read: nothing
            // when that is its newline, the last character of an unterminated
            // chunk. Kept as clients of the console have always seen it.
            if (pos == 0 && len - 1 < chunk.size()) {
                chunk.resize(len - 1);
                if (end > chunk.size()) end = chunk.size();
                token = chunk.substr(pos, end - pos);
            }
            printf("Unknown command \"%s\".\n", token.c_str());
            s->reply(s->reply_ctx, "  Unknown command \"" + token + "\".\n");
        }
        pos = end + 1;
    }
    // The daemon stops at once when `running` drops, so the rest of the chunk is
    // answered first, as for a daemon that noticed the quit a while later.
    if (s->quit) stop_flag_raise(&running);
    s->quit = 0;
}

int console_handler(int fd, const char *)
{
    console_peer peer = {fd, false};
    console_session s = {1, 0, reply_send, &peer};
    char buf[CONSOLE_READ_MAX];
    while (running.on && s.keep_going && !peer.gone) {
        struct pollfd p[2] = {{fd, POLLIN, 0}, {running.fd, POLLIN, 0}};
        if (poll(p, 2, -1) <= 0) continue;
        if (p[0].revents & (POLLHUP | POLLERR)) break;
        if (!(p[0].revents & POLLIN)) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) continue;
        console_chunk(&s, buf, static_cast<size_t>(n));
    }
    printf("Command thread exited.\n");
    return 0;
}

void console_save_path_set(const std::string &path)
{
    std::lock_guard<std::mutex> lock(save_lock);
    save_path = path;
}
