// The link from the client's side: opening the port, sending frames and
// commands, receiving replies and data frames, and the timing rules that
// keep the client in step with a server that polls in bursts with pauses.
//
// Two timing rules belong to the client:
//  - After answering the last byte of a frame that the server sent, the
//    client keeps its busy line low for kCodeHoldMs before it raises it
//    again: the server reads that link code with bursts of reads and 100 ms
//    pauses, and a code that comes and goes within one pause is never seen.
//  - When the client sends, it reads each link code from the very status
//    read that shows the server's busy line low, and after a frame's last
//    byte it takes the server's busy line raised with nibble 8 (the low
//    nibble of a frame's first byte, 0x18) as link code 0 followed by the
//    start of the reply: the server writes that code and raises its line
//    again within microseconds when it answers at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/frame.h"
#include "link/port.h"
#include "platform/clock.h"

namespace lpx {

// How long the busy line stays low after the client's last link code: one
// server pause (100 ms) plus one burst of 9,999 reads (about 10 ms at 1 µs
// per access), with a margin for a late wake-up.
constexpr int64_t kCodeHoldMs = 150;
// Budget of one handshake step, like the server's (19 bursts and pauses).
constexpr int64_t kStepBudgetMs = 2500;
// Budget for the server to take up the first byte of a command: its idle
// poll runs every 50 ms, and a server that is still timing out an exchange
// with a client that vanished needs up to about 2.5 s more.
constexpr int64_t kFirstByteBudgetMs = 3500;
// How the client polls: a server that answers at once lowers its busy line
// after a frame's last byte and raises it again for its reply within
// microseconds, so the client polls in short bursts and sleeps only the
// shortest real pause the system gives (a 20 us request sleeps about
// 75-100 us). Its budget per wait of 20 tries is 19 x 200 bursts: about
// 2.5 s at 1 us per register access, and still about 0.4 s at no access
// cost (the simulated cable with LPXFER_CABLE_NS=0), several times the
// server's 100 ms pause.
constexpr WaitPolicy kClientWaitPolicy{500, 20, 200};
// Default budget for a reply to begin (listings and text counts take long;
// the server sends "WAIT" every second while it counts).
constexpr int64_t kDefaultReplyBudgetMs = 60000;

// --- Client link state -----------------------------------------------------
extern int64_t replyBudgetMs;  // how long to wait for a reply to begin
extern int framesSent;  // frames sent in this session (the first one may meet a stale server)

void ResetSessionState();

// NowMs() (platform/clock.h): milliseconds of the platform clock.

// Opens LPT `number` (1..3): permission for its registers, control register
// 4, data register 0. False when access was refused.
bool OpenPort(int number);

// Waits out the code hold and leaves the data register at 0.
void ClosePort();

// Sends the frame in `frame` (length, block number and payload filled in).
// `replyBegun` (may be null) tells whether the server already began its
// reply frame after the last byte.
LinkResult SendFrame(uint8_t* frame, bool* replyBegun);

// Sends a command message.
LinkResult SendCommand(const char* text);

// Waits until a server that failed an exchange has timed it out and gone
// back to waiting for commands.
void SettleAfterFailure();

// Waits up to `budgetMs` for the server to start a frame, then receives it
// into indbuf with block number `block` expected (-1 refuses it).
LinkResult ReceiveFrame(int32_t block, int64_t budgetMs, FrameCheck check = nullptr);

// Receives one reply text into `text` (size bytes with terminator), passing
// over every "WAIT" keep-alive. A reply that does not fit is kAborted.
LinkResult ReceiveReply(char* text, size_t size);

// A human-readable description of a link failure.
const char* LinkResultText(LinkResult result);

}  // namespace lpx
