#include "link/port.h"

#include <gtest/gtest.h>

#include "testing/fake_port.h"

namespace lpx {
namespace {

using Kind = FakePort::Kind;

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLinkPortState();
    platform = &port_;
  }
  void TearDown() override {
    platform = nullptr;
    ResetLinkPortState();
  }
  void UsePort(int base) {
    portaddr = base;
    portaddr1 = base + 1;
  }
  FakePort port_;
};

// Sets keyflag once the virtual clock has seen `sleeps` sleeps.
class CtrlCAfterSleeps : public FakePeer {
 public:
  explicit CtrlCAfterSleeps(int sleeps) : left_(sleeps) {}
  uint8_t Data(const FakePort&) override { return 0; }
  void OnSleep(FakePort&) override {
    if (--left_ == 0) keyflag = 1;
  }

 private:
  int left_;
};

TEST_F(PortTest, GetPortAddressMapsNumbersAndFallsBackToLpt2) {
  EXPECT_EQ(GetPortAddress(1), 0x3BC);
  EXPECT_EQ(GetPortAddress(3), 0x278);
  EXPECT_STREQ(portnr, "");
  EXPECT_EQ(GetPortAddress(0), 0x378);
  EXPECT_STREQ(portnr, "2");
  portnr[0] = '7';
  EXPECT_EQ(GetPortAddress(7), 0x378);
  EXPECT_STREQ(portnr, "2");
  EXPECT_EQ(portaddr, 0);  // never set by GetPortAddress
  port_.RefusePort(0x3BC);
  EXPECT_EQ(GetPortAddress(1), 0);
}

TEST_F(PortTest, WaitForBitFlipBudget) {
  UsePort(0x378);
  port_.SetPeerData(0);  // peer idle: bit 7 reads 1
  EXPECT_EQ(WaitForBitFlip(0, 1), 0);
  EXPECT_TRUE(port_.log().empty());

  EXPECT_EQ(WaitForBitFlip(0, 2), 0);
  ASSERT_EQ(port_.log().size(), 2u);
  EXPECT_EQ(port_.log()[0].kind, Kind::kRead);
  EXPECT_EQ(port_.log()[0].count, 9999u);
  EXPECT_EQ(port_.log()[1].kind, Kind::kSleep);
  EXPECT_EQ(port_.log()[1].value, 100000u);

  port_.ClearLog();
  EXPECT_EQ(WaitForBitFlip(0, kTransferTries), 0);
  EXPECT_EQ(port_.ReadsOf(0x379), 19u * 9999u);
  EXPECT_EQ(port_.Sleeps().size(), 19u);
  EXPECT_EQ(port_.NowUs(), 100000u + 19u * 100000u);

  port_.ClearLog();
  EXPECT_EQ(WaitForBitFlip(1, 2), 1);  // already there: one read
  EXPECT_EQ(port_.ReadsOf(0x379), 1u);
  EXPECT_TRUE(port_.Sleeps().empty());
}

TEST_F(PortTest, WaitForStatusBitReturnsAtOnceOrOnCtrlC) {
  UsePort(0x378);
  port_.SetPeerData(0x10);  // busy line raised
  EXPECT_EQ(WaitForStatusBit(), 1);
  EXPECT_EQ(port_.ReadsOf(0x379), 1u);
  EXPECT_TRUE(port_.Sleeps().empty());

  port_.ClearLog();
  CtrlCAfterSleeps peer(3);
  port_.SetPeer(&peer);
  EXPECT_EQ(WaitForStatusBit(), 0);
  EXPECT_EQ(abortClicked, 1);
  EXPECT_EQ(port_.Sleeps(), (std::vector<uint32_t>{50000, 50000, 50000}));
  EXPECT_EQ(port_.ReadsOf(0x379), 3u);
}

TEST_F(PortTest, FindPortProbesLpt3ThenLpt2ThenLpt1) {
  port_.SetPeerDataAt(0x3BC, 0x10);  // a peer on LPT1 only
  EXPECT_EQ(FindPort(), 0x3BC);
  EXPECT_STREQ(portnr, "1");
  EXPECT_EQ(portaddr1, 0x3BD);
  // Each probe: permission, control 0x04, data 0, one burst, one pause.
  std::vector<uint16_t> permits;
  for (const auto& a : port_.log()) {
    if (a.kind == Kind::kPermit) permits.push_back(a.addr);
  }
  EXPECT_EQ(permits, (std::vector<uint16_t>{0x278, 0x378, 0x3BC}));
  ASSERT_GE(port_.log().size(), 5u);
  EXPECT_EQ(port_.log()[1].kind, Kind::kWrite);
  EXPECT_EQ(port_.log()[1].addr, 0x27A);
  EXPECT_EQ(port_.log()[1].value, 0x04u);
  EXPECT_EQ(port_.log()[2].addr, 0x278);
  EXPECT_EQ(port_.log()[2].value, 0u);
  EXPECT_EQ(port_.log()[3].count, 9999u);
  EXPECT_EQ(port_.Sleeps().size(), 2u);
}

TEST_F(PortTest, FindPortPrefersLpt3AndSkipsRefusedPortsWithoutPause) {
  port_.SetPeerDataAt(0x278, 0x10);
  port_.SetPeerDataAt(0x378, 0x10);
  EXPECT_EQ(FindPort(), 0x278);
  EXPECT_STREQ(portnr, "3");
  EXPECT_TRUE(port_.Sleeps().empty());

  ResetLinkPortState();
  port_.ClearLog();
  port_.ClearPeerDataAt(0x278);
  port_.RefusePort(0x278);
  EXPECT_EQ(FindPort(), 0x378);
  EXPECT_STREQ(portnr, "2");
  EXPECT_TRUE(port_.Sleeps().empty());
  EXPECT_EQ(port_.ReadsOf(0x279), 0u);
}

TEST_F(PortTest, FindPortGivesUpAfter150Cycles) {
  EXPECT_EQ(FindPort(), 0);
  EXPECT_EQ(port_.Sleeps().size(), 450u);
  EXPECT_EQ(port_.NowUs(), 45u * 1000000u);

  port_.ClearLog();
  port_.SetNowUs(0);
  port_.RefusePort(0x278);
  port_.RefusePort(0x378);
  port_.RefusePort(0x3BC);
  EXPECT_EQ(FindPort(), 0);
  EXPECT_EQ(port_.log().size(), 450u);  // permissions only
  EXPECT_EQ(port_.NowUs(), 0u);
}

TEST_F(PortTest, FindPortFinishesItsCycleOnCtrlC) {
  CtrlCAfterSleeps peer(1);  // Ctrl/C during the first probe's pause
  port_.SetPeer(&peer);
  EXPECT_EQ(FindPort(), 0);
  EXPECT_EQ(abortClicked, 1);
  EXPECT_EQ(port_.Sleeps().size(), 3u);  // LPT3, LPT2 and LPT1 still probed
}

TEST_F(PortTest, LineSignalsWriteTheirExactSequences) {
  UsePort(0x378);
  SignalConnectionError();
  EXPECT_EQ(port_.WritesTo(0x378), (std::vector<uint8_t>{0x0E, 0x1E, 0x0E, 0x1E}));
  EXPECT_EQ(port_.Sleeps(), (std::vector<uint32_t>{50000, 50000, 50000, 50000}));
  // Each write comes before its pause.
  EXPECT_EQ(port_.log()[0].kind, Kind::kWrite);
  EXPECT_EQ(port_.log()[1].kind, Kind::kSleep);

  port_.ClearLog();
  SignalAbortTransfer();
  EXPECT_EQ(port_.WritesTo(0x378), (std::vector<uint8_t>{0x1E, 0x0E}));
  EXPECT_EQ(port_.Sleeps(), (std::vector<uint32_t>{100000, 100000}));

  port_.ClearLog();
  SendDisableInterrupts();
  EXPECT_EQ(port_.WritesTo(0x37A), (std::vector<uint8_t>{0x04}));
}

}  // namespace
}  // namespace lpx
