// The one signal handler for SIGSEGV, SIGHUP, SIGINT and SIGTERM.
#pragma once

namespace lpx {

// Ctrl/C sets keyflag and writes "*** You pressed Ctrl/C" (with its own
// buffer, async-signal-safe); SIGSEGV prints the fault line and ends with
// status 1; SIGHUP and SIGTERM print "*** Signal N received" and end with 0.
// The last three release a claimed ppdev port first.
void SignalHandler(int sig);

// Installs SignalHandler for SIGSEGV, SIGHUP, SIGINT and SIGTERM, in order.
void InstallSignalHandlers();

}  // namespace lpx
