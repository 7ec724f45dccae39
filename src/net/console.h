// Command console: a plain-text control port for the outgoing links, the bus
// mode and stopping the daemon, one command per line.
#pragma once

#include <cstddef>
#include <string>

constexpr int CONSOLE_PORT = 5550;
constexpr int CONSOLE_READ_MAX = 200; // bytes per read; commands are handled per read

typedef void (*console_reply_fn)(void *ctx, const std::string &text);

// One console connection's state, as the chunk processing sees it.
struct console_session {
    int keep_going;         // 1 until `exit`; the connection ends after its chunk
    int quit;               // `quit` seen: the daemon stops after the chunk
    console_reply_fn reply; // sends one reply to the client, as soon as it is made
    void *reply_ctx;
};

// The handler of the console port: reads and runs commands until the client
// goes, `exit`, or the daemon stops. Returns 0.
int console_handler(int fd, const char *name);

// Runs the commands of one chunk as read (at most CONSOLE_READ_MAX bytes); a
// chunk of one byte is ignored. Replies go through s->reply.
void console_chunk(console_session *s, const char *data, size_t len);

// Where `save` writes the links, /conf/vexlond_tcpclient unless set otherwise.
void console_save_path_set(const std::string &path);
