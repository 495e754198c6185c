// The block sender and receiver: one block frame over the nibble handshake.
#pragma once

#include <cstdint>

#include "link/frame_format.h"
#include "link/protocol.h"

namespace lpx {

// At most this many checksum failures are answered with a resend; the next
// one ends the frame with the abort signal.
constexpr int kMaxChecksumFailures = 10;

// A sender sends one frame at most this many times in a row. A receiver
// that keeps to the protocol asks for eleven copies at most (it gives up on
// the eleventh checksum failure); the margin of five leaves room for one
// that counts a little differently, while one that answers 15 for ever
// ends within seconds.
constexpr int kMaxFrameCopies = 16;

// When this end last answered a frame's last byte, under a policy with a
// code hold; 0 when no hold is pending.
extern int64_t lastCodeMs;

// Waits until the code hold of linkPolicy after the last answered frame has
// passed, and clears it.
void WaitOutCodeHold();

// Sends the frame in `buffer` (a frame buffer of kFrameBufferSize bytes)
// under linkPolicy.
// REQUIRES: the caller filled the length (0..4096), the block number and the
// payload. Stores the magic itself; computes the checksum on the fly.
// Returns kOk; kRefused or kAborted when the receiver answered 13 or 14;
// kAborted also when the receiver asked for more than kMaxFrameCopies copies,
// or Ctrl/C (keyflag) was pressed before a further copy;
// kNoServer when the first byte (or, with timed waits, the peer's line at
// rest before it) was not taken up in time; kTimeout when a later wait ran
// out. A length field outside 0..4096 gives kAborted without touching the
// port, since the frame would be read from past the buffer. `replyBegun`
// (may be null) tells whether the peer answered the last byte by starting
// its own frame (see LinkPolicy::frameStartAnswersLastByte).
LinkResult UploadBlock(uint8_t* buffer, bool* replyBegun = nullptr);

// Decides, before the last link code of an intact frame with the expected
// block number goes out, whether the frame is taken. Returning false makes
// the receiver answer link code 13 (refused) instead of 0 and return
// kRefused, so that the sender learns of a failure on this very frame.
using FrameCheck = bool (*)(uint8_t* frame);

// Why the last DownloadBlock took no frame, for the console.
enum class ReceiveFailure : uint8_t {
  kNone,
  kTimeout,     // a wait ran out
  kOutOfStep,   // no magic at the start, or a length no frame has
  kChecksum,    // more than kMaxChecksumFailures checksum failures
  kWrongBlock,  // not the expected block number
  kAbortFrame,  // the peer sent an abort frame
  kRefused,     // this end refused: -1 expected, or the check said no
};
extern ReceiveFailure receiveFailure;

// Receives one frame into `buffer`.
// REQUIRES: the block number field holds the expected block number (0 for a
// command message, n for the n-th data block, -1 to refuse the transfer).
// `check`, when given, is consulted as described above.
// Returns kOk; kRefused for an abort frame, a frame the check refused, a
// block number off by 1 or 2, or any other when -1 was expected; kAborted,
// after the abort signal, for a time-out, a frame out of step, too many
// checksum failures or a block number further off. Nothing is ever written
// past the frame buffer: a length field above 4096 (or negative) is
// refused as out of step.
LinkResult DownloadBlock(uint8_t* buffer, FrameCheck check = nullptr);

// The checksum of a payload: sums A (from 1) and B (from 0), both wrapping
// at 65536; B << 16 | A.
uint32_t FrameChecksum(const uint8_t* payload, int32_t length);

}  // namespace lpx
