// Fuzz target: the block receiver fed an arbitrary byte stream by a peer
// on the fake port. Lengths, block numbers, magics and checksums are all
// the fuzzer's.
//
// Input: one flags byte, four bytes of a raw expected block number, then
// the byte stream the peer sends.
//   flags bits 0-2  expected block: 0, 1, 2, 5, -1, 3, 1000, or the raw one
//   flags bit 3     pass a frame check
//   flags bit 4     the frame check refuses the frame
//   flags bit 5     raw stream (the peer ignores resend and stop codes)
//   flags bits 6-7  further calls on the rest of the stream (0..3)
//
// Checked after every call: the result is 0, 3 or 5; after 0 the buffer
// holds a whole frame with the expected block number, a length of at most
// 4096 and its true checksum; after 5 the data register is back at 0; the
// frame check only ever sees intact frames; and nothing is written past
// the 4112-byte buffer (AddressSanitizer).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/frame.h"
#include "link/port.h"
#include "platform/platform.h"
#include "testing/fake_port.h"
#include "testing/frame_peer.h"
#include "testing/reset.h"

namespace lpx {
namespace {

constexpr uint16_t kBase = 0x378;

bool refuse = false;
int checks = 0;

void Require(bool condition) {
  if (!condition) abort();
}

bool CheckFrame(uint8_t* frame) {
  ++checks;
  const int32_t length = FrameLength(frame);
  Require(length >= 0 && length <= static_cast<int32_t>(kMaxPayload));
  Require(DecodeFixed32(frame + kMagicOffset) == kFrameMagic);
  Require(DecodeFixed32(frame + kPayloadOffset + length) ==
          FrameChecksum(frame + kPayloadOffset, length));
  return !refuse;
}

int32_t ExpectedBlock(uint8_t flags, const uint8_t* raw) {
  static constexpr int32_t kChoices[] = {0, 1, 2, 5, -1, 3, 1000};
  const unsigned pick = flags & 7;
  if (pick < 7) return kChoices[pick];
  return static_cast<int32_t>(DecodeFixed32(raw));
}

}  // namespace
}  // namespace lpx

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The console log goes nowhere.
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lpx;
  if (size < 5) return 0;
  const uint8_t flags = data[0];
  const int32_t expected = ExpectedBlock(flags, data + 1);
  const bool withCheck = (flags & 0x08) != 0;
  refuse = (flags & 0x10) != 0;
  const bool raw = (flags & 0x20) != 0;
  const int calls = 1 + (flags >> 6);

  ResetAllState();
  // The peer answers within one read: short bursts keep time-outs cheap.
  linkPolicy.wait = WaitPolicy{4, 100000, 1};
  FakePort port;
  port.SetRecording(false);
  platform = &port;
  portaddr = kBase;
  portaddr1 = kBase + 1;
  FramePeer peer(kBase);
  peer.Queue(std::vector<uint8_t>(data + 5, data + size)).raw = raw;
  port.SetPeer(&peer);

  // Exactly one frame buffer, so that a write past it is caught.
  uint8_t* buffer = static_cast<uint8_t*>(malloc(kFrameBufferSize));
  for (int call = 0; call < calls; ++call) {
    memset(buffer, 0xA5, kFrameBufferSize);
    SetFrameBlock(buffer, expected);
    checks = 0;
    const LinkResult result = DownloadBlock(buffer, withCheck ? CheckFrame : nullptr);
    Require(result == LinkResult::kOk || result == LinkResult::kRefused ||
            result == LinkResult::kAborted);
    Require(checks <= 1);
    if (result == LinkResult::kOk) {
      Require(!(withCheck && refuse));
      const int32_t length = FrameLength(buffer);
      Require(length >= 0 && length <= static_cast<int32_t>(kMaxPayload));
      Require(FrameBlock(buffer) == expected);
      Require(DecodeFixed32(buffer + kMagicOffset) == kFrameMagic);
      Require(DecodeFixed32(buffer + kPayloadOffset + length) ==
              FrameChecksum(buffer + kPayloadOffset, length));
      Require(port.Register(kBase) == kCodeGoOn);
    } else if (result == LinkResult::kRefused) {
      const uint8_t code = port.Register(kBase);
      Require(code == kCodeEnded || code == kCodeWrongBlock);
    } else {
      Require(port.Register(kBase) == 0);
    }
    if (peer.AllSent()) break;
  }
  free(buffer);
  port.SetPeer(nullptr);
  platform = nullptr;
  return 0;
}
