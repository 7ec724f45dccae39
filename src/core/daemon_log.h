// The daemon's output when it runs detached: every line it would print goes to
// syslog (ident "vexlond", facility daemon), stderr lines at LOG_ERR and stdout
// lines at LOG_INFO, so that a board running it with --daemon keeps a trace.
#pragma once

// Turns standard output and error into pipes whose lines a thread passes on to
// syslog. Called after detaching; what child processes print goes the same way.
// Returns 0, or -1 after a message (output then stays where it was).
int daemon_log_start();

// At exit: passes on what is still buffered and ends the thread, waiting a
// bounded time. A no-op when daemon_log_start was not called.
void daemon_log_end();
