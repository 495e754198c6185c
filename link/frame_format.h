// The block frame, described once for sender and receiver.
//
//   offset 0   magic 0x81422418 (wire bytes 18 24 42 81)
//   offset 4   payload length, 0..4096, 32-bit little-endian
//   offset 8   block number, signed 32-bit little-endian:
//              0 command message, 1, 2, 3, ... data, -1 abort frame
//   offset 12  payload
//   then       checksum, 32-bit little-endian: sum B << 16 | sum A
#pragma once

#include <cstddef>
#include <cstdint>

namespace lpx {

constexpr uint32_t kFrameMagic = 0x81422418;
constexpr size_t kMagicOffset = 0;
constexpr size_t kLengthOffset = 4;
constexpr size_t kBlockOffset = 8;
constexpr size_t kPayloadOffset = 12;
constexpr size_t kHeaderSize = 12;
constexpr size_t kChecksumSize = 4;
constexpr size_t kMaxPayload = 4096;
constexpr size_t kFrameOverhead = kHeaderSize + kChecksumSize;
constexpr size_t kFrameBufferSize = kMaxPayload + kFrameOverhead;
static_assert(kFrameBufferSize == 4112);

constexpr int32_t kAbortBlock = -1;

// Link codes the receiver drives on D0-D3 after every byte.
constexpr uint8_t kCodeGoOn = 0;
constexpr uint8_t kCodeEnded = 13;       // abort frame seen, or transfer refused
constexpr uint8_t kCodeWrongBlock = 14;  // wrong block number, or abort signal
constexpr uint8_t kCodeResend = 15;      // checksum failed: send the frame again

// The busy line is D4 of the data register.
constexpr uint8_t kBusyLine = 0x10;
// Status bit 7 shows the peer's busy line, inverted; bits 3-6 show the
// nibble the peer drives on D0-D3.
constexpr uint8_t kStatusBusyBit = 0x80;
inline uint8_t StatusNibble(uint8_t status) { return static_cast<uint8_t>((status >> 3) & 0x0F); }

// The first nibble of every frame: the low nibble of the magic's first
// byte, 0x18.
constexpr uint8_t kFrameStartNibble = kFrameMagic & 0x0F;
static_assert(kFrameStartNibble == 8);

inline uint32_t DecodeFixed32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void EncodeFixed32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline int32_t FrameLength(const uint8_t* frame) {
  return static_cast<int32_t>(DecodeFixed32(frame + kLengthOffset));
}
inline int32_t FrameBlock(const uint8_t* frame) {
  return static_cast<int32_t>(DecodeFixed32(frame + kBlockOffset));
}
inline void SetFrameLength(uint8_t* frame, int32_t n) {
  EncodeFixed32(frame + kLengthOffset, static_cast<uint32_t>(n));
}
inline void SetFrameBlock(uint8_t* frame, int32_t n) {
  EncodeFixed32(frame + kBlockOffset, static_cast<uint32_t>(n));
}
inline uint8_t* FramePayload(uint8_t* frame) { return frame + kPayloadOffset; }

}  // namespace lpx
