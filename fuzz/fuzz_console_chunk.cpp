// Fuzzes the console's command processing as a connection feeds it: a sequence
// of reads of up to CONSOLE_READ_MAX bytes. Checks that every reply is text that
// ends in a newline, that an echoed command is one line of the chunk read, and
// that the listed links hold well-formed addresses.
//
// Nothing reaches the network: `running` stays 0 throughout, so a link that
// `connect to` lists ends its thread before any connection attempt; `save`
// writes into a temporary directory of its own, removed at exit.
#include "base/settings.h"
#include "net/console.h"
#include "net/peer.h"
#include "net/tcp_client.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check_reply(void *ctx, const std::string &text)
{
    const std::string *chunk = static_cast<const std::string *>(ctx);
    if (text.empty() || text.back() != '\n' || text.find('\0') != std::string::npos) abort();
    static const char UNKNOWN[] = "  Unknown command \"";
    if (text.compare(0, sizeof UNKNOWN - 1, UNKNOWN) == 0) {
        std::string token = text.substr(sizeof UNKNOWN - 1, text.size() - sizeof UNKNOWN - 2);
        if (text.compare(text.size() - 3, 3, "\".\n") != 0) abort();
        if (token.find('\n') != std::string::npos || chunk->find(token) == std::string::npos)
            abort();
    }
}

} // namespace

static std::string save_dir;

static void remove_save_dir()
{
    (void)!system(("rm -rf '" + save_dir + "'").c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    running.on = 0;
    char dir[] = "/tmp/vx-fuzz-console-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    save_dir = dir;
    atexit(remove_save_dir);
    console_save_path_set(save_dir + "/links");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string chunk; // the read being processed
    console_session session = {1, 0, check_reply, &chunk};
    size_t pos = 0;
    while (pos < size && session.keep_going) {
        // Each read: one length byte, then up to that many bytes.
        size_t want = data[pos++] % (CONSOLE_READ_MAX + 1);
        size_t len = want < size - pos ? want : size - pos;
        chunk.assign(reinterpret_cast<const char *>(data + pos), len);
        console_chunk(&session, chunk.data(), len);
        pos += len;
    }
    if (running.on != 0) abort();
    for (const tcp_client_info &l : tcp_client_list()) {
        int a, b, c, d;
        char rest;
        if (l.ip.size() >= PEER_IP_TEXT_SIZE ||
            sscanf(l.ip.c_str(), "%d.%d.%d.%d%c", &a, &b, &c, &d, &rest) != 4)
            abort();
    }
    tcp_client_remove_all();
    return 0;
}
