// Command messages: one line of text in one block frame with block number 0,
// and the three frame buffers of the program.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/frame_format.h"
#include "link/protocol.h"

namespace lpx {

// --- Link buffers and busy flag ------------------------------------------
extern uint8_t outdbuf[kFrameBufferSize];  // command messages the program sends
extern uint8_t indbuf[kFrameBufferSize];   // command messages received; file data both ways
extern uint8_t databuf[kFrameBufferSize];  // listing frames and the listing's abort frame
extern int blocktransfer;                  // 1 while an exchange occupies the link

// Marks the link busy for its lifetime: sets blocktransfer, and clears it
// on every way out.
class LinkBusy {
 public:
  LinkBusy() { blocktransfer = 1; }
  ~LinkBusy() { blocktransfer = 0; }
  LinkBusy(const LinkBusy&) = delete;
  LinkBusy& operator=(const LinkBusy&) = delete;
};

// The command loop's buffer holds at most this many characters plus the
// terminator.
constexpr size_t kCommandBufferSize = 256;

// Puts the buffers, the busy flag and the code hold back to their start
// values.
void ResetLinkCommandState();

// Sends `text` (at most 4096 characters) as a command message.
// Returns 1 when delivered, 0 when the link was busy or the send failed.
int RemoteSendCommand(const char* text);

// Receives one command message into `destination`, which holds
// kCommandBufferSize bytes. Returns 1 with the text in `destination`; -1 when
// the receive failed or the message does not fit (longer than 255
// characters), with `destination` empty; 6 when the link was busy, with
// `destination` untouched.
int ReceiveCommandString(char* destination);

}  // namespace lpx
