#include "link/frame.h"

#include "link/port.h"
#include "log/memo.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace lpx {

int64_t lastCodeMs = 0;
ReceiveFailure receiveFailure = ReceiveFailure::kNone;

namespace {

// The pause after a sender stops a frame, so that the peer sees the lines
// at rest before anything else happens.
constexpr uint32_t kStopPauseUs = 50000;

// How long a refused frame's link code 13 stays on the line: longer than a
// polling sender's pause (100 ms) plus a burst of reads.
constexpr uint32_t kRefusalHoldUs = 150000;

uint16_t DataRegister() { return static_cast<uint16_t>(portaddr); }
uint16_t StatusRegister() { return static_cast<uint16_t>(portaddr1); }

// The nibble the peer drives on D0-D3, read now.
uint8_t PeerNibble() { return StatusNibble(ReadPort(StatusRegister())); }

// Both sums wrap at 65536, so the checksum is not Adler-32 (whose sums are
// reduced modulo a prime).
struct Sums {
  uint16_t a = 1;
  uint16_t b = 0;
  void Add(uint8_t byte) {
    a = static_cast<uint16_t>(a + byte);
    b = static_cast<uint16_t>(b + a);
  }
  uint32_t Value() const { return (static_cast<uint32_t>(b) << 16) | a; }
};

bool LengthFits(int32_t length) {
  return length >= 0 && length <= static_cast<int32_t>(kMaxPayload);
}

bool TimedWaits() { return linkPolicy.stepMs > 0; }

// The budget of one of the sender's waits: `ms` when its waits are timed.
WaitBudget SendBudget(int64_t ms, bool spin = false) {
  return TimedWaits() ? Within(ms, spin) : Tries(kTransferTries);
}

// What SendByte returns when a wait ran out instead of a link code.
constexpr int kNoAcknowledgement = -1;  // for the low nibble
constexpr int kNoCode = -2;             // after the high nibble

// Sender side of one byte: four writes and reads of the handshake. Returns
// the link code, or kNoAcknowledgement or kNoCode.
int SendByte(uint8_t byte, bool first, bool last, bool* replyBegun) {
  WritePort(DataRegister(), static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
  const int64_t acknowledgeMs = first ? linkPolicy.firstByteMs : linkPolicy.stepMs;
  if (WaitForStatus(Awaited::kRaised, SendBudget(acknowledgeMs)) < 0) return kNoAcknowledgement;
  WritePort(DataRegister(), static_cast<uint8_t>(byte >> 4));
  const Awaited code = last && linkPolicy.frameStartAnswersLastByte ? Awaited::kLoweredOrFrameStart
                                                                    : Awaited::kLowered;
  const int status = WaitForStatus(code, SendBudget(linkPolicy.stepMs, /*spin=*/last));
  if (status < 0) return kNoCode;
  if ((status & kStatusBusyBit) == 0) {
    // The peer took the frame and is replying.
    if (replyBegun != nullptr) *replyBegun = true;
    return kCodeGoOn;
  }
  return TimedWaits() ? StatusNibble(static_cast<uint8_t>(status)) : PeerNibble();
}

// Receiver side of one byte up to, not including, the link code. Returns
// the byte, or -1 when a wait ran out.
int ReceiveByte() {
  if (!WaitForBitFlip(0, kTransferTries)) return -1;
  uint8_t low = PeerNibble();
  WritePort(DataRegister(), kBusyLine);
  if (!WaitForBitFlip(1, kTransferTries)) return -1;
  uint8_t high = PeerNibble();
  return low + 16 * high;
}

enum class Magic { kInStep, kExtraByte, kLostByte, kOutOfStep };

// Reads the first four header bytes, b0 first in the low byte.
Magic CheckMagic(uint32_t shift) {
  if (shift == kFrameMagic) return Magic::kInStep;
  if ((shift >> 8) == (kFrameMagic & 0x00FFFFFF)) return Magic::kExtraByte;
  if ((shift & 0x00FFFFFF) == (kFrameMagic >> 8)) return Magic::kLostByte;
  return Magic::kOutOfStep;
}

}  // namespace

uint32_t FrameChecksum(const uint8_t* payload, int32_t length) {
  Sums sums;
  for (int32_t i = 0; i < length; ++i) sums.Add(payload[i]);
  return sums.Value();
}

void WaitOutCodeHold() {
  if (lastCodeMs == 0) return;
  const int64_t left = lastCodeMs + linkPolicy.codeHoldMs - NowMs();
  if (left > 0) platform->SleepUs(static_cast<uint32_t>(left) * 1000);
  lastCodeMs = 0;
}

LinkResult UploadBlock(uint8_t* buffer, bool* replyBegun) {
  if (replyBegun != nullptr) *replyBegun = false;
  const int32_t length = FrameLength(buffer);
  // A length the frame buffer cannot hold would read past it: nothing is
  // sent and the line is left alone.
  if (!LengthFits(length)) return LinkResult::kAborted;
  WaitOutCodeHold();
  // A peer with its line raised is still in an earlier exchange and would
  // take the first nibble for its acknowledgement. A sender whose waits
  // are counted relies on the peer's turn-taking instead.
  if (TimedWaits() && WaitForStatus(Awaited::kLowered, Within(linkPolicy.firstByteMs)) < 0) {
    return LinkResult::kNoServer;
  }
  const int32_t total = length + static_cast<int32_t>(kFrameOverhead);
  const int32_t checksumAt = length + static_cast<int32_t>(kHeaderSize);

  SendDisableInterrupts();
  EncodeFixed32(buffer + kMagicOffset, kFrameMagic);

  LinkResult result = LinkResult::kOk;
  Sums sums;
  uint32_t checksum = 0;
  int32_t position = 0;
  int copies = 1;
  while (position < total) {
    uint8_t byte;
    if (position < static_cast<int32_t>(kHeaderSize)) {
      byte = buffer[position];
    } else if (position < checksumAt) {
      byte = buffer[position];
      sums.Add(byte);
    } else {
      if (position == checksumAt) checksum = sums.Value();
      byte = static_cast<uint8_t>(checksum >> (8 * (position - checksumAt)));
    }
    const int code = SendByte(byte, position == 0, position == total - 1, replyBegun);
    if (code == kNoAcknowledgement && position == 0) {
      result = LinkResult::kNoServer;
      break;
    }
    if (code < 0) {
      result = LinkResult::kTimeout;
      break;
    }
    if (code == kCodeWrongBlock) {
      result = LinkResult::kAborted;
      break;
    }
    if (code == kCodeEnded) {
      result = LinkResult::kRefused;
      break;
    }
    if (code == kCodeResend) {
      if (copies == kMaxFrameCopies || keyflag) {
        result = LinkResult::kAborted;
        break;
      }
      ++copies;
      sums = Sums();
      position = 0;
      continue;
    }
    ++position;
  }
  if (result != LinkResult::kOk) {
    WritePort(DataRegister(), 0);
    platform->SleepUs(kStopPauseUs);
  }
  return result;
}

LinkResult DownloadBlock(uint8_t* buffer, FrameCheck check) {
  const int32_t expected = FrameBlock(buffer);
  int32_t position = 0;
  uint32_t shift = 0;
  int32_t length = 0;
  int32_t received = 0;
  Sums sums;
  int failures = 0;
  LinkResult result = LinkResult::kAborted;
  receiveFailure = ReceiveFailure::kTimeout;

  SendDisableInterrupts();
  for (;;) {
    int value = ReceiveByte();
    if (value < 0) {
      result = LinkResult::kAborted;
      break;
    }
    const uint8_t byte = static_cast<uint8_t>(value);
    bool outOfStep = false;
    if (position < static_cast<int32_t>(kHeaderSize)) {
      shift = (shift >> 8) + (static_cast<uint32_t>(byte) << 24);
      if (position == 3) {
        switch (CheckMagic(shift)) {
          case Magic::kInStep:
            shift = 0;
            break;
          case Magic::kExtraByte:
            // Drop b0; the next byte is tested as the magic's last byte.
            AddToMemo("\n... Synchronizing --");
            position = 2;
            break;
          case Magic::kLostByte:
            // b3 is already the first byte of the length.
            AddToMemo("\n... Synchronizing ++");
            shift = static_cast<uint32_t>(byte) << 24;
            position = 4;
            break;
          case Magic::kOutOfStep:
            outOfStep = true;
            break;
        }
      } else if (position == 7) {
        length = static_cast<int32_t>(shift);
        shift = 0;
        // Refused here, before a single payload byte could land past the
        // end of the buffer.
        if (!LengthFits(length)) outOfStep = true;
      } else if (position == 11) {
        received = static_cast<int32_t>(shift);
        shift = 0;
      }
    } else if (position < length + static_cast<int32_t>(kHeaderSize)) {
      buffer[position] = byte;
      sums.Add(byte);
    } else {
      shift = (shift >> 8) + (static_cast<uint32_t>(byte) << 24);
    }

    ++position;
    if (outOfStep) {
      receiveFailure = ReceiveFailure::kOutOfStep;
      WritePort(DataRegister(), kCodeGoOn);
      result = LinkResult::kAborted;
      break;
    }
    if (position != length + static_cast<int32_t>(kFrameOverhead)) {
      WritePort(DataRegister(), kCodeGoOn);
      continue;
    }

    // The frame is complete: the verdict, in this order.
    if (received == kAbortBlock) {
      receiveFailure = ReceiveFailure::kAbortFrame;
      WritePort(DataRegister(), kCodeEnded);
      result = LinkResult::kRefused;
      break;
    }
    if (shift != sums.Value()) {
      ++failures;
      WritePort(DataRegister(), kCodeResend);
      if (failures > kMaxChecksumFailures) {
        receiveFailure = ReceiveFailure::kChecksum;
        result = LinkResult::kAborted;
        break;
      }
      position = 0;
      shift = 0;
      sums = Sums();
      continue;
    }
    receiveFailure = ReceiveFailure::kRefused;
    if (received == expected) {
      EncodeFixed32(buffer + kMagicOffset, kFrameMagic);
      SetFrameLength(buffer, length);
      EncodeFixed32(buffer + kHeaderSize + length, shift);
      if (check != nullptr && !check(buffer)) {
        // The refusal is all the sender learns of a failure here (a full
        // disk, say), and the caller may drive the line to 0 right after:
        // hold it long enough for a sender that polls with pauses.
        WritePort(DataRegister(), kCodeEnded);
        platform->SleepUs(kRefusalHoldUs);
        result = LinkResult::kRefused;
        break;
      }
      WritePort(DataRegister(), kCodeGoOn);
      receiveFailure = ReceiveFailure::kNone;
      result = LinkResult::kOk;
      break;
    }
    if (expected == kAbortBlock) {
      WritePort(DataRegister(), kCodeEnded);
      result = LinkResult::kRefused;
      break;
    }
    receiveFailure = ReceiveFailure::kWrongBlock;
    WritePort(DataRegister(), kCodeWrongBlock);
    const int64_t off = static_cast<int64_t>(received) - expected;
    result = (off >= -2 && off <= 2) ? LinkResult::kRefused : LinkResult::kAborted;
    break;
  }

  if (result == LinkResult::kAborted) {
    SignalAbortTransfer();
    WritePort(DataRegister(), 0);
  }
  if (linkPolicy.codeHoldMs > 0) lastCodeMs = NowMs();
  return result;
}

}  // namespace lpx
