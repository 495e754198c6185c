// What the command line asked for, and the client's shared helpers for
// reporting outcomes.
#pragma once

#include <cstdint>

#include "client/session.h"
#include "link/port_select.h"

namespace lpx {

struct ClientOptions {
  // The port: --port (LPT2 unless told), --device or --address.
  PortChoice port = {.kind = PortKind::kNumber, .number = 2};
  bool text = false;      // text mode (AGET/APUT) instead of binary
  bool resume = false;    // get: continue the local file; put: "REST ?"
  int64_t offset = -1;    // get: fetch from this wire offset; -1 none
  bool quiet = false;     // no progress bar and no summary lines
  bool progress = false;  // draw the progress bar (stderr is a terminal)
  bool longHold = false;  // hold every reply's last code kLongHoldMs
  // get and put: whole directory trees
  bool recursive = false;
};

// --- Client command state --------------------------------------------------
extern ClientOptions options;  // the parsed command line

void ResetClientOptions();

// Prints "lpxfer: <message>" on standard error.
void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports a link failure of `what` and returns its exit status.
int LinkFailure(const char* what, LinkResult result);

// Sends a command and reports a failure. Returns 0 or the exit status.
int Command(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends "MD" for the remote directory `clientPath` (`shown` names it in
// messages). Returns 0, or the exit status after reporting.
int MakeRemoteDirectory(const char* clientPath, const char* shown);

// Reports the reply `reply` that `what` did not expect (its control bytes
// escaped) and returns kExitProtocol.
int UnexpectedReply(const char* what, const char* reply);

// Receives one reply (keep-alives passed over) into `reply`. Returns 0 or
// the exit status after reporting.
int Reply(const char* what, char* reply, size_t size);

}  // namespace lpx
