// Opening the port a command line names, and a ppdev port that fails in
// the middle of an exchange.
#include "link/port_select.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "testing/fake_ppdev.h"
#include "testing/link_fixture.h"

namespace lpx {
namespace {

// Each way a device can refuse to open says what to do.
TEST(PortSelectTest, ADeviceThatCannotBeOpenedSaysWhatToDo) {
  // The call that fails, its errno, the line (after "/dev/parport0"); the
  // last row is a build without devices.
  const std::tuple<const char*, int, const char*> cases[] = {
      {"open", ENOENT, "no /dev/parport0: is the parport_pc module loaded?"},
      {"open", EACCES, "no permission to open /dev/parport0: add yourself to the group lp, then"},
      {"open", ENXIO, "/dev/parport0 has no port behind it"},
      {"PPEXCL", ENOTTY, "/dev/parport0 is not a parallel port device"},
      {"PPCLAIM", EBUSY, "/dev/parport0 is in use by another driver or program"},
      {"PPCLAIM", ENXIO, "/dev/parport0 is in use by another driver or program"},
      {"PPCLAIM", EIO, "cannot open /dev/parport0: PPCLAIM: Input/output error"},
      {"", 0, "this build reaches the simulated cable only: name its port by number"},
  };
  for (const auto& [call, error, said] : cases) {
    FakePort port;
    platform = &port;
    FakePpdev ppdev(&port);
    ppdev.Fail(call, error);
    portBackend.devices = error != 0;
    char why[256];
    EXPECT_EQ(OpenChosenPort({.kind = PortKind::kDevice, .device = "/dev/parport0"}, nullptr, why,
                             sizeof why),
              0);
    EXPECT_EQ(std::string(why).find(said), 0u) << why;
    // Nothing stays open behind it.
    EXPECT_TRUE(ppdev.Calls().ends_with(call[0] == 'P' ? "!|close" : "")) << ppdev.Calls();
    EXPECT_EQ(platform, &port);
  }
  portBackend = PortBackend{};
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
