// Fuzz target: the block sender against a receiver on the fake port that
// answers what the fuzzer says: any link code after any byte, 15 to every
// copy for ever, silence before or in the middle of a byte, and Ctrl/C
// between copies.
//
// Input: five bytes of settings, then the payload.
//   byte 0 bit 0    the client's link policy (timed waits), else the server's
//          bit 1    the receiver vanishes at byte 4 * byte 2 (counted over
//                   every byte it received, copies included)
//          bit 2    ... in the middle of that byte
//          bit 3    from copy byte 3 % 16 on it answers 15 to every copy
//                   (for ever, unless Ctrl/C is pressed too)
//          bit 4    Ctrl/C is pressed as it answers its byte 3 / 16 + 1-th 15
//          bit 5    the length field holds 4096 + byte 1 (a length no
//                   frame buffer holds)
//          bits 6-7 block number 0, 1, -1 or byte 1
//   byte 1          see above
//   byte 2          see above
//   byte 3          see above
//   byte 4          a code the receiver answers after the byte 5 * (byte 4
//                   / 16)-th byte: 15 when the low nibble is 0, else that
//                   nibble
//
// Checked after every call: the result is one of the sender's; a length no
// buffer holds is refused without a port access; the buffer is left as it
// was but for the magic; every frame the receiver took whole is the frame
// in the buffer with its true checksum; kOk only when the last frame was
// taken with a code below 13, kRefused after a 13 and kAborted after a 14
// or after more than the eleven copies a receiver may ask for;
// after a stop the data register is 0; the call returns within
// kCallLimitUs of virtual time (port accesses cost time too), however
// often the receiver asks for the frame again; and after Ctrl/C between
// copies no further copy begins.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/session.h"
#include "link/frame.h"
#include "link/port.h"
#include "platform/platform.h"
#include "testing/fake_port.h"
#include "testing/frame_peer.h"
#include "testing/reset.h"

namespace lpx {
namespace {

constexpr uint16_t kBase = 0x378;
// What each port access costs in virtual time.
constexpr uint64_t kAccessCostUs = 5;
// The longest one call may take: a few time-outs, and a full frame sent
// again a few dozen times, fit well within it.
constexpr uint64_t kCallLimitUs = 20ull * 1000 * 1000;
// How much shorter than the client's the timed waits are here.
constexpr int64_t kTimeScale = 100;

void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "upload_block_fuzz: %s\n", what);
  abort();
}

#define LPX_UNTRACED __attribute__((no_sanitize("coverage", "address", "undefined")))

// Ends a call that runs too long. It runs at every access and takes only
// register values from the code under test: like the fake port, it is kept
// from the fuzzer's tracing and from the sanitizers.
class Watch final : public PlatformWrapper {
 public:
  explicit Watch(FakePort& port) : PlatformWrapper(&port), port_(port) {}
  LPX_UNTRACED uint8_t In(uint16_t addr) override {
    Check();
    return port_.In(addr);
  }
  LPX_UNTRACED void Out(uint16_t addr, uint8_t value) override {
    Check();
    ++writes;
    port_.Out(addr, value);
  }
  LPX_UNTRACED void SleepUs(uint32_t us) override {
    port_.SleepUs(us);
    Check();
  }
  int writes = 0;

 private:
  LPX_UNTRACED void Check() {
    if (port_.NowUs() > kCallLimitUs) Require(false, "the sender did not return in time");
  }
  FakePort& port_;
};

}  // namespace
}  // namespace lpx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lpx;
  if (size < 5) return 0;
  const uint8_t flags = data[0];
  const size_t length = size - 5 < kMaxPayload ? size - 5 : kMaxPayload;
  const bool badLength = (flags & 0x20) != 0;
  static constexpr int32_t kBlocks[] = {0, 1, kAbortBlock};
  const int32_t block = (flags >> 6) < 3 ? kBlocks[flags >> 6] : static_cast<int8_t>(data[1]);
  const bool forever = (flags & 0x08) != 0;
  const size_t foreverFrom = data[3] % 16;
  const bool ctrlC = (flags & 0x10) != 0;
  const int ctrlCAt = data[3] / 16 + 1;

  ResetAllState();
  if (flags & 1) {
    // The client's timed waits, with long pauses between short bursts so
    // that a time-out costs few accesses, and its times a hundredth as
    // long: the wait for a frame's last code reads without pausing, at
    // kAccessCostUs a read, and would take 500,000 reads to run out.
    linkPolicy = kClientLinkPolicy;
    linkPolicy.wait = WaitPolicy{4, 20000, 1};
    linkPolicy.slowPauseUs = 20000;
    linkPolicy.stepMs /= kTimeScale;
    linkPolicy.firstByteMs /= kTimeScale;
    linkPolicy.slowAfterMs /= kTimeScale;
    linkPolicy.codeHoldMs /= kTimeScale;
  } else {
    linkPolicy.wait = WaitPolicy{4, 100000, 1};
  }
  FakePort port;
  port.SetRecording(false);
  port.SetAccessCostUs(kAccessCostUs);
  Watch watch(port);
  platform = &watch;
  portaddr = kBase;
  portaddr1 = kBase + 1;
  FramePeer peer(kBase);
  port.SetPeer(&peer);
  if (flags & 2) peer.GoSilentAt(4u * data[2], (flags & 4) != 0);
  // With Ctrl/C the receiver keeps its limit of eleven copies, so that a
  // sender that goes on after Ctrl/C is told from one that never stops.
  if (forever && !ctrlC) peer.LimitCopies(0);
  const uint8_t scripted = data[4] & 0x0F;
  peer.CodeAt(5u * (data[4] >> 4), scripted == 0 ? kCodeResend : scripted);
  int resends = 0;
  size_t bytesAtCtrlC = 0;
  peer.Verdict([&](const FramePeer::Frame& frame) {
    const uint8_t standard = FramePeer::DefaultVerdict(frame);
    const uint8_t code = forever && peer.frames().size() >= foreverFrom ? kCodeResend : standard;
    if (code == kCodeResend && ++resends == ctrlCAt && ctrlC) {
      keyflag = 1;
      bytesAtCtrlC = peer.bytes().size();
    }
    return code;
  });

  // Exactly one frame buffer, so that a read past it is caught.
  uint8_t* buffer = static_cast<uint8_t*>(malloc(kFrameBufferSize));
  memset(buffer, 0xA5, kFrameBufferSize);
  memcpy(FramePayload(buffer), data + 5, length);
  SetFrameLength(buffer, badLength ? static_cast<int32_t>(kMaxPayload + 1 + data[1])
                                   : static_cast<int32_t>(length));
  SetFrameBlock(buffer, block);
  std::vector<uint8_t> before(buffer, buffer + kFrameBufferSize);

  const LinkResult result = UploadBlock(buffer);

  Require(result == LinkResult::kOk || result == LinkResult::kRefused ||
              result == LinkResult::kAborted || result == LinkResult::kTimeout ||
              result == LinkResult::kNoServer,
          "a result the sender does not give");
  if (badLength) {
    Require(result == LinkResult::kAborted && watch.writes == 0 && peer.bytes().empty(),
            "a length no buffer holds was sent");
  }
  EncodeFixed32(before.data() + kMagicOffset, kFrameMagic);
  Require(badLength || memcmp(before.data(), buffer, kFrameBufferSize) == 0,
          "the sender changed its buffer");
  for (const FramePeer::Frame& frame : peer.frames()) {
    Require(frame.checksumOk && frame.length == static_cast<int32_t>(length) &&
                frame.block == block &&
                std::equal(frame.payload.begin(), frame.payload.end(), data + 5),
            "the receiver took a frame that is not the one in the buffer");
  }
  // The receiver's lines show the last code it answered.
  const uint8_t answered = peer.Data(port);
  if (result == LinkResult::kOk) {
    Require(!peer.frames().empty() && peer.frames().back().answer < kCodeEnded,
            "a frame counted as delivered that the receiver did not take");
  } else if (!badLength) {
    Require(port.Register(kBase) == 0, "the data register is not 0 after a stop");
  }
  if (result == LinkResult::kRefused) Require(answered == kCodeEnded, "kRefused without a 13");
  if (result == LinkResult::kAborted && !badLength && !(ctrlC && bytesAtCtrlC != 0)) {
    // A 14, or a receiver that asked for more copies than one that keeps
    // to the protocol ever does (eleven).
    const size_t scriptedAt = 5u * (data[4] >> 4);
    const int asked = resends + (scripted == 0 && peer.bytes().size() > scriptedAt ? 1 : 0);
    Require(
        answered == kCodeWrongBlock || (answered == kCodeResend && asked > kMaxChecksumFailures),
        "kAborted without a 14, or before a receiver's eleven copies");
  }
  if (ctrlC && bytesAtCtrlC != 0) {
    Require(peer.bytes().size() == bytesAtCtrlC, "a copy began after Ctrl/C");
  }
  free(buffer);
  port.SetPeer(nullptr);
  platform = nullptr;
  return 0;
}
