#include "link/command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/port.h"
#include "log/console.h"
#include "log/memo.h"
#include "testing/fake_port.h"
#include "testing/frame_peer.h"

namespace lpx {
namespace {

constexpr uint16_t kData = 0x378;
constexpr uint16_t kStatus = 0x379;

using Bytes = std::vector<uint8_t>;

class CommandTest : public ::testing::Test {
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

  FakePort port_;
  FramePeer peer_{kData};
  Platform* saved_ = nullptr;
  char line_[kCommandBufferSize];
};

TEST_F(CommandTest, OkReplyIsTheWorkedFrameByteForByte) {
  EXPECT_EQ(RemoteSendCommand("OK"), 1);
  const Bytes wire = {0x18, 0x24, 0x42, 0x81, 0x02, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x4F, 0x4B, 0x9B, 0x00, 0xEB, 0x00};
  EXPECT_EQ(peer_.bytes(), wire);
  // Each byte is four writes: the sender's low nibble with the busy line,
  // the receiver's 0x10, the sender's high nibble, the receiver's code.
  std::vector<FramePeer::WireEvent> expected;
  for (uint8_t b : wire) {
    expected.push_back({false, static_cast<uint8_t>((b & 0x0F) | 0x10)});
    expected.push_back({true, 0x10});
    expected.push_back({false, static_cast<uint8_t>(b >> 4)});
    expected.push_back({true, 0x00});
  }
  EXPECT_EQ(peer_.trace(), expected);
  EXPECT_EQ(expected[48].value, 0x1F);  // 0x4F: 0x1F, 0x10, 0x04, 0x00
  EXPECT_EQ(expected[50].value, 0x04);
  EXPECT_EQ(blocktransfer, 0);
}

TEST_F(CommandTest, EmptyTextIsASixteenByteFrame) {
  EXPECT_EQ(RemoteSendCommand(""), 1);
  ASSERT_EQ(peer_.frames().size(), 1u);
  EXPECT_EQ(peer_.frames()[0].length, 0);
  EXPECT_EQ(peer_.frames()[0].block, 0);
  EXPECT_EQ(peer_.bytes().size(), 16u);
}

TEST_F(CommandTest, FailedSendGivesZero) {
  peer_.CodeAt(2, kCodeWrongBlock);
  EXPECT_EQ(RemoteSendCommand("WAIT"), 0);
  EXPECT_EQ(blocktransfer, 0);
  peer_.CodeAt(3 + 20 - 1, kCodeEnded);  // the last byte of the next "WAIT"
  EXPECT_EQ(RemoteSendCommand("WAIT"), 0);
  EXPECT_EQ(port_.Register(kData), 0x00);
}

TEST_F(CommandTest, OverlongTextIsNotSent) {
  std::string text(kMaxPayload + 1, 'x');
  EXPECT_EQ(RemoteSendCommand(text.c_str()), 0);
  EXPECT_TRUE(port_.log().empty());
  text.pop_back();
  EXPECT_EQ(RemoteSendCommand(text.c_str()), 1);
  ASSERT_EQ(peer_.frames().size(), 1u);
  EXPECT_EQ(peer_.frames()[0].length, 4096);
}

TEST_F(CommandTest, ReceivesCommandLines) {
  peer_.QueueFrame(0, "LIST C:\\DOS");
  EXPECT_EQ(ReceiveCommandString(line_), 1);
  EXPECT_STREQ(line_, "LIST C:\\DOS");
  peer_.QueueFrame(0, "");
  strcpy(line_, "junk");
  EXPECT_EQ(ReceiveCommandString(line_), 1);
  EXPECT_STREQ(line_, "");
  EXPECT_EQ(blocktransfer, 0);
}

TEST_F(CommandTest, FailedReceiveLeavesAnEmptyLine) {
  peer_.QueueFrame(3, "GET x");  // a data block where a command was expected
  strcpy(line_, "junk");
  EXPECT_EQ(ReceiveCommandString(line_), -1);
  EXPECT_STREQ(line_, "");
  EXPECT_EQ(blocktransfer, 0);
}

TEST_F(CommandTest, LineLongerThanTheCommandBufferIsRefusedWhole) {
  const std::string fits(255, 'A');
  peer_.QueueFrame(0, fits);
  EXPECT_EQ(ReceiveCommandString(line_), 1);
  EXPECT_EQ(std::string(line_), fits);

  // One more character: acknowledged on the link, but refused, not cut.
  FramePeer::Item& item = peer_.QueueFrame(0, "DEL " + std::string(252, 'B'));
  EXPECT_EQ(ReceiveCommandString(line_), -1);
  EXPECT_STREQ(line_, "");
  EXPECT_EQ(item.codes.back(), kCodeGoOn);
  EXPECT_TRUE(port_.Sleeps().empty());
}

TEST_F(CommandTest, BusyLinkIsNotTouched) {
  blocktransfer = 1;
  strcpy(line_, "kept");
  EXPECT_EQ(RemoteSendCommand("OK"), 0);
  EXPECT_EQ(ReceiveCommandString(line_), 6);
  EXPECT_STREQ(line_, "kept");
  EXPECT_TRUE(port_.log().empty());
  EXPECT_EQ(blocktransfer, 1);
}

TEST_F(CommandTest, OutdbufStartsWithTheMagic) {
  EXPECT_EQ(DecodeFixed32(outdbuf), kFrameMagic);
  EXPECT_EQ(DecodeFixed32(indbuf), 0u);
  EXPECT_EQ(DecodeFixed32(databuf), 0u);
}

}  // namespace
}  // namespace lpx
