// Pseudo-terminal endpoint: set-up (master, link, banner, bridge descriptor) and
// tear-down.
//
// DESIGN: the master is non-blocking, so a pty whose reader has stopped can only
// make the bridge drop what does not fit, never hold it or shutdown. The slave is
// opened and closed once at set-up: from then on "nobody on the slave side" always
// polls as hung up (a fresh pty does not), which is how the bridge knows not to
// write responses that nobody would read and that the line discipline would echo
// back into the command channel.
#include "channels/pty_endpoint.h"

#include "channels/zmq_util.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

static std::string pty_slave_name(int master)
{
    char name[128]; // "/dev/pts/<n>"; ptsname_r reports ERANGE rather than cut it
    if (ptsname_r(master, name, sizeof name) != 0) return std::string();
    return name;
}

int pty_endpoint_open(const std::string &link, int *master, inout_cfg *bridge,
                      endpoint_stats *stats)
{
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0) {
        perror("posix_openpt: "); // kept on purpose: the double colon users have seen
        return -1;
    }
    if (grantpt(*master) < 0) {
        perror("grantpt: ");
        return -1;
    }
    if (unlockpt(*master) < 0) {
        perror("unlockpt: ");
        return -1;
    }
    fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    std::string slave = pty_slave_name(*master);
    int probe = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (probe >= 0) close(probe);

    if (!link.empty()) {
        unlink(link.c_str());
        (void)!symlink(slave.c_str(), link.c_str());
        printf("################\npth: %s\n################\n", link.c_str());
    } else {
        printf("################\npty: %s\n################\n", slave.c_str());
    }
    inout_fill(bridge, *master, *master, CHANNEL_COMMAND, CHANNEL_RESPONSE, &running, INOUT_LINES,
               stats);
    return 0;
}

void pty_endpoint_close(std::string *link, int *master)
{
    if (!link->empty()) {
        unlink(link->c_str());
        link->clear();
    }
    if (*master >= 0) {
        close(*master);
        *master = -1;
    }
}
