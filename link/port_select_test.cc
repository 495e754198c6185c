// Opening the port a command line names, and a ppdev port that fails in
// the middle of an exchange.
#include "link/port_select.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "testing/fake_ppdev.h"
#include "testing/link_fixture.h"

namespace lpx {
namespace {

TEST(PortSelectTest, AddressesFrom0x001To0xFFFD) {
  const std::tuple<const char*, int> cases[] = {
      {"0xE010", 0xE010}, {"0XD000", 0xD000}, {"888", 0x378}, {"0xFFFD", 0xFFFD}, {"0x1", 1},
      {"0xFFFE", -1},     {"0", -1},          {"0x", -1},     {"", -1},           {"-1", -1},
      {"0x-1", -1},       {"0xE01g", -1},     {"65536", -1},
  };
  for (const auto& [text, want] : cases) {
    uint16_t address = 0;
    EXPECT_EQ(ParsePortAddress(text, &address) ? address : -1, want) << text;
  }
}

// Each way a device can refuse to open says what to do, and nothing stays
// open behind it.
TEST(PortSelectTest, ADeviceThatCannotBeOpenedSaysWhatToDo) {
  const std::tuple<const char*, int, const char*, const char*> cases[] = {
      {"open", ENOENT, "no /dev/parport0: is the parport_pc module loaded?", "open /dev/parport0!"},
      {"open", EACCES,
       "no permission to open /dev/parport0: add yourself to the group lp, then log in again",
       "open /dev/parport0!"},
      {"open", ENXIO, "/dev/parport0 has no port behind it", "open /dev/parport0!"},
      {"PPEXCL", ENOTTY, "/dev/parport0 is not a parallel port device", "PPEXCL!|close"},
      {"PPCLAIM", EBUSY, "/dev/parport0 is in use by another driver or program", "PPCLAIM!|close"},
      {"PPCLAIM", ENXIO, "/dev/parport0 is in use by another driver or program", "PPCLAIM!|close"},
      {"PPCLAIM", EIO, "cannot open /dev/parport0: PPCLAIM: Input/output error", "PPCLAIM!|close"},
  };
  portBackend.devices = true;
  for (const auto& [call, error, said, calls] : cases) {
    FakePort port;
    platform = &port;
    FakePpdev ppdev(&port);
    ppdev.Fail(call, error);
    char why[256];
    bool known = true;
    const PortChoice device{.kind = PortKind::kDevice, .device = "/dev/parport0"};
    EXPECT_EQ(OpenChosenPort(device, &known, why, sizeof why), 0);
    EXPECT_EQ(std::string(why).find(said), 0u) << why;
    EXPECT_TRUE(ppdev.Calls().ends_with(calls)) << ppdev.Calls();
    EXPECT_EQ(platform, &port);
  }
  portBackend.devices = false;
  FakePort port;
  char why[256];
  EXPECT_EQ(OpenChosenPort({.kind = PortKind::kDevice, .device = "/dev/parport0"}, nullptr, why,
                           sizeof why),
            0);
  EXPECT_STREQ(why,
               "this build reaches the simulated cable only: name its port by number (1, 2 or 3)");
  platform = nullptr;
}

// The link on a ppdev port: a register call that fails ends the exchange at
// once, as a time-out, and the log says why; the idle wait says it once
// for a run of failures.
class PpdevLinkTest : public LinkTest {
 protected:
  void FreshCable() override {
    LinkTest::FreshCable();
    ports_.Reset(&port_);
    ports_.Add("/dev/parport0", kData);
    ASSERT_TRUE(ports_.Permit(kData));
    platform = &ports_;
  }
  FakePpdev ppdev_{&port_};
  PpdevPorts ports_;
};

TEST_F(PpdevLinkTest, AFailedCallEndsAFrameAsATimeOutAndIsLogged) {
  ppdev_.Fail("PPWDATA", EIO, 2, 1);
  EXPECT_EQ(Send("abc"), LinkResult::kTimeout);
  EXPECT_EQ(Log(9), "w37a=04 w378=18 r379*1 w378=01 r379*3 w378=00 s50000");  // no burst
  EXPECT_EQ(ConsoleCaptureTake(), "*** Port access failed: PPWDATA: Input/output error");
}

TEST_F(PpdevLinkTest, TheIdleWaitLogsARunOfFailedCallsOnce) {
  ppdev_.Fail("PPRSTATUS", ENODEV, 0, 3);
  port_.SetPeerDataAt(kData, 0x10);
  EXPECT_EQ(WaitForStatusBit(), 1);
  EXPECT_EQ(port_.Sleeps(), Sleeps(3, kIdlePollUs));
  EXPECT_EQ(ConsoleCaptureTake(), "*** Port access failed: PPRSTATUS: No such device");
}

}  // namespace
}  // namespace lpx
