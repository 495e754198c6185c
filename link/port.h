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

// How the waits poll: in bursts of status reads with a pause after each
// burst without success. The server polls in bursts of 9,999 reads with a
// 100 ms pause.
struct WaitPolicy {
  int32_t burstReads;    // status reads per burst
  uint32_t pauseUs;      // pause after a burst without success
  int32_t burstsPerTry;  // bursts that one unit of `tries` stands for
};
constexpr WaitPolicy kServerWaitPolicy{9999, 100000, 1};

// What one end of the link does differently from the other, passed to the
// frame sender and receiver as leveldb passes its Options: the server's
// end runs on kServerLinkPolicy, the client's on the client's own policy.
struct LinkPolicy {
  WaitPolicy wait;  // every wait, sending and receiving
  // A sender's waits. 0: counted like every wait of a receiver, (tries - 1)
  // x wait.burstsPerTry bursts, and the link code read anew after the wait
  // that saw the peer's line fall. Otherwise timed: each handshake step
  // gets this many milliseconds, the code is taken from the very read that
  // shows the line low, and the wait for a frame's last code reads without
  // pausing (a refusal stands on the line only until the peer lowers it).
  int64_t stepMs = 0;
  // Timed waits only: how long the peer may take to bring its line to rest
  // before a frame, and to take up a frame's first byte.
  int64_t firstByteMs = 0;
  // Timed waits only: once a wait has run this long, it pauses slowPauseUs
  // after each burst instead of wait.pauseUs.
  int64_t slowAfterMs = 0;
  uint32_t slowPauseUs = 0;
  // After a frame's last byte, the peer's busy line raised with the first
  // nibble of a frame counts as link code 0 followed by the start of its
  // reply. A peer that answers at once lowers its line with the last code
  // and raises it for its own frame within microseconds, and a sender that
  // was not reading just then would wait in vain for the line to fall.
  // Before it has read the high nibble the peer shows 0x10 (nibble 0), and
  // its only other raised value is the line signal 0x1E, so the nibble 8
  // cannot be mistaken.
  bool frameStartAnswersLastByte = false;
  // After answering a frame's last byte this end keeps its busy line low
  // this long before it sends (0: no hold), so that a peer polling with
  // long pauses sees that code before the line rises again: codeHoldMs
  // after a refusal or the abort signal, acceptHoldMs after link code 0.
  // A peer that takes the start of a frame for code 0 needs no hold after
  // it: the line shows the code until the frame starts, and the frame start
  // until the peer takes up its first nibble.
  int64_t codeHoldMs = 0;
  int64_t acceptHoldMs = 0;
};
// The server takes a client's frame start for the code of its reply's last
// byte too: a client that answers and sends its next command at once would
// otherwise leave the server waiting out its whole budget for a code it
// slept through, and the reply counted as lost.
constexpr LinkPolicy kServerLinkPolicy{.wait = kServerWaitPolicy,
                                       .frameStartAnswersLastByte = true};
extern LinkPolicy linkPolicy;

// When not 0: the time (NowMs) at which every wait gives up, whatever its
// own budget, so that a peer answering just within each wait cannot
// stretch an exchange for hours. The client bounds its frames and replies
// with it; the server never sets it.
extern int64_t waitDeadlineMs;

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

// Probes the ports at `bases`, in order, as FindPort probes the LPT ports:
// a port whose access is refused is passed over at once. Returns the index
// of the port that answered (portaddr and portaddr1 then describe it), or
// -1 after 150 cycles or Ctrl/C.
int ProbePorts(const uint16_t* bases, int count);

// When a register access has failed (portFault set): logs which call
// failed and why, clears the fault and returns true.
bool ReportPortFault();

// What a wait looks for on the status register.
enum class Awaited : uint8_t {
  kRaised,               // the peer's busy line raised (status bit 7 clear)
  kLowered,              // the peer's busy line low (status bit 7 set)
  kLoweredOrFrameStart,  // low, or raised with the first nibble of a frame
};

// How long a wait may poll: `tries` counted as (tries - 1) x
// linkPolicy.wait.burstsPerTry bursts, or, when `ms` is not negative, a
// time in milliseconds.
struct WaitBudget {
  int tries = 0;
  int64_t ms = -1;
  bool spin = false;  // timed: read on without pausing between bursts
};
constexpr WaitBudget Tries(int tries) { return WaitBudget{.tries = tries}; }
constexpr WaitBudget Within(int64_t ms, bool spin = false) {
  return WaitBudget{.ms = ms, .spin = spin};
}

// Polls the status register in bursts of linkPolicy.wait.burstReads reads
// until a reading shows `what`, and returns that reading, or -1 when the
// budget ran out. A counted wait pauses after every burst without success
// (a budget of no bursts returns at once without reading); a timed one
// pauses wait.pauseUs (slowPauseUs once it has run slowAfterMs) unless it
// spins.
int WaitForStatus(Awaited what, const WaitBudget& budget);

// Waits until status bit 7 equals `wanted`, within (tries - 1) x
// linkPolicy.wait.burstsPerTry bursts. Returns 1 when seen, 0 when the
// budget ran out (tries <= 1: at once, without reading).
int WaitForBitFlip(int wanted, int tries);

// Waits without a time limit for the peer to raise its busy line, polling
// every kQuickPollUs for the first `quickPolls` polls and every 50 ms after
// them. Returns 1 when raised, 0 when Ctrl/C was seen (at the next poll).
int WaitForStatusBit(int quickPolls = 0);

void SendDisableInterrupts();
void SignalConnectionError();
void SignalAbortTransfer();

constexpr int kFindPortCycles = 150;
constexpr int kTransferTries = 20;
constexpr int kProbeTries = 2;
constexpr uint32_t kIdlePollUs = 50000;
// A status read and a sleep this short cost about 1% of a core at 1 us per
// register access, and a raised line is seen within about half a
// millisecond (the system's sleeps run some 60 us long).
constexpr uint32_t kQuickPollUs = 500;

}  // namespace lpx
