// The server's waits and the discovery of the port, on the fake port with
// its virtual clock.
#include "link/port.h"

#include <gtest/gtest.h>

#include "testing/link_fixture.h"

namespace lpx {
namespace {

// The idle wait polls every 50 ms, taking a copy of keyflag each time.
TEST_F(LinkTest, WaitsPollInBurstsOf9999ReadsWith100msPausesAndTheIdleWaitEvery50ms) {
  EXPECT_EQ(WaitForBitFlip(0, 1), 0);  // no budget: not even a read
  EXPECT_EQ(WaitForBitFlip(0, kTransferTries), 0);
  EXPECT_EQ(Log(3), "r379*9999 s100000 r379*9999");
  EXPECT_EQ(port_.Sleeps(), Sleeps(19, 100000));
  port_.ClearLog();
  keyflag = 1;
  EXPECT_EQ(WaitForStatusBit(), 0);
  EXPECT_EQ(WaitForStatusBit(2), 0);  // a quick poll sees Ctrl/C as soon
  port_.SetPeerDataAt(kData, 0x10);
  EXPECT_EQ(WaitForStatusBit(), 1);
  EXPECT_EQ(Log(5), "r379*1 s50000 r379*1 s500 r379*1");
}

// Each probe: the control word, the data register at rest, one burst and
// one pause; a port refused on the way costs nothing. Ctrl/C ends the
// search after the cycle it came in.
TEST_F(LinkTest, DiscoveryProbesLpt3ThenLpt2ThenLpt1For150Cycles) {
  port_.SetPeerDataAt(0x3BC, 0x10);
  port_.RefusePort(0x378);
  EXPECT_EQ(FindPort(), 0x3BC);
  EXPECT_EQ(Log(9), "p278 w27a=04 w278=00 r279*9999 s100000 p378! p3bc w3be=04 w3bc=00");
  port_ = FakePort();
  EXPECT_EQ(FindPort(), 0);
  EXPECT_EQ(port_.NowUs(), 150u * 3u * 100000u);
  keyflag = 1;
  port_.ClearLog();
  EXPECT_EQ(FindPort(), 0);
  EXPECT_EQ(port_.Sleeps().size(), 3u);
}

}  // namespace
}  // namespace lpx
