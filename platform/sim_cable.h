// Helpers of the simulated cable that tests and tools share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lpx {

class Platform;

// A new simulated cable end (0 server, 1 client), owned by the caller. Reads
// LPXFER_CABLE_NS at once and the cable directory when a cable file is first
// opened, with secure_getenv: a set-user-id program uses the defaults.
Platform* NewSimulatedCable(int end);

// Writes the cable directory into out: $LPXFER_CABLE_DIR, else
// $XDG_RUNTIME_DIR/lpxfer-cable, else /tmp/lpxfer-cable-UID (UID the real
// user id), without trailing slashes. Returns false when it does not fit.
bool SimCableDir(char* out, size_t size);

// Writes the path of port n's cable file (DIR/lptN) into out. Returns false
// when it does not fit.
bool SimCablePath(int n, char* out, size_t size);

}  // namespace lpx
