// Puts every subsystem's program-wide state back to its start value, for
// test fixtures.
#pragma once

namespace lpx {

// Resets the link (port globals, frame buffers, busy flag), the console log,
// the conversions (DOS mode, FAT time), the transfer state (closes fi), the
// command state, the file-system operations, the identity calls and
// the port backend of start-up, and selects variant A.
// The start time and the latest clock reading are set to the fake port's
// virtual start. Leaves `platform` alone.
void ResetAllState();

}  // namespace lpx
