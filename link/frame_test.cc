// The frame sender and receiver and the command messages under the server's
// policy. The client's policy is tested in client/session_test.cc.
#include "link/frame.h"

#include <gtest/gtest.h>

#include "link/command.h"
#include "testing/link_fixture.h"

namespace lpx {
namespace {

using enum LinkResult;

// Each byte: the low nibble with the busy line, a read that sees it
// acknowledged, the high nibble, a read that sees the line fall and one more
// for the link code.
TEST_F(LinkTest, TheServerSendsTheWorkedOkReplyByteForByte) {
  EXPECT_EQ(RemoteSendCommand("OK"), 1);
  EXPECT_EQ(peer_.bytes(), (Bytes{0x18, 0x24, 0x42, 0x81, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x4F, 0x4B, 0x9B, 0x00, 0xEB, 0x00}));
  EXPECT_EQ(Log(7), "w37a=04 w378=18 r379*1 w378=01 r379*2 w378=14 r379*1");
}

// After 13, 14 or a wait that ran out (19 pauses) the sender drives its
// line to rest and pauses 50 ms.
TEST_F(LinkTest, TheSenderStopsOnCodes13And14AndWhenTheReceiverFallsSilent) {
  struct {
    uint8_t code;  // answered after byte `at`; 0: the peer goes silent there
    int at;
    bool midByte;  // the peer acknowledges the low nibble, then nothing more
    LinkResult result;
  } cases[] = {
      {kCodeEnded, 0, false, kRefused},
      {kCodeWrongBlock, 2, false, kAborted},
      {0, 0, false, kNoServer},
      {0, 3, true, kTimeout},
  };
  for (const auto& c : cases) {
    FreshCable();
    c.code ? peer_.CodeAt(c.at, c.code) : peer_.GoSilentAt(c.at, c.midByte);
    EXPECT_EQ(Send("abc"), c.result);
    EXPECT_EQ(port_.NowUs(), c.code ? 50000u : 19u * 100000u + 50000u);
    EXPECT_EQ(port_.Register(kData), 0x00);
  }
}

TEST_F(LinkTest, Code15StartsTheFrameAgainAndCodes1To12GoOn) {
  peer_.CodeAt(5, kCodeResend);
  for (uint8_t code = 1; code <= 12; ++code) peer_.CodeAt(5 + code, code);
  int copies = 0;  // complete copies; the first is answered 15
  peer_.Verdict([&](const FramePeer::Frame&) { return ++copies == 1 ? kCodeResend : kCodeGoOn; });
  EXPECT_EQ(Send("abc", 2), kOk);
  const Bytes frame = BuildFrame(2, "abc");
  EXPECT_EQ(peer_.bytes(), Join(Join(Bytes(frame.begin(), frame.begin() + 6), frame), frame));
}

// A receiver that answers 15 for ever gets 16 copies (here of one byte
// each), and Ctrl/C ends the resending at once.
TEST_F(LinkTest, ResendingEndsAfterSixteenCopiesOrAtCtrlC) {
  for (int i = 0; i < 100; ++i) peer_.CodeAt(i, kCodeResend);
  EXPECT_EQ(Send("abc"), kAborted);
  EXPECT_EQ(peer_.bytes().size(), 16u);
  FreshCable();
  peer_.CodeAt(18, kCodeResend);  // the first copy's last byte
  peer_.OnFrame([](const FramePeer::Frame&) { keyflag = 1; });
  EXPECT_EQ(Send("abc"), kAborted);
  EXPECT_EQ(peer_.bytes().size(), 19u);
}

// What the buffer cannot hold is never sent, and a busy link is left alone.
TEST_F(LinkTest, NothingTouchesThePortForAnOversizedFrameOrABusyLink) {
  for (int32_t length : {4097, -1}) {
    SetFrameLength(outdbuf, length);
    EXPECT_EQ(UploadBlock(outdbuf), kAborted);
  }
  EXPECT_EQ(RemoteSendCommand(std::string(kMaxPayload + 1, 'x').c_str()), 0);
  char line[kCommandBufferSize];
  blocktransfer = 1;
  EXPECT_EQ(RemoteSendCommand("OK"), 0);
  EXPECT_EQ(ReceiveCommandString(line), 6);
  EXPECT_TRUE(port_.log().empty());
}

// Every failure ends with the abort signal (0x1E, 0x0E, 0 with two 100 ms
// pauses), which the sender of the next byte reads as 14.
TEST_F(LinkTest, ReceiverVerdicts) {
  struct {
    Bytes stream;
    int32_t expected;
    LinkResult result;
    size_t answered;  // link codes the sender read, the last one `last`
    uint8_t last;
    std::string console = "";
    int stopAt = -1;  // where the sender stops after a low nibble
  } cases[] = {
      // 4096 x 0x80: both sums wrap at 65536.
      {Join({0x55}, BuildFrame(0, std::string(4096, '\x80'))), 0, kOk, 4113, kCodeGoOn,
       "... Synchronizing --"},
      {Tail(BuildFrame(0, "abc"), 18), 0, kOk, 18, kCodeGoOn, "... Synchronizing ++"},
      // After "--" the next byte must complete the magic.
      {Join({0x55, 0x18, 0x24, 0x42}, BuildFrame(0, "abc")), 0, kAborted, 6, kCodeWrongBlock,
       "... Synchronizing --"},
      {BuildFrame(3, "data"), 5, kRefused, 20, kCodeWrongBlock},
      {BuildFrame(7, "data"), 5, kRefused, 20, kCodeWrongBlock},
      {BuildFrame(8, "data"), 5, kAborted, 20, kCodeWrongBlock},
      {BuildFrame(0, "data"), kAbortBlock, kRefused, 20, kCodeEnded},
      {BuildFrame(kAbortBlock, "", true), 7, kRefused, 16, kCodeEnded},
      // Eleven copies with a bad checksum: ten resends, then the end.
      {BuildFrame(1, "abc", true), 1, kAborted, 11 * 19 + 1, kCodeWrongBlock},
      // A length the buffer cannot hold (4097, -1) is refused at its last byte.
      {Join({0x18, 0x24, 0x42, 0x81, 0x01, 0x10, 0, 0}, Bytes(5000, 1)), 0, kAborted, 9,
       kCodeWrongBlock},
      {Join({0x18, 0x24, 0x42, 0x81, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes(5000, 1)), 0, kAborted, 9,
       kCodeWrongBlock},
      {BuildFrame(0, "abc"), 0, kAborted, 3, kCodeGoOn, "", 3},  // after 19 pauses of its wait
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << &c - cases);
    FreshCable();
    const FramePeer::Item& item = peer_.Queue(c.stream);
    if (c.stopAt >= 0) peer_.GoSilentAt(c.stopAt, true);
    EXPECT_EQ(Receive(c.expected), c.result);
    EXPECT_EQ(item.codes.size(), c.answered);
    EXPECT_EQ(item.codes.back(), c.last);
    EXPECT_EQ(Tail(port_.Sleeps(), 2), c.result == kAborted ? Sleeps(2, 100000) : Sleeps());
    EXPECT_EQ(Tail(port_.WritesTo(kData), 3) == Bytes({0x1E, 0x0E, 0x00}), c.result == kAborted);
    EXPECT_EQ(ConsoleCaptureTake(), c.console);
  }
}

// Sees the whole frame before its last code goes out.
int checkCalls = 0;
bool RefuseOnce(uint8_t* frame) {
  EXPECT_EQ(DecodeFixed32(frame + kPayloadOffset + FrameLength(frame)), 0x024D0127u);
  return ++checkCalls > 1;
}

TEST_F(LinkTest, TheFrameCheckRefusesAnIntactFrameAndHoldsTheRefusal) {
  const FramePeer::Item& refused = peer_.QueueFrame(2, "abc");
  EXPECT_EQ(Receive(2, RefuseOnce), kRefused);
  EXPECT_EQ(refused.codes, Join(Bytes(18, 0), {kCodeEnded}));
  // Held for a sender that polls with pauses, and no abort signal.
  EXPECT_EQ(port_.Sleeps(), Sleeps{150000});
  EXPECT_EQ(port_.Register(kData), kCodeEnded);
  // Not consulted for a wrong block number, nor before a resend.
  peer_.QueueFrame(5, "abc");
  EXPECT_EQ(Receive(4, RefuseOnce), kRefused);
  peer_.Queue(Join(BuildFrame(4, "abc", true), BuildFrame(4, "abc"))).raw = true;
  EXPECT_EQ(Receive(4, RefuseOnce), kOk);
  EXPECT_EQ(checkCalls, 2);
}

}  // namespace
}  // namespace lpx
