#include "client/session.h"

#include <gtest/gtest.h>

#include <cstring>

#include "link/command.h"
#include "link/port.h"
#include "testing/fake_port.h"
#include "testing/frame_peer.h"
#include "testing/reset.h"

namespace lpx {
namespace {

constexpr uint16_t kData = 0x378;

// A server that answers every byte of a frame and, after the frame's last
// byte, shows `after` instead of an ordinary link code: 0x18 is a server
// that wrote code 0 and raised its line for its reply before the client
// looked (the first nibble of a frame, 8).
class EagerServer final : public FakePeer {
 public:
  EagerServer(int frameBytes, uint8_t after) : frameBytes_(frameBytes), after_(after) {}
  uint8_t Data(const FakePort&) override { return data_; }
  void OnWrite(FakePort&, uint16_t addr, uint8_t value) override {
    if (addr != kData) return;
    if (value & kBusyLine) {
      data_ = kBusyLine;  // acknowledges the low nibble
    } else if (data_ == kBusyLine) {
      data_ = ++bytes_ == frameBytes_ ? after_ : kCodeGoOn;
    }
  }

 private:
  int frameBytes_;
  uint8_t after_;
  int bytes_ = 0;
  uint8_t data_ = 0;
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform;
    platform = &port_;
    ResetAllState();
    ResetSessionState();
    linkPolicy = kClientLinkPolicy;
    port_.SetAccessCostUs(1);  // lets the spinning waits see the clock move
    portaddr = kData;
    portaddr1 = kData + 1;
  }
  void TearDown() override {
    port_.SetPeer(nullptr);
    platform = saved_;
  }

  // The "OK" command message: 18 bytes on the wire.
  LinkResult SendOk(bool* replyBegun) {
    memcpy(FramePayload(outdbuf), "OK", 2);
    SetFrameLength(outdbuf, 2);
    SetFrameBlock(outdbuf, 0);
    return SendFrame(outdbuf, replyBegun);
  }

  FakePort port_;
  Platform* saved_ = nullptr;
};

TEST_F(SessionTest, ARaisedLineWithNibble8AfterTheLastByteIsCode0AndAReply) {
  EagerServer server(18, 0x18);
  port_.SetPeer(&server);
  bool replyBegun = false;
  EXPECT_EQ(SendOk(&replyBegun), LinkResult::kOk);
  EXPECT_TRUE(replyBegun);
}

TEST_F(SessionTest, TheLastCodeIsReadFromTheReadThatShowsTheLineLow) {
  EagerServer refused(18, kCodeEnded);
  port_.SetPeer(&refused);
  bool replyBegun = true;
  EXPECT_EQ(SendOk(&replyBegun), LinkResult::kRefused);
  EXPECT_FALSE(replyBegun);
  EXPECT_EQ(port_.Register(kData), 0);  // the line is put back at rest
}

TEST_F(SessionTest, TheAbortSignalRisingIsNotTakenForAReply) {
  port_.SetRecording(false);
  EagerServer signalling(18, kCodeWrongBlock | kBusyLine);
  port_.SetPeer(&signalling);
  bool replyBegun = false;
  EXPECT_EQ(SendOk(&replyBegun), LinkResult::kTimeout);
  EXPECT_FALSE(replyBegun);
}

TEST_F(SessionTest, FramesGoOutWholeWithTheirChecksum) {
  FramePeer server(kData);
  port_.SetPeer(&server);
  ASSERT_EQ(SendCommand("CONNECT"), LinkResult::kOk);
  ASSERT_EQ(server.frames().size(), 1u);
  const FramePeer::Frame& frame = server.frames()[0];
  EXPECT_EQ(std::string(frame.payload.begin(), frame.payload.end()), "CONNECT");
  EXPECT_EQ(frame.block, 0);
  EXPECT_TRUE(frame.checksumOk);
}

TEST_F(SessionTest, AResendRequestSendsTheWholeFrameAgain) {
  FramePeer server(kData);
  port_.SetPeer(&server);
  server.CodeAt(17, kCodeResend);  // the last byte of the first copy of "OK"
  bool replyBegun = false;
  ASSERT_EQ(SendOk(&replyBegun), LinkResult::kOk);
  EXPECT_EQ(server.bytes().size(), 36u);
}

TEST_F(SessionTest, NobodyAtTheOtherEndIsNoServer) {
  port_.SetRecording(false);
  EXPECT_EQ(SendCommand("CONNECT"), LinkResult::kNoServer);
  EXPECT_EQ(port_.Register(kData), 0);
}

// After answering the last byte of a server's frame the client keeps its
// busy line low longer than one server pause and burst before it raises
// it for its next command.
TEST_F(SessionTest, TheBusyLineStaysLowAfterTheLastCodeOfAReply) {
  FramePeer server(kData);
  port_.SetPeer(&server);
  server.QueueFrame(0, "OK A");
  ASSERT_EQ(ReceiveFrame(0, 1000), LinkResult::kOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(FramePayload(indbuf)), 4), "OK A");
  port_.ClearLog();
  ASSERT_EQ(SendCommand("LIST \\"), LinkResult::kOk);
  uint64_t elapsed = 0;
  for (const FakePort::Access& a : port_.log()) {
    if (a.kind == FakePort::Kind::kWrite && a.addr == kData && (a.value & kBusyLine)) break;
    if (a.kind == FakePort::Kind::kSleep) elapsed += a.value;
  }
  EXPECT_GE(elapsed, static_cast<uint64_t>(kClientLinkPolicy.codeHoldMs - 1) * 1000);
}

TEST_F(SessionTest, ALineSignalInsteadOfAReplyIsReported) {
  port_.SetPeerData(kCodeWrongBlock | kBusyLine);  // the server's 0x1E
  EXPECT_EQ(ReceiveFrame(0, 1000), LinkResult::kSignal);
}

TEST_F(SessionTest, KeepAlivesArePassedOver) {
  FramePeer server(kData);
  port_.SetPeer(&server);
  server.QueueFrame(0, "WAIT");
  server.QueueFrame(0, "WAIT");
  server.QueueFrame(0, "SIZE 12");
  char reply[64];
  ASSERT_EQ(ReceiveReply(reply, sizeof reply), LinkResult::kOk);
  EXPECT_STREQ(reply, "SIZE 12");
}

}  // namespace
}  // namespace lpx
