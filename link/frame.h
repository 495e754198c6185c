// The block sender and receiver: one block frame over the nibble handshake.
#pragma once

#include <cstdint>

#include "link/frame_format.h"

namespace lpx {

// Results of UploadBlock.
constexpr int kSendDelivered = 0;
constexpr int kSendEnded = 1;     // receiver answered 13
constexpr int kSendNoAnswer = 4;  // a wait ran out
constexpr int kSendAborted = 5;   // receiver answered 14

// Results of DownloadBlock.
constexpr int kRecvOk = 0;
constexpr int kRecvEnded = 3;   // abort frame, refused, or block number off by 1 or 2
constexpr int kRecvFailed = 5;  // time-out, out of step, too many checksum failures

// At most this many checksum failures are answered with a resend; the next
// one ends the frame with the abort signal.
constexpr int kMaxChecksumFailures = 10;

// --- Frame option ---------------------------------------------------------
// When set, the wait after a frame's last byte also ends, as delivered, when
// the peer shows the first nibble of a new frame (busy line raised, 8 on
// D0-D3). A peer that answers at once lowers its busy line with the last
// link code and raises it again for its own frame within microseconds; a
// side that was not polling at that moment would otherwise wait in vain
// for the busy line to fall, and both sends would time out. Before it
// answers, a receiver shows 0x10 (nibble 0), and it starts a frame of its
// own only after accepting this one, so the nibble 8 cannot be mistaken.
// Meant for the client program; the server keeps the plain wait. Cleared by
// ResetLinkCommandState.
extern bool replyAnswersLastByte;

// Sends the frame in `buffer` (a frame buffer of kFrameBufferSize bytes).
// REQUIRES: the caller filled the length (0..4096), the block number and the
// payload. Stores the magic itself; computes the checksum on the fly.
// Returns kSendDelivered, kSendEnded, kSendNoAnswer or kSendAborted; a
// length field outside 0..4096 gives kSendNoAnswer without touching the
// port, since the frame would be read from past the buffer.
int UploadBlock(uint8_t* buffer);

// Decides, before the last link code of an intact frame with the expected
// block number goes out, whether the frame is taken. Returning false makes
// the receiver answer link code 13 (refused) instead of 0 and return
// kRecvEnded, so that the sender learns of a failure on this very frame.
using FrameCheck = bool (*)(uint8_t* frame);

// Receives one frame into `buffer`.
// REQUIRES: the block number field holds the expected block number (0 for a
// command message, n for the n-th data block, -1 to refuse the transfer).
// `check`, when given, is consulted as described above.
// Returns kRecvOk, kRecvEnded or kRecvFailed. Nothing is ever written past
// the frame buffer: a length field above 4096 (or negative) is refused as
// out of step (kRecvFailed, with the abort signal).
int DownloadBlock(uint8_t* buffer, FrameCheck check = nullptr);

// The checksum of a payload: sums A (from 1) and B (from 0), both wrapping
// at 65536; B << 16 | A.
uint32_t FrameChecksum(const uint8_t* payload, int32_t length);

}  // namespace lpx
