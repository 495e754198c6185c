// The client's end of the link: its link policy, opening and closing the
// port, and the command helpers over the link's frame sender and receiver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/frame.h"
#include "link/port.h"
#include "platform/clock.h"

namespace lpx {

// How the client polls. A server that answers at once lowers its busy line
// after a frame's last byte and raises it again for its reply within
// microseconds, so the client polls in short bursts and sleeps only the
// shortest real pause the system gives (a 20 us request sleeps about
// 75-100 us). Its receiving budget per wait of 20 tries is 19 x 200 bursts:
// about 2.5 s at 1 us per register access, and still about 0.4 s at no
// access cost (the simulated cable with LPXFER_CABLE_NS=0), several times
// the server's 100 ms pause.
constexpr WaitPolicy kClientWaitPolicy{500, 20, 200};

// The client's link policy. Its sender's waits are timed: a handshake step
// gets 2.5 s, like the server's 19 bursts and pauses; the server may take
// 3.5 s to take up a frame's first byte, since its idle poll runs every
// 50 ms and a server still timing out an exchange with a client that
// vanished needs up to about 2.5 s more; after 300 ms without an answer a
// wait pauses 1 ms between bursts. After a frame's last byte the client
// takes the start of the server's reply for link code 0.
//
// After answering the last byte of a server's frame with 0 it sends its
// next frame at once: the server takes that frame's start for the code
// when it slept through the code itself. A server that does not
// (kLongHoldMs, the option --long-hold), and every server after a refusal,
// must see the code: the line stays low for one server pause (100 ms) plus
// one burst of 9,999 reads (about 10 ms at 1 us per access), with a margin
// for a late wake-up.
constexpr int64_t kLongHoldMs = 150;
constexpr LinkPolicy kClientLinkPolicy{
    .wait = kClientWaitPolicy,
    .stepMs = 2500,
    .firstByteMs = 3500,
    .slowAfterMs = 300,
    .slowPauseUs = 1000,
    .frameStartAnswersLastByte = true,
    .codeHoldMs = kLongHoldMs,
    .acceptHoldMs = 0,
};

// Default budget for a reply, from the wait for it to its end, keep-alives
// included (a listing or a text count may take long; the server sends
// "WAIT" every second while it counts), and for each frame sent or received.
constexpr int64_t kDefaultReplyBudgetMs = 60000;
// A frame, sent or received, has at least this long: more than the 3.5 s
// a server may take to take up a frame's first byte.
constexpr int64_t kMinFrameBudgetMs = 10000;

// --- Client link state -----------------------------------------------------
extern int64_t replyBudgetMs;  // how long a reply, or a frame, may take (-t)
extern int framesSent;  // frames sent in this session (the first one may meet a stale server)

void ResetSessionState();

// NowMs() (platform/clock.h) gives the platform clock in milliseconds.

struct PortChoice;

// Opens the named port under the client's link policy: permission for its
// registers (a device becomes the platform), control register 4, data
// register 0. False when it cannot be opened, with the reason in `why`
// (empty when access to an LPT port was refused).
bool OpenPort(const PortChoice& choice, char* why, size_t size);

// Waits out the code hold and leaves the data register at 0.
void ClosePort();

// Sends the frame in `frame` (length, block number and payload filled in)
// within replyBudgetMs, at least kMinFrameBudgetMs.
// `replyBegun` (may be null) tells whether the server already began its
// reply frame after the last byte. kNoServer only when nobody took up the
// first frame of the session; later it is a time-out.
LinkResult SendFrame(uint8_t* frame, bool* replyBegun);

// Sends a command message.
LinkResult SendCommand(const char* text);

// Waits until a server that failed an exchange has timed it out and gone
// back to waiting for commands.
void SettleAfterFailure();

// Waits up to `budgetMs` for the server to start a frame, then receives it
// into indbuf with block number `block` expected (-1 refuses it); the
// whole frame within the longest of budgetMs, replyBudgetMs and
// kMinFrameBudgetMs (else kTimeout).
LinkResult ReceiveFrame(int32_t block, int64_t budgetMs, FrameCheck check = nullptr);

// Receives one reply text into `text` (size bytes with terminator), passing
// over the "WAIT" keep-alives, all within replyBudgetMs (else kTimeout). A
// server sends one a second while it counts, so after one more than the
// seconds of that budget a "WAIT" is the reply. A reply that does not fit
// is kAborted.
LinkResult ReceiveReply(char* text, size_t size);

// A human-readable description of a link failure.
const char* LinkResultText(LinkResult result);

}  // namespace lpx
