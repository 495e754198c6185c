#include "client/session.h"

#include <algorithm>
#include <cstring>

#include "link/command.h"
#include "link/port_select.h"
#include "platform/platform.h"

namespace lpx {

int64_t replyBudgetMs = kDefaultReplyBudgetMs;
int framesSent = 0;

namespace {

// A server that signalled counts as settled after this much quiet, polled
// every kQuietPollUs.
constexpr int64_t kQuietMs = 300;
constexpr int64_t kQuietBudgetMs = 3000;
constexpr uint32_t kQuietPollUs = 1000;
// Longer than a server needs to time out an exchange with a vanished client
// and signal it (about 2.5 s).
constexpr uint32_t kSettleUs = 2800000;

// Waits until the server's line has been low for kQuietMs (it ends its
// line signals with 0), within kQuietBudgetMs.
void WaitForQuiet() {
  const int64_t start = NowMs();
  int64_t quietSince = -1;
  while (NowMs() - start < kQuietBudgetMs) {
    const uint8_t status = ReadPort(static_cast<uint16_t>(portaddr1));
    const int64_t now = NowMs();
    if ((status & kStatusBusyBit) == 0) {
      quietSince = -1;
    } else if (quietSince < 0) {
      quietSince = now;
    } else if (now - quietSince >= kQuietMs) {
      return;
    }
    platform->SleepUs(kQuietPollUs);
  }
}

// Bounds every wait of the link by a deadline for its lifetime; nested in
// another, the outer one stands.
class Deadline {
 public:
  explicit Deadline(int64_t ms) : saved_(waitDeadlineMs) {
    if (saved_ == 0) waitDeadlineMs = NowMs() + ms;
  }
  ~Deadline() { waitDeadlineMs = saved_; }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  bool Passed() const { return NowMs() >= waitDeadlineMs; }

 private:
  int64_t saved_;
};

}  // namespace

void ResetSessionState() {
  codeHeldUntilMs = 0;
  replyBudgetMs = kDefaultReplyBudgetMs;
  framesSent = 0;
}

bool OpenPort(const PortChoice& choice, char* why, size_t size) {
  const int base = OpenChosenPort(choice, nullptr, why, size);
  if (base == 0) return false;
  portaddr = base;
  portaddr1 = base + 1;
  linkPolicy = kClientLinkPolicy;
  SendDisableInterrupts();
  WritePort(static_cast<uint16_t>(portaddr), 0);
  return true;
}

void ClosePort() {
  if (portaddr == 0) return;
  WaitOutCodeHold();
  WritePort(static_cast<uint16_t>(portaddr), 0);
}

LinkResult SendFrame(uint8_t* frame, bool* replyBegun) {
  const bool firstFrame = framesSent++ == 0;
  const Deadline deadline(std::max(replyBudgetMs, kMinFrameBudgetMs));
  const LinkResult result = UploadBlock(frame, replyBegun);
  // Once a server has answered, a first byte nobody takes up is a server
  // that stopped answering.
  if (result == LinkResult::kNoServer && !firstFrame) return LinkResult::kTimeout;
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
  const Deadline deadline(std::max({budgetMs, replyBudgetMs, kMinFrameBudgetMs}));
  const int status = WaitForStatus(Awaited::kRaised, Within(budgetMs));
  if (status < 0) return LinkResult::kTimeout;
  if (StatusNibble(static_cast<uint8_t>(status)) != kFrameStartNibble) {
    // The abort or connection-error signal (0x1E), not a frame.
    WaitForQuiet();
    return LinkResult::kSignal;
  }
  SetFrameBlock(indbuf, block);
  if (DownloadBlock(indbuf, check) == LinkResult::kOk) return LinkResult::kOk;
  if (deadline.Passed()) return LinkResult::kTimeout;
  return block == kAbortBlock ? LinkResult::kRefused : LinkResult::kAborted;
}

LinkResult ReceiveReply(char* text, size_t size) {
  const Deadline deadline(replyBudgetMs);
  const int64_t maxWaits = replyBudgetMs / 1000 + 1;
  for (int64_t waits = 0;; ++waits) {
    const LinkResult result = ReceiveFrame(0, replyBudgetMs);
    if (result != LinkResult::kOk) return result;
    const int32_t length = FrameLength(indbuf);
    if (length < 0 || static_cast<size_t>(length) >= size) return LinkResult::kAborted;
    memcpy(text, FramePayload(indbuf), static_cast<size_t>(length));
    text[length] = '\0';
    if (strcmp(text, kReplyWait) != 0 || waits == maxWaits) return LinkResult::kOk;
  }
}

const char* LinkResultText(LinkResult result) {
  // In the order of LinkResult.
  static constexpr const char* kTexts[] = {
      "ok",
      "the server does not answer (is lpxferd running on this port?)",
      "the server stopped answering (time-out)",
      "the server refused the frame",
      "the transfer broke off (aborted, out of step or too many checksum errors)",
      "the server signalled a link error and dropped the exchange",
  };
  static_assert(sizeof kTexts / sizeof kTexts[0] == static_cast<size_t>(LinkResult::kSignal) + 1);
  const auto index = static_cast<size_t>(result);
  return index < sizeof kTexts / sizeof kTexts[0] ? kTexts[index] : "unknown link result";
}

}  // namespace lpx
