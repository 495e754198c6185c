#include "link/port.h"

#include <cstdio>
#include <cstring>

#include "link/frame_format.h"
#include "log/memo.h"
#include "platform/clock.h"
#include "platform/platform.h"

namespace lpx {

int portaddr = 0;
int portaddr1 = 0;
char portnr[2] = {0, 0};
volatile sig_atomic_t keyflag = 0;
int abortClicked = 0;
LinkPolicy linkPolicy = kServerLinkPolicy;
int64_t waitDeadlineMs = 0;

namespace {
constexpr uint16_t kLptBase[4] = {0, 0x3BC, 0x378, 0x278};
constexpr uint8_t kControlNoInterrupts = 0x04;
constexpr uint32_t kSignalPauseUs = 50000;
constexpr uint32_t kAbortPauseUs = 100000;
}  // namespace

void ResetLinkPortState() {
  portaddr = 0;
  portaddr1 = 0;
  portnr[0] = portnr[1] = 0;
  keyflag = 0;
  abortClicked = 0;
  linkPolicy = kServerLinkPolicy;
  waitDeadlineMs = 0;
}

uint8_t ReadPort(uint16_t port) { return platform->In(port); }

void WritePort(uint16_t port, uint8_t value) { platform->Out(port, value); }

int GetPortAddress(int number) {
  if (number < 1 || number > 3) {
    number = 2;
    portnr[0] = '2';
    portnr[1] = 0;
  }
  uint16_t base = kLptBase[number];
  return platform->Permit(base) ? base : 0;
}

int ProbePorts(const uint16_t* bases, int count) {
  abortClicked = 0;
  for (int cycle = 0; cycle < kFindPortCycles; ++cycle) {
    if (abortClicked) return -1;
    for (int i = 0; i < count; ++i) {
      portaddr = platform->Permit(bases[i]) ? bases[i] : 0;
      if (portaddr == 0) continue;
      portaddr1 = portaddr + 1;
      SendDisableInterrupts();
      WritePort(static_cast<uint16_t>(portaddr), 0);
      if (WaitForBitFlip(0, kProbeTries)) return i;
      abortClicked = keyflag;
    }
  }
  return -1;
}

int FindPort() {
  constexpr uint16_t kProbeOrder[3] = {kLptBase[3], kLptBase[2], kLptBase[1]};
  const int found = ProbePorts(kProbeOrder, 3);
  if (found < 0) return 0;
  portnr[0] = static_cast<char>('3' - found);
  portnr[1] = 0;
  return portaddr;
}

bool ReportPortFault() {
  if (portFault.call == nullptr) return false;
  char line[160];
  snprintf(line, sizeof line, "\n*** Port access failed: %s: %s", portFault.call,
           strerror(portFault.error));
  portFault = PortFault{};
  AddToMemo(line);
  return true;
}

int WaitForStatus(Awaited what, const WaitBudget& budget) {
  const uint16_t status = static_cast<uint16_t>(portaddr1);
  const uint8_t low = what == Awaited::kRaised ? 0 : kStatusBusyBit;
  const bool frameStart = what == Awaited::kLoweredOrFrameStart;
  const bool timed = budget.ms >= 0;
  const int64_t bursts = static_cast<int64_t>(budget.tries - 1) * linkPolicy.wait.burstsPerTry;
  const int64_t start = timed ? NowMs() : 0;
  for (int64_t burst = 0; timed || burst < bursts; ++burst) {
    for (int32_t i = 0; i < linkPolicy.wait.burstReads; ++i) {
      const uint8_t reading = ReadPort(status);
      if (portFault.call != nullptr && ReportPortFault()) return -1;
      if ((reading & kStatusBusyBit) == low) return reading;
      if (frameStart && StatusNibble(reading) == kFrameStartNibble) return reading;
    }
    uint32_t pauseUs = linkPolicy.wait.pauseUs;
    if (waitDeadlineMs != 0 && NowMs() >= waitDeadlineMs) return -1;
    if (timed) {
      const int64_t elapsed = NowMs() - start;
      if (elapsed >= budget.ms) return -1;
      if (budget.spin) continue;
      if (elapsed >= linkPolicy.slowAfterMs) pauseUs = linkPolicy.slowPauseUs;
    }
    platform->SleepUs(pauseUs);
  }
  return -1;
}

int WaitForBitFlip(int wanted, int tries) {
  return WaitForStatus(wanted ? Awaited::kLowered : Awaited::kRaised, Tries(tries)) >= 0 ? 1 : 0;
}

// A port whose accesses keep failing is logged once, until one succeeds.
int WaitForStatusBit(int quickPolls) {
  bool failing = false;
  for (;;) {
    const uint8_t reading = ReadPort(static_cast<uint16_t>(portaddr1));
    if (portFault.call == nullptr) {
      failing = false;
      if ((reading & kStatusBusyBit) == 0) return 1;
    } else if (failing) {
      portFault = PortFault{};
    } else {
      failing = ReportPortFault();
    }
    const bool quick = quickPolls > 0;
    if (quick) --quickPolls;
    platform->SleepUs(quick ? kQuickPollUs : kIdlePollUs);
    abortClicked = keyflag;
    if (abortClicked) return 0;
  }
}

void SendDisableInterrupts() {
  WritePort(static_cast<uint16_t>(portaddr + 2), kControlNoInterrupts);
}

void SignalConnectionError() {
  const uint16_t data = static_cast<uint16_t>(portaddr);
  for (int i = 0; i < 2; ++i) {
    WritePort(data, kCodeWrongBlock);
    platform->SleepUs(kSignalPauseUs);
    WritePort(data, kCodeWrongBlock | kBusyLine);
    platform->SleepUs(kSignalPauseUs);
  }
}

void SignalAbortTransfer() {
  const uint16_t data = static_cast<uint16_t>(portaddr);
  WritePort(data, kCodeWrongBlock | kBusyLine);
  platform->SleepUs(kAbortPauseUs);
  WritePort(data, kCodeWrongBlock);
  platform->SleepUs(kAbortPauseUs);
}

}  // namespace lpx
