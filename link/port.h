// Port access, discovery, the bounded waits on the busy line and the two
// line signals. The only code that reaches the port registers.
#pragma once

#include <csignal>
#include <cstdint>

namespace lpx {

// --- Link globals ---------------------------------------------------------
extern int portaddr;                   // data register of the port in use; 0 none
extern int portaddr1;                  // status register, portaddr + 1
extern char portnr[2];                 // "1", "2" or "3"; empty until set
extern volatile sig_atomic_t keyflag;  // set by the Ctrl/C handler, never cleared
extern int abortClicked;               // copy of keyflag taken at polling points

// How the waits poll. The server polls in bursts of 9,999 reads with a
// 100 ms pause after each burst; a client, which must see a peer that
// answers within microseconds, polls with short pauses and correspondingly
// more bursts so that its time budget stays about the same.
struct WaitPolicy {
  int32_t burstReads;    // status reads per burst
  uint32_t pauseUs;      // pause after a burst without success
  int32_t burstsPerTry;  // bursts that one unit of `tries` stands for
};
constexpr WaitPolicy kServerWaitPolicy{9999, 100000, 1};
// The client's policy. A server that answers at once lowers its busy line
// after a frame's last byte and raises it again for its reply within
// microseconds, so the client polls in short bursts and sleeps only the
// shortest real pause the system gives (a 20 us request sleeps about
// 75-100 us). Its budget per wait of 20 tries is 19 x 200 bursts: about
// 2.5 s at 1 us per register access, and still about 0.4 s at no access
// cost (the simulated cable with LPXFER_CABLE_NS=0), several times the
// server's 100 ms pause.
constexpr WaitPolicy kClientWaitPolicy{500, 20, 200};
extern WaitPolicy waitPolicy;

// Puts the link globals back to their start values.
void ResetLinkPortState();

// --- Operations -----------------------------------------------------------
uint8_t ReadPort(uint16_t port);
void WritePort(uint16_t port, uint8_t value);

// Maps an LPT number to its base address (1 0x3BC, 2 0x378, 3 0x278; any
// other number is taken as 2 and sets portnr to "2"), asks for access to its
// three addresses, and returns the base, or 0 when access was refused.
// Does not set portaddr.
int GetPortAddress(int number);

// Probes LPT3, LPT2, LPT1 for a peer with its busy line raised, for at most
// 150 cycles. Returns the base address (portaddr, portaddr1 and portnr then
// describe it) or 0.
int FindPort();

// Waits until status bit 7 equals `wanted`, within (tries - 1) bursts.
// Returns 1 when seen, 0 when the budget ran out (tries <= 1: at once,
// without reading).
int WaitForBitFlip(int wanted, int tries);

// Waits without a time limit for the peer to raise its busy line, polling
// every 50 ms. Returns 1 when raised, 0 when Ctrl/C was seen.
int WaitForStatusBit();

void SendDisableInterrupts();
void SignalConnectionError();
void SignalAbortTransfer();

constexpr int kFindPortCycles = 150;
constexpr int kTransferTries = 20;
constexpr int kProbeTries = 2;
constexpr uint32_t kIdlePollUs = 50000;

}  // namespace lpx
