// The bare nibble handshake, without frames, checksums or link codes that
// mean anything: the baseline that the benchmarks compare framed transfers
// with. One byte is four writes, two by each side, and the same waits the
// frames use (WaitForBitFlip with tries 20 under the current wait policy).
#pragma once

#include <cstdint>

#include "link/frame_format.h"
#include "link/port.h"

namespace lpx::bench {

// Sender side of one byte on the port at `base`: returns false when a wait
// ran out or the receiver answered anything but code 0.
inline bool RawSend(uint16_t base, uint8_t byte) {
  WritePort(base, static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
  if (!WaitForBitFlip(0, kTransferTries)) return false;
  WritePort(base, static_cast<uint8_t>(byte >> 4));
  if (!WaitForBitFlip(1, kTransferTries)) return false;
  return ((ReadPort(static_cast<uint16_t>(base + 1)) >> 3) & 0x0F) == 0;
}

// Receiver side of one byte: returns the byte, or -1 when a wait ran out.
inline int RawReceive(uint16_t base) {
  if (!WaitForBitFlip(0, kTransferTries)) return -1;
  const uint8_t low = (ReadPort(static_cast<uint16_t>(base + 1)) >> 3) & 0x0F;
  WritePort(base, kBusyLine);
  if (!WaitForBitFlip(1, kTransferTries)) return -1;
  const uint8_t high = (ReadPort(static_cast<uint16_t>(base + 1)) >> 3) & 0x0F;
  WritePort(base, 0);
  return low + 16 * high;
}

}  // namespace lpx::bench
