#include "client/session.h"

#include <cstring>

#include "link/command.h"
#include "link/frame_format.h"
#include "link/port.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace lpx {

int64_t replyBudgetMs = kDefaultReplyBudgetMs;
int framesSent = 0;

namespace {

// Waits poll in the bursts and short pauses of the client's wait policy
// (a server at the far end answers within microseconds; a short pause also
// lets a busy machine run the server) and, once this much time has passed
// without an answer, in slower steps.
constexpr int64_t kSpinMs = 300;
constexpr uint32_t kSlowPollUs = 1000;
// The pause after a frame that stopped early, as the server's sender makes.
constexpr uint32_t kStopPauseUs = 50000;
// A server that signalled counts as settled after this much quiet.
constexpr int64_t kQuietMs = 300;
constexpr int64_t kQuietBudgetMs = 3000;
// Longer than a server needs to time out an exchange with a vanished client
// and signal it (about 2.5 s).
constexpr uint32_t kSettleUs = 2800000;

uint16_t DataRegister() { return static_cast<uint16_t>(portaddr); }
uint16_t StatusRegister() { return static_cast<uint16_t>(portaddr1); }

uint8_t Nibble(uint8_t status) { return static_cast<uint8_t>((status >> 3) & 0x0F); }
// Status bit 7 shows the server's busy line inverted.
bool ServerRaised(uint8_t status) { return (status & kStatusBusyBit) == 0; }
bool ServerLowered(uint8_t status) { return (status & kStatusBusyBit) != 0; }

// Polls the status register until `wanted` accepts a reading and returns
// that reading, or -1 when `budgetMs` ran out.
// With `spin` it reads without pausing: for a link code that may stand on
// the line only for microseconds.
template <typename Wanted>
int PollStatus(Wanted wanted, int64_t budgetMs, bool spin = false) {
  const int64_t start = NowMs();
  const int32_t burst = linkPolicy.wait.burstReads > 0 ? linkPolicy.wait.burstReads : 1;
  for (;;) {
    for (int32_t i = 0; i < burst; ++i) {
      const uint8_t status = ReadPort(StatusRegister());
      if (wanted(status)) return status;
    }
    const int64_t elapsed = NowMs() - start;
    if (elapsed >= budgetMs) return -1;
    if (!spin) platform->SleepUs(elapsed >= kSpinMs ? kSlowPollUs : linkPolicy.wait.pauseUs);
  }
}

void HoldAfterLastCode() {
  if (lastCodeMs == 0) return;
  const int64_t left = lastCodeMs + kCodeHoldMs - NowMs();
  if (left > 0) platform->SleepUs(static_cast<uint32_t>(left) * 1000);
  lastCodeMs = 0;
}

// Waits until the server's line has been low for kQuietMs (it ends its
// line signals with 0), within kQuietBudgetMs.
void WaitForQuiet() {
  const int64_t start = NowMs();
  int64_t quietSince = -1;
  while (NowMs() - start < kQuietBudgetMs) {
    const uint8_t status = ReadPort(StatusRegister());
    const int64_t now = NowMs();
    if (!ServerLowered(status)) {
      quietSince = -1;
    } else if (quietSince < 0) {
      quietSince = now;
    } else if (now - quietSince >= kQuietMs) {
      return;
    }
    platform->SleepUs(kSlowPollUs);
  }
}

// Sums of the frame checksum; both wrap at 65536.
struct Sums {
  uint16_t a = 1;
  uint16_t b = 0;
  void Add(uint8_t byte) {
    a = static_cast<uint16_t>(a + byte);
    b = static_cast<uint16_t>(b + a);
  }
  uint32_t Value() const { return (static_cast<uint32_t>(b) << 16) | a; }
};

}  // namespace

void ResetSessionState() {
  lastCodeMs = 0;
  replyBudgetMs = kDefaultReplyBudgetMs;
  framesSent = 0;
}

bool OpenPort(int number) {
  const int base = GetPortAddress(number);
  if (base == 0) return false;
  portaddr = base;
  portaddr1 = base + 1;
  SendDisableInterrupts();
  WritePort(DataRegister(), 0);
  return true;
}

void ClosePort() {
  if (portaddr == 0) return;
  HoldAfterLastCode();
  WritePort(DataRegister(), 0);
}

LinkResult SendFrame(uint8_t* frame, bool* replyBegun) {
  if (replyBegun != nullptr) *replyBegun = false;
  const int32_t length = FrameLength(frame);
  if (length < 0 || length > static_cast<int32_t>(kMaxPayload)) return LinkResult::kAborted;
  const bool firstFrame = framesSent == 0;
  ++framesSent;
  HoldAfterLastCode();
  // A server with its line raised is still in an earlier exchange, and would
  // take the first nibble for its acknowledgement.
  if (PollStatus(ServerLowered, kFirstByteBudgetMs) < 0) {
    return firstFrame ? LinkResult::kNoServer : LinkResult::kTimeout;
  }

  SendDisableInterrupts();
  EncodeFixed32(frame + kMagicOffset, kFrameMagic);
  const int32_t total = length + static_cast<int32_t>(kFrameOverhead);
  const int32_t checksumAt = length + static_cast<int32_t>(kHeaderSize);
  Sums sums;
  uint32_t checksum = 0;
  int32_t position = 0;
  LinkResult result = LinkResult::kOk;
  while (position < total) {
    uint8_t byte;
    if (position < static_cast<int32_t>(kHeaderSize)) {
      byte = frame[position];
    } else if (position < checksumAt) {
      byte = frame[position];
      sums.Add(byte);
    } else {
      if (position == checksumAt) checksum = sums.Value();
      byte = static_cast<uint8_t>(checksum >> (8 * (position - checksumAt)));
    }

    WritePort(DataRegister(), static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
    const int64_t ackBudget = position == 0 ? kFirstByteBudgetMs : kStepBudgetMs;
    if (PollStatus(ServerRaised, ackBudget) < 0) {
      result = (firstFrame && position == 0) ? LinkResult::kNoServer : LinkResult::kTimeout;
      break;
    }
    WritePort(DataRegister(), static_cast<uint8_t>(byte >> 4));
    const bool lastByte = position + 1 == total;
    // Before the server has seen the high nibble its line shows the
    // acknowledgement 0x10 (nibble 0); the abort signal rises with 0x1E.
    // After the last byte, a raised line with nibble 8 can only be the
    // first byte of the reply frame, which the server starts after code 0;
    // and a refusal (13) stands only until the server drives its lines to
    // 0, so that wait reads without pausing.
    const int status = PollStatus(
        [lastByte](uint8_t s) {
          return ServerLowered(s) || (lastByte && Nibble(s) == kFrameStartNibble);
        },
        kStepBudgetMs, lastByte);
    if (status < 0) {
      result = LinkResult::kTimeout;
      break;
    }
    uint8_t code = kCodeGoOn;
    if (ServerLowered(static_cast<uint8_t>(status))) {
      code = Nibble(static_cast<uint8_t>(status));
    } else if (replyBegun != nullptr) {
      *replyBegun = true;
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

LinkResult SendCommand(const char* text) {
  const size_t length = strnlen(text, kMaxPayload + 1);
  if (length > kMaxPayload) return LinkResult::kAborted;
  memcpy(FramePayload(outdbuf), text, length);
  SetFrameLength(outdbuf, static_cast<int32_t>(length));
  SetFrameBlock(outdbuf, 0);
  return SendFrame(outdbuf, nullptr);
}

void SettleAfterFailure() {
  WaitForQuiet();
  platform->SleepUs(kSettleUs);
}

LinkResult ReceiveFrame(int32_t block, int64_t budgetMs, FrameCheck check) {
  const int status = PollStatus(ServerRaised, budgetMs);
  if (status < 0) return LinkResult::kTimeout;
  if (Nibble(static_cast<uint8_t>(status)) != kFrameStartNibble) {
    // The abort or connection-error signal (0x1E), not a frame.
    WaitForQuiet();
    return LinkResult::kSignal;
  }
  SetFrameBlock(indbuf, block);
  const LinkResult received = DownloadBlock(indbuf, check);
  lastCodeMs = NowMs();
  if (received == LinkResult::kOk) return LinkResult::kOk;
  return block == kAbortBlock ? LinkResult::kRefused : LinkResult::kAborted;
}

LinkResult ReceiveReply(char* text, size_t size) {
  for (;;) {
    const LinkResult result = ReceiveFrame(0, replyBudgetMs);
    if (result != LinkResult::kOk) return result;
    const int32_t length = FrameLength(indbuf);
    if (length < 0 || static_cast<size_t>(length) >= size) return LinkResult::kAborted;
    memcpy(text, FramePayload(indbuf), static_cast<size_t>(length));
    text[length] = '\0';
    if (strcmp(text, kReplyWait) != 0) return LinkResult::kOk;
  }
}

const char* LinkResultText(LinkResult result) {
  switch (result) {
    case LinkResult::kOk:
      return "ok";
    case LinkResult::kNoServer:
      return "the server does not answer (is lpxferd running on this port?)";
    case LinkResult::kTimeout:
      return "the server stopped answering (time-out)";
    case LinkResult::kRefused:
      return "the server refused the frame";
    case LinkResult::kAborted:
      return "the transfer broke off (aborted, out of step or too many checksum errors)";
    case LinkResult::kSignal:
      return "the server signalled a link error and dropped the exchange";
  }
  return "unknown link result";
}

}  // namespace lpx
