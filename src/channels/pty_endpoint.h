// Pseudo-terminal endpoint: a Unix98 pty whose master is bridged as a
// controller-side endpoint (its lines into the command channel, the response
// channel written back), optionally reachable through a symbolic link.
#pragma once

#include "channels/bridge.h"

#include <string>

// Opens, grants and unlocks a master into *master, places `link` (when not empty)
// as a symbolic link to the slave, prints the banner and fills `bridge`. Returns 0
// when the bridge can start (counting into `stats`), -1 when the endpoint was given up (reported;
// *master may still be open and is closed by pty_endpoint_close).
int pty_endpoint_open(const std::string &link, int *master, inout_cfg *bridge,
                      endpoint_stats *stats);

// After the bridge has ended: removes the link when one was given (also when the
// pty failed) and closes the master when open.
void pty_endpoint_close(std::string *link, int *master);
