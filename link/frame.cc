#include "link/frame.h"

#include "link/port.h"
#include "log/memo.h"
#include "platform/platform.h"

namespace lpx {

bool replyAnswersLastByte = false;

namespace {

// The pause after a sender stops a frame, so that the peer sees the lines
// at rest before anything else happens.
constexpr uint32_t kStopPauseUs = 50000;

// How long a refused frame's link code 13 stays on the line: longer than a
// polling sender's pause (100 ms) plus a burst of reads.
constexpr uint32_t kRefusalHoldUs = 150000;

uint16_t DataRegister() { return static_cast<uint16_t>(portaddr); }
uint16_t StatusRegister() { return static_cast<uint16_t>(portaddr1); }

// The nibble the peer drives on D0-D3, as status bits 3-6 show it.
uint8_t PeerNibble() { return static_cast<uint8_t>((ReadPort(StatusRegister()) >> 3) & 0x0F); }

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

// The first nibble of every frame: the magic's first byte is 0x18.
constexpr uint8_t kFrameStartNibble = kFrameMagic & 0x0F;

// WaitForBitFlip(1, kTransferTries) under the same policy, which also ends
// when the peer has raised its busy line with the first nibble of a frame.
// Returns 1 for the busy line low, 2 for a frame start, 0 when the budget
// ran out.
int WaitForCodeOrFrameStart() {
  int64_t bursts = static_cast<int64_t>(kTransferTries - 1) * waitPolicy.burstsPerTry;
  for (; bursts > 0; --bursts) {
    for (int32_t i = 0; i < waitPolicy.burstReads; ++i) {
      const uint8_t status = ReadPort(StatusRegister());
      if (status & kStatusBusyBit) return 1;
      if (((status >> 3) & 0x0F) == kFrameStartNibble) return 2;
    }
    platform->SleepUs(waitPolicy.pauseUs);
  }
  return 0;
}

// Sender side of one byte: four writes and reads of the handshake. Returns
// the link code, or -1 when a wait ran out.
int SendByte(uint8_t byte, bool last) {
  WritePort(DataRegister(), static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
  if (!WaitForBitFlip(0, kTransferTries)) return -1;
  WritePort(DataRegister(), static_cast<uint8_t>(byte >> 4));
  if (last && replyAnswersLastByte) {
    const int seen = WaitForCodeOrFrameStart();
    if (seen == 0) return -1;
    if (seen == 2) return kCodeGoOn;  // the peer took the frame and is replying
    return PeerNibble();
  }
  if (!WaitForBitFlip(1, kTransferTries)) return -1;
  return PeerNibble();
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

int UploadBlock(uint8_t* buffer) {
  const int32_t length = FrameLength(buffer);
  // A length the frame buffer cannot hold would read past it: nothing is
  // sent and the line is left alone.
  if (!LengthFits(length)) return kSendNoAnswer;
  const int32_t total = length + static_cast<int32_t>(kFrameOverhead);
  const int32_t checksumAt = length + static_cast<int32_t>(kHeaderSize);

  SendDisableInterrupts();
  EncodeFixed32(buffer + kMagicOffset, kFrameMagic);

  int result = kSendDelivered;
  Sums sums;
  uint32_t checksum = 0;
  int32_t position = 0;
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
    int code = SendByte(byte, position == total - 1);
    if (code < 0) {
      result = kSendNoAnswer;
      break;
    }
    if (code == kCodeWrongBlock) {
      result = kSendAborted;
      break;
    }
    if (code == kCodeEnded) {
      result = kSendEnded;
      break;
    }
    if (code == kCodeResend) {
      sums = Sums();
      position = 0;
      continue;
    }
    ++position;
  }
  if (result != kSendDelivered) {
    WritePort(DataRegister(), 0);
    platform->SleepUs(kStopPauseUs);
  }
  return result;
}

int DownloadBlock(uint8_t* buffer, FrameCheck check) {
  const int32_t expected = FrameBlock(buffer);
  int32_t position = 0;
  uint32_t shift = 0;
  int32_t length = 0;
  int32_t received = 0;
  Sums sums;
  int failures = 0;
  int result = kRecvFailed;

  SendDisableInterrupts();
  for (;;) {
    int value = ReceiveByte();
    if (value < 0) {
      result = kRecvFailed;
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
      WritePort(DataRegister(), kCodeGoOn);
      result = kRecvFailed;
      break;
    }
    if (position != length + static_cast<int32_t>(kFrameOverhead)) {
      WritePort(DataRegister(), kCodeGoOn);
      continue;
    }

    // The frame is complete: the verdict, in this order.
    if (received == kAbortBlock) {
      WritePort(DataRegister(), kCodeEnded);
      result = kRecvEnded;
      break;
    }
    if (shift != sums.Value()) {
      ++failures;
      WritePort(DataRegister(), kCodeResend);
      if (failures > kMaxChecksumFailures) {
        result = kRecvFailed;
        break;
      }
      position = 0;
      shift = 0;
      sums = Sums();
      continue;
    }
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
        result = kRecvEnded;
        break;
      }
      WritePort(DataRegister(), kCodeGoOn);
      result = kRecvOk;
      break;
    }
    if (expected == kAbortBlock) {
      WritePort(DataRegister(), kCodeEnded);
      result = kRecvEnded;
      break;
    }
    WritePort(DataRegister(), kCodeWrongBlock);
    const int64_t off = static_cast<int64_t>(received) - expected;
    result = (off >= -2 && off <= 2) ? kRecvEnded : kRecvFailed;
    break;
  }

  if (result == kRecvFailed) {
    SignalAbortTransfer();
    WritePort(DataRegister(), 0);
  }
  return result;
}

}  // namespace lpx
