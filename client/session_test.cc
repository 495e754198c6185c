// The client's end of the link: the link under the client's policy, and the
// command helpers, against the reactive peer on the fake port.
#include "client/session.h"

#include <gtest/gtest.h>

#include "link/command.h"
#include "testing/link_fixture.h"

namespace lpx {
namespace {

using enum LinkResult;

// The cable as the client program opens it.
class SessionTest : public LinkTest {
 protected:
  void FreshCable() override {
    LinkTest::FreshCable();
    ResetSessionState();
    linkPolicy = kClientLinkPolicy;
    port_.SetAccessCostUs(1);  // lets the timed waits see the clock move
  }
};

// A server that answers at once raises its line for its reply within
// microseconds of its last link code. The client reads each code from the
// very read that shows the line fall (one read where the server makes two),
// and after the last byte takes a raised line with nibble 8, and only that,
// for code 0 and the start of the reply.
TEST_F(SessionTest, TheLastCodeOrTheStartOfTheReply) {
  // Before the last byte a frame start is never taken for a code.
  peer_.CodeAt(0, kBusyLine | kFrameStartNibble);
  EXPECT_EQ(Send("OK", 0), kTimeout);
  struct {
    uint8_t code;       // after the last byte
    Bytes eagerly;      // what the server sends the moment it has answered
    LinkResult result;  // kOk: the reply has begun
  } cases[] = {
      {kCodeGoOn, BuildFrame(0, "OK A"), kOk},
      {kCodeEnded, {}, kRefused},
      {kCodeGoOn, {kCodeWrongBlock}, kTimeout},  // shows 0x1E, as the abort signal does
  };
  for (const auto& c : cases) {
    FreshCable();
    peer_.CodeAt(17, c.code);
    peer_.AnswerEagerly(true);
    if (!c.eagerly.empty()) peer_.OnFrame([&](const FramePeer::Frame&) { peer_.Queue(c.eagerly); });
    bool begun = c.result != kOk;
    EXPECT_EQ(Send("OK", 0, &begun), c.result);
    EXPECT_EQ(begun, c.result == kOk);
    EXPECT_EQ(Log(7), "r379*1 w37a=04 w378=18 r379*1 w378=01 r379*1 w378=14");
  }
}

// The client's waits are timed: 3.5 s for the first byte, 2.5 s for every
// other step, in short pauses and after 300 ms in 1 ms ones, but the last
// code it reads without pausing. Nobody at the other end is no server only
// on the first frame.
TEST_F(SessionTest, TimedWaits) {
  port_.SetPeer(nullptr);
  EXPECT_EQ(SendCommand("CONNECT"), kNoServer);
  EXPECT_NEAR(port_.NowUs(), 3500000 + 50000, 2000);
  EXPECT_EQ(port_.Sleeps().front(), 20u);
  EXPECT_EQ(Tail(port_.Sleeps(), 2), (Sleeps{1000, 50000}));
  EXPECT_EQ(SendCommand("CONNECT"), kTimeout);
  for (int at : {3, 17}) {
    FreshCable();
    peer_.GoSilentAt(at, true);
    EXPECT_EQ(Send("OK", 0), kTimeout);
    EXPECT_NEAR(port_.NowUs(), 2500000 + 50000, 2000);
    EXPECT_EQ(port_.Sleeps().size() == 1, at == 17);  // the stop pause alone
  }
}

// Replies pass over keep-alives. After the last code of a reply the client
// sends at once: the server takes its frame start for the code. With the
// long hold, and after a refusal always, it keeps its line low longer than
// one server pause and burst before it sends or closes. A line signal is no
// reply.
TEST_F(SessionTest, RepliesAndTheBusyLineLowAfterTheirLastCode) {
  char reply[8];
  for (const char* text : {"WAIT", "WAIT", "SIZE 12"}) peer_.QueueFrame(0, text);
  ASSERT_EQ(ReceiveReply(reply, sizeof reply), kOk);
  EXPECT_STREQ(reply, "SIZE 12");
  port_.ClearLog();
  ASSERT_EQ(SendCommand("LIST \\"), kOk);
  EXPECT_EQ(Log(2), "r379*1 w37a=04");
  // The block expected (-1 refuses the reply), the hold after code 0.
  const std::tuple<int32_t, int64_t, const char*> cases[] = {
      {0, 0, "w378=00"}, {0, kLongHoldMs, "s150000 w378=00"}, {kAbortBlock, 0, "s150000 w378=00"}};
  for (const auto& [block, acceptHoldMs, log] : cases) {
    linkPolicy.acceptHoldMs = acceptHoldMs;
    peer_.QueueFrame(0, "SIZE 0");
    ASSERT_EQ(ReceiveFrame(block, 1000), block == 0 ? kOk : kRefused);
    port_.ClearLog();
    ClosePort();
    EXPECT_EQ(Log(2), log);
  }
  port_.SetPeerDataAt(kData, kCodeWrongBlock | kBusyLine);
  EXPECT_EQ(ReceiveReply(reply, sizeof reply), kSignal);
}

}  // namespace
}  // namespace lpx
