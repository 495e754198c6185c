// The command loop: waits for the client's commands, echoes and dispatches
// them, and keeps the command state between them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lpx {

// --- Command state (alive while the loop runs) ----------------------------
constexpr size_t kNameStateSize = 310;
extern char recName[kNameStateSize];      // pending upload, as the client sent it
extern char renamedFrom[kNameStateSize];  // rename source, mapped to a local path
extern int32_t restartOffset;             // local restart offset of the next transfer
extern int32_t remoteOffset;              // the same offset on the wire (text uploads)
extern int32_t fileTime;                  // FAT time for the upload; -1 none
extern int32_t fileAttr;                  // attribute byte for the upload; -1 none
extern int textMode;                      // the pending upload is a text upload
extern int8_t lastResult;                 // 1 success, -1 failure, 6 link busy

// The command state of a freshly started server, the code page detection
// off; run at the start of the loop and on every CONNECT.
void ResetCommandState();

// Runs until abortClicked is set at the top of a pass.
void DoServer();

// strtoul in base 10; the value when the whole text was consumed, else -1.
// "" gives 0; 4294967295 gives -1.
int32_t StrToInt(const char* text);

// The text-mode wire size of the first n bytes of fi (LF counts 2), sending
// "WAIT" whenever a further whole second passed; -1 when a WAIT was not
// delivered.
int32_t GetRestartAtRemote(int32_t n);

}  // namespace lpx
