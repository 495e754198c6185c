#include "link/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/command.h"
#include "link/port.h"
#include "log/console.h"
#include "log/memo.h"
#include "testing/fake_port.h"
#include "testing/frame_peer.h"

namespace lpx {
namespace {

constexpr uint16_t kData = 0x378;
constexpr uint16_t kStatus = 0x379;
constexpr uint16_t kControl = 0x37A;

using Bytes = std::vector<uint8_t>;

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLinkPortState();
    ResetLinkCommandState();
    ResetMemoState();
    portaddr = kData;
    portaddr1 = kStatus;
    port_.SetPeer(&peer_);
    saved_ = platform;
    platform = &port_;
    ConsoleCaptureStart();
  }
  void TearDown() override {
    ConsoleCaptureStop();
    platform = saved_;
  }

  // Fills the send buffer with a frame of `payload` and sends it.
  LinkResult Send(const Bytes& payload, int32_t block = 1) {
    SetFrameLength(buf_, static_cast<int32_t>(payload.size()));
    SetFrameBlock(buf_, block);
    if (!payload.empty()) memcpy(FramePayload(buf_), payload.data(), payload.size());
    return UploadBlock(buf_);
  }

  LinkResult Receive(int32_t expected, FrameCheck check = nullptr) {
    SetFrameBlock(buf_, expected);
    return DownloadBlock(buf_, check);
  }

  uint64_t SleptUs() const {
    uint64_t sum = 0;
    for (uint32_t us : port_.Sleeps()) sum += us;
    return sum;
  }

  std::string Console() { return ConsoleCaptureTake(); }

  static size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
  }

  FakePort port_;
  FramePeer peer_{kData};
  Platform* saved_ = nullptr;
  uint8_t buf_[kFrameBufferSize] = {};
};

const std::vector<uint32_t> kAbortPauses = {100000, 100000};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245 + 12345;
    out[i] = static_cast<uint8_t>(seed >> 16);
  }
  return out;
}

// --- Checksum -------------------------------------------------------------

TEST(FrameChecksumTest, WorkedExamples) {
  EXPECT_EQ(FrameChecksum(nullptr, 0), 0x00000001u);
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(FrameChecksum(abc, 3), 0x024D0127u);
  // 4096 x 0x80: A wraps back to 1, B is 0x80 * (1 + 2 + ... + 4096) + 4096.
  Bytes big(4096, 0x80);
  EXPECT_EQ(FrameChecksum(big.data(), 4096), 0x10000001u);
  const uint8_t ok[] = {'O', 'K'};
  EXPECT_EQ(FrameChecksum(ok, 2), 0x00EB009Bu);
}

// --- Sender ---------------------------------------------------------------

TEST_F(FrameTest, SendsEmptyAndFullFrames) {
  EXPECT_EQ(Send({}, 0), LinkResult::kOk);
  EXPECT_EQ(peer_.bytes(), (Bytes{0x18, 0x24, 0x42, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));

  Bytes big(4096, 0x80);
  EXPECT_EQ(Send(big, 7), LinkResult::kOk);
  ASSERT_EQ(peer_.frames().size(), 2u);
  const FramePeer::Frame& f = peer_.frames()[1];
  EXPECT_EQ(f.length, 4096);
  EXPECT_EQ(f.block, 7);
  EXPECT_EQ(f.payload, big);
  EXPECT_EQ(peer_.bytes().size(), 16u + 4112u);
  EXPECT_EQ(Bytes(peer_.bytes().end() - 4, peer_.bytes().end()), (Bytes{0x01, 0x00, 0x00, 0x10}));
  // A delivered frame leaves the last high nibble on the line.
  EXPECT_EQ(port_.Register(kData), 0x01);
  // The magic is stored by the sender itself; the bytes after the payload
  // are left alone.
  EXPECT_EQ(DecodeFixed32(buf_), kFrameMagic);
}

TEST_F(FrameTest, SenderStartsEachFrameWithTheControlWord) {
  EXPECT_EQ(Send(Text("abc")), LinkResult::kOk);
  ASSERT_FALSE(port_.log().empty());
  EXPECT_EQ(port_.log()[0].kind, FakePort::Kind::kWrite);
  EXPECT_EQ(port_.log()[0].addr, kControl);
  EXPECT_EQ(port_.log()[0].value, 0x04u);
  EXPECT_EQ(port_.WritesTo(kControl).size(), 1u);
  EXPECT_TRUE(port_.Sleeps().empty());
}

TEST_F(FrameTest, ResendCodeAfterAHeaderByteRestartsFromByteZero) {
  peer_.CodeAt(5, kCodeResend);
  EXPECT_EQ(Send(Text("abc"), 2), LinkResult::kOk);
  Bytes frame = BuildFrame(2, "abc");
  Bytes expected(frame.begin(), frame.begin() + 6);
  expected.insert(expected.end(), frame.begin(), frame.end());
  EXPECT_EQ(peer_.bytes(), expected);
  ASSERT_EQ(peer_.frames().size(), 1u);
  EXPECT_TRUE(peer_.frames()[0].checksumOk);
}

TEST_F(FrameTest, ResendAfterLastByteSendsTheFrameAgain) {
  int copies = 0;
  peer_.Verdict([&](const FramePeer::Frame&) { return ++copies < 3 ? kCodeResend : kCodeGoOn; });
  EXPECT_EQ(Send(Text("abc")), LinkResult::kOk);
  EXPECT_EQ(peer_.frames().size(), 3u);
  EXPECT_EQ(peer_.bytes().size(), 3u * 19u);
  for (const FramePeer::Frame& f : peer_.frames()) EXPECT_EQ(f.checksum, 0x024D0127u);
}

TEST_F(FrameTest, StopCodesAfterTheFirstByteEndTheCall) {
  for (uint8_t code : {kCodeEnded, kCodeWrongBlock}) {
    FakePort port;
    FramePeer peer(kData);
    port.SetPeer(&peer);
    platform = &port;
    peer.CodeAt(0, code);
    EXPECT_EQ(Send(Text("abc")), code == kCodeEnded ? LinkResult::kRefused : LinkResult::kAborted);
    EXPECT_EQ(peer.bytes(), Bytes{0x18});
    EXPECT_EQ(port.WritesTo(kData), (Bytes{0x18, 0x01, 0x00}));
    EXPECT_EQ(port.Sleeps(), std::vector<uint32_t>{50000});
  }
}

TEST_F(FrameTest, CodesOneToTwelveCountAsGoOn) {
  for (uint8_t code = 1; code <= 12; ++code) peer_.CodeAt(code - 1, code);
  peer_.CodeAt(18, 12);  // the last byte of "abc"'s 19
  EXPECT_EQ(Send(Text("abc")), LinkResult::kOk);
  EXPECT_EQ(peer_.bytes(), BuildFrame(1, "abc"));
}

TEST_F(FrameTest, SenderTimesOutWhenThePeerStopsMidByte) {
  peer_.GoSilentAtByte(3, FramePeer::Stall::kBeforeCode);
  EXPECT_EQ(Send(Text("abc")), LinkResult::kTimeout);
  EXPECT_EQ(peer_.bytes().size(), 3u);
  // Nineteen 100 ms pauses of the wait, then the stop pause.
  EXPECT_EQ(SleptUs(), 1900000u + 50000u);
  EXPECT_EQ(port_.Register(kData), 0x00);
}

TEST_F(FrameTest, SenderRefusesALengthTheBufferCannotHold) {
  SetFrameLength(buf_, 4097);
  EXPECT_EQ(UploadBlock(buf_), LinkResult::kAborted);
  SetFrameLength(buf_, -1);
  EXPECT_EQ(UploadBlock(buf_), LinkResult::kAborted);
  EXPECT_TRUE(port_.log().empty());
}

// A peer that replies the moment it has answered a frame's last byte: the
// plain wait never sees its busy line fall, and both sides time out.
TEST_F(FrameTest, ReplyAtOnceHidesTheLastCodeFromThePlainWait) {
  peer_.AnswerEagerly(true);
  peer_.QueueFrame(0, "OK", /*afterFrames=*/1);
  EXPECT_EQ(Send(Text("LIST \\"), 0), LinkResult::kTimeout);
}

TEST_F(FrameTest, ReplyAtOnceAnswersTheLastByteWhenAllowed) {
  linkPolicy.frameStartAnswersLastByte = true;
  peer_.AnswerEagerly(true);
  peer_.QueueFrame(0, "OK", /*afterFrames=*/1);
  EXPECT_EQ(Send(Text("LIST \\"), 0), LinkResult::kOk);
  EXPECT_TRUE(port_.Sleeps().empty());
  EXPECT_EQ(Receive(0), LinkResult::kOk);
  EXPECT_EQ(Bytes(buf_ + 12, buf_ + 14), Text("OK"));
}

TEST_F(FrameTest, OnlyAFrameStartAnswersTheLastByte) {
  linkPolicy.frameStartAnswersLastByte = true;
  peer_.AnswerEagerly(true);
  peer_.Queue({0x0E}, /*afterFrames=*/1);  // shows 0x1E, as the abort signal does
  EXPECT_EQ(Send(Text("abc")), LinkResult::kTimeout);

  // Before the last byte a frame start is never taken for a code: this
  // peer acknowledges each low nibble and then shows 0x18 for good.
  struct FrameStartPeer : FakePeer {
    uint8_t data = 0;
    uint8_t Data(const FakePort&) override { return data; }
    void OnWrite(FakePort&, uint16_t addr, uint8_t value) override {
      if (addr == kData) data = (value & kBusyLine) ? 0x10 : 0x18;
    }
  } startPeer;
  FakePort port;
  port.SetPeer(&startPeer);
  platform = &port;
  EXPECT_EQ(Send(Text("abc")), LinkResult::kTimeout);
  EXPECT_EQ(port.WritesTo(kData), (Bytes{0x18, 0x01, 0x00}));
}

// --- Receiver -------------------------------------------------------------

TEST_F(FrameTest, ReceivesEmptyAndFullFrames) {
  peer_.QueueFrame(0, "");
  EXPECT_EQ(Receive(0), LinkResult::kOk);
  EXPECT_EQ(peer_.items()[0].codes, Bytes(16, 0));
  EXPECT_EQ(Bytes(buf_, buf_ + 16),
            (Bytes{0x18, 0x24, 0x42, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));

  Bytes payload = Pattern(4096, 1);
  peer_.Queue(BuildFrame(3, payload));
  EXPECT_EQ(Receive(3), LinkResult::kOk);
  EXPECT_EQ(FrameLength(buf_), 4096);
  EXPECT_EQ(FrameBlock(buf_), 3);
  EXPECT_EQ(Bytes(buf_ + 12, buf_ + 12 + 4096), payload);
  EXPECT_EQ(DecodeFixed32(buf_ + 4108), FrameChecksum(payload.data(), 4096));
  EXPECT_TRUE(peer_.AllSent());
  EXPECT_TRUE(port_.Sleeps().empty());
  EXPECT_EQ(Console(), "");
}

TEST_F(FrameTest, ReceiverPlaysItsHalfOfEachByte) {
  peer_.QueueFrame(0, "O");
  EXPECT_EQ(Receive(0), LinkResult::kOk);
  // The payload byte 0x4F is the 13th byte: sender 0x1F, receiver 0x10,
  // sender 0x04, receiver 0x00.
  const auto& t = peer_.trace();
  ASSERT_GE(t.size(), 13u * 4u);
  std::vector<FramePeer::WireEvent> byte12(t.begin() + 48, t.begin() + 52);
  EXPECT_EQ(byte12, (std::vector<FramePeer::WireEvent>{
                        {true, 0x1F}, {false, 0x10}, {true, 0x04}, {false, 0x00}}));
}

TEST_F(FrameTest, ResynchronisesOnAnExtraLeadingByte) {
  Bytes stream = {0x55};
  Bytes frame = BuildFrame(0, "abc");
  stream.insert(stream.end(), frame.begin(), frame.end());
  peer_.Queue(stream);
  EXPECT_EQ(Receive(0), LinkResult::kOk);
  EXPECT_EQ(Bytes(buf_, buf_ + 19), frame);
  EXPECT_EQ(Count(Console(), "... Synchronizing --"), 1u);
}

TEST_F(FrameTest, ResynchronisesOnALostFirstByte) {
  Bytes frame = BuildFrame(0, "abc");
  peer_.Queue(Bytes(frame.begin() + 1, frame.end()));
  EXPECT_EQ(Receive(0), LinkResult::kOk);
  EXPECT_EQ(Bytes(buf_, buf_ + 19), frame);
  EXPECT_EQ(Count(Console(), "... Synchronizing ++"), 1u);
}

TEST_F(FrameTest, OutOfStepHeaderEndsWithTheAbortSignal) {
  FramePeer::Item& item = peer_.Queue({0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Receive(0), LinkResult::kAborted);
  // Four bytes answered 0, then the abort signal, which the sender of the
  // fifth byte reads as 14.
  EXPECT_EQ(item.codes, (Bytes{0, 0, 0, 0, kCodeWrongBlock}));
  Bytes writes = port_.WritesTo(kData);
  EXPECT_EQ(Bytes(writes.end() - 4, writes.end()), (Bytes{0x00, 0x1E, 0x0E, 0x00}));
  EXPECT_EQ(port_.Sleeps(), kAbortPauses);
}

TEST_F(FrameTest, OnlyOneExtraByteIsTolerated) {
  Bytes stream = {0x55, 0x66};
  Bytes frame = BuildFrame(0, "abc");
  stream.insert(stream.end(), frame.begin(), frame.end());
  peer_.Queue(stream);
  EXPECT_EQ(Receive(0), LinkResult::kAborted);
  // After "--" the next byte must be 0x81.
  Bytes again = {0x55, 0x18, 0x24, 0x42, 0x18, 0x24, 0x42, 0x81};
  peer_.Queue(again);
  EXPECT_EQ(Receive(0), LinkResult::kAborted);
  EXPECT_EQ(Count(Console(), "Synchronizing --"), 1u);
}

TEST_F(FrameTest, BlockNumberVerdicts) {
  struct Case {
    int32_t expected, received;
    uint8_t code;
    LinkResult result;
  } cases[] = {
      {5, 4, kCodeWrongBlock, LinkResult::kRefused}, {5, 3, kCodeWrongBlock, LinkResult::kRefused},
      {5, 7, kCodeWrongBlock, LinkResult::kRefused}, {5, 9, kCodeWrongBlock, LinkResult::kAborted},
      {5, 2, kCodeWrongBlock, LinkResult::kAborted}, {-1, 3, kCodeEnded, LinkResult::kRefused},
      {-1, 0, kCodeEnded, LinkResult::kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "expected " << c.expected << " received " << c.received);
    FakePort port;
    FramePeer peer(kData);
    port.SetPeer(&peer);
    platform = &port;
    FramePeer::Item& item = peer.Queue(BuildFrame(c.received, "data"));
    EXPECT_EQ(Receive(c.expected), c.result);
    ASSERT_EQ(item.codes.size(), 20u);
    EXPECT_EQ(item.codes.back(), c.code);
    if (c.result == LinkResult::kAborted) {
      EXPECT_EQ(port.Sleeps(), kAbortPauses);
    } else {
      EXPECT_TRUE(port.Sleeps().empty());
    }
  }
}

TEST_F(FrameTest, AbortFrameIsEndedBeforeTheChecksumIsLookedAt) {
  FramePeer::Item& item = peer_.Queue(BuildFrame(kAbortBlock, Bytes{}, /*corrupt=*/true));
  EXPECT_EQ(Receive(7), LinkResult::kRefused);
  EXPECT_EQ(item.codes.back(), kCodeEnded);
  EXPECT_EQ(item.restarts, 0);
  EXPECT_TRUE(port_.Sleeps().empty());
}

TEST_F(FrameTest, ResendIsAskedForAfterABadChecksum) {
  FramePeer::Item& item = peer_.Queue(BuildFrame(1, "abc", /*corrupt=*/true));
  item.resend = BuildFrame(1, "abc");
  EXPECT_EQ(Receive(1), LinkResult::kOk);
  EXPECT_EQ(item.restarts, 1);
  EXPECT_EQ(item.codes[18], kCodeResend);
  EXPECT_EQ(Bytes(buf_ + 12, buf_ + 15), Text("abc"));
}

TEST_F(FrameTest, ElevenChecksumFailuresEndTheCall) {
  FramePeer::Item& item = peer_.Queue(BuildFrame(1, "abc", /*corrupt=*/true));
  EXPECT_EQ(Receive(1), LinkResult::kAborted);
  // Ten resends, eleven copies in all; the sender of the twelfth copy reads
  // the abort signal as 14 after its first byte.
  EXPECT_EQ(item.restarts, 11);
  EXPECT_EQ(item.codes.size(), 11u * 19u + 1u);
  EXPECT_EQ(item.codes.back(), kCodeWrongBlock);
  EXPECT_TRUE(item.stopped);
  EXPECT_EQ(port_.Sleeps(), kAbortPauses);
}

TEST_F(FrameTest, ReceiverTimesOutWhenThePeerStopsMidByte) {
  FramePeer::Item& item = peer_.QueueFrame(0, "abc");
  item.stopAt = 3;
  item.stall = FramePeer::Stall::kAfterLow;
  EXPECT_EQ(Receive(0), LinkResult::kAborted);
  EXPECT_EQ(item.codes, (Bytes{0, 0, 0}));
  // Nineteen pauses of the wait, then the abort signal.
  EXPECT_EQ(SleptUs(), 1900000u + 200000u);
  EXPECT_EQ(port_.Sleeps().size(), 21u);
  Bytes writes = port_.WritesTo(kData);
  EXPECT_EQ(Bytes(writes.end() - 4, writes.end()), (Bytes{0x10, 0x1E, 0x0E, 0x00}));
}

TEST_F(FrameTest, OverlongLengthIsRefusedAtItsLastByte) {
  // Guard bytes follow the buffer: nothing may land there.
  struct {
    uint8_t frame[kFrameBufferSize];
    uint8_t guard[1024];
  } area;
  memset(&area, 0xA5, sizeof area);
  for (int32_t length : {4097, -1, -8}) {
    SCOPED_TRACE(length);
    FakePort port;
    FramePeer peer(kData);
    port.SetPeer(&peer);
    platform = &port;
    FramePeer::Item& item = peer.Queue(BuildFrameWithLength(length, 0, Pattern(5000, 2)));
    SetFrameBlock(area.frame, 0);
    EXPECT_EQ(DownloadBlock(area.frame), LinkResult::kAborted);
    EXPECT_EQ(item.codes, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, kCodeWrongBlock}));
    EXPECT_EQ(port.Sleeps(), kAbortPauses);
  }
  EXPECT_EQ(Bytes(area.guard, area.guard + sizeof area.guard), Bytes(sizeof area.guard, 0xA5));
}

// The frame check sees the whole frame before the last code goes out.
size_t codesBeforeCheck = 0;
const FramePeer* checkedPeer = nullptr;
bool checkResult = true;
int checkCalls = 0;
bool RecordingCheck(uint8_t* frame) {
  ++checkCalls;
  codesBeforeCheck = checkedPeer->items().back().codes.size();
  EXPECT_EQ(DecodeFixed32(frame), kFrameMagic);
  EXPECT_EQ(FrameLength(frame), 3);
  EXPECT_EQ(DecodeFixed32(frame + 15), 0x024D0127u);
  return checkResult;
}

TEST_F(FrameTest, FrameCheckRefusesAnIntactFrame) {
  checkedPeer = &peer_;
  checkCalls = 0;
  checkResult = false;
  FramePeer::Item& refused = peer_.QueueFrame(2, "abc");
  EXPECT_EQ(Receive(2, RecordingCheck), LinkResult::kRefused);
  EXPECT_EQ(checkCalls, 1);
  EXPECT_EQ(codesBeforeCheck, 18u);
  EXPECT_EQ(refused.codes.back(), kCodeEnded);
  // The refusal is held on the line, not followed by the abort signal.
  EXPECT_EQ(port_.Sleeps(), std::vector<uint32_t>{150000});
  EXPECT_EQ(port_.Register(0x378), kCodeEnded);

  checkResult = true;
  FramePeer::Item& taken = peer_.QueueFrame(3, "abc");
  EXPECT_EQ(Receive(3, RecordingCheck), LinkResult::kOk);
  EXPECT_EQ(taken.codes.back(), kCodeGoOn);

  // Not consulted for a wrong block number or a bad checksum.
  checkCalls = 0;
  peer_.QueueFrame(5, "abc");
  EXPECT_EQ(Receive(4, RecordingCheck), LinkResult::kRefused);
  FramePeer::Item& bad = peer_.Queue(BuildFrame(4, "abc", true));
  bad.resend = BuildFrame(4, "abc");
  EXPECT_EQ(Receive(4, RecordingCheck), LinkResult::kOk);
  EXPECT_EQ(checkCalls, 1);
}

}  // namespace
}  // namespace lpx
