// Helpers of the simulated cable that tests and tools share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lpx {

class Platform;

// A new simulated cable end (0 server, 1 client), owned by the caller. Reads
// LPXFER_CABLE_NS and LPXFER_CABLE_DIR when the cable file is first opened.
Platform* NewSimulatedCable(int end);

// Writes the cable file path of port n (1..3) into out: $LPXFER_CABLE_DIR/lptN,
// or /tmp/lpxfer-cable/lptN. Returns false when it does not fit.
bool SimCablePath(int n, char* out, size_t size);

// Creates the directories above path (the last component is not created).
void SimMakeParentDirs(const char* path);

}  // namespace lpx
