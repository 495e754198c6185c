// The ppdev backend over the recording fake of its system calls.
#include "platform/ppdev.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "testing/fake_port.h"
#include "testing/fake_ppdev.h"
#include "testing/temp_dir.h"

namespace lpx {
namespace {

// Status and data pass as inb/outb see them; control bits 0-3 go through
// PPWCONTROL and bit 5 through PPDATADIR, only when it changes.
TEST(PpdevTest, RegistersMeanWhatTheyMeanThroughInbOutb) {
  FakePort port;
  FakePpdev ppdev(&port);
  PpdevPorts ports;
  ports.Reset(&port);
  ASSERT_TRUE(ports.Add("/dev/parport0", 0xE010));
  EXPECT_EQ(ports.In(0xE011), 0xFF);  // not opened yet: no call at all
  ASSERT_TRUE(ports.Permit(0xE010));
  ASSERT_TRUE(ports.Permit(0xE010));  // once only
  port.SetPeerDataAt(0x378, 0x10);
  ports.Out(0xE012, 0x04);
  ports.Out(0xE012, 0x04);
  ports.Out(0xE010, 0x1F);
  ports.Out(0xE012, 0x2C);
  EXPECT_EQ(ports.In(0xE011), 0x07);  // the peer's busy line raised reads bit 7 clear
  EXPECT_EQ(ports.In(0xE012), 0x2C);
  EXPECT_EQ(ports.In(0xE010), 0x1F);
  ports.ReleaseAll();
  EXPECT_EQ(ppdev.Calls(),
            "open /dev/parport0|PPEXCL|PPCLAIM|PPDATADIR 00|PPWCONTROL 04*2|PPWDATA 1f|"
            "PPDATADIR 01|PPWCONTROL 0c|PPRSTATUS|PPRCONTROL|PPRDATA|PPRELEASE|close");
}

// Ports from procfs, sysfs and /dev, in the order of their numbers; the
// base address from procfs; whether each opens.
TEST(PpdevTest, ListsThePortsOfATreeWithTheirBasesAndAccess) {
  TempDir root;
  for (const std::string entry :
       {"proc/sys/dev/parport/parport0/base-addr=888\t1912\n", "proc/sys/dev/parport/default/",
        "proc/sys/dev/parport/parport2/base-addr=57360\t57368\n", "sys/class/ppdev/parport3/",
        "dev/parport0=", "dev/parport1=", "dev/parport2=", "dev/parportx="}) {
    std::filesystem::create_directories(root.Local(entry.substr(0, entry.rfind('/'))));
    const size_t eq = entry.find('=');
    ASSERT_TRUE(eq == std::string::npos || root.Write(entry.substr(0, eq), entry.substr(eq + 1)));
  }
  FakePort port;
  FakePpdev ppdev(&port);
  ppdev.Fail("open", EACCES, 1, 1);  // the second port
  ppdev.Fail("open", ENOENT, 3, 1);  // the fourth
  PortInfo ports[3];
  ASSERT_EQ(ListSystemPorts(root.path().c_str(), ports, 3), 3);
  const std::tuple<const char*, uint16_t, const char*, int> expected[] = {
      {"/dev/parport0", 0x378, nullptr, 0},
      {"/dev/parport1", 0, "open", EACCES},
      {"/dev/parport2", 0xE010, nullptr, 0},
  };
  for (int i = 0; i < 3; ++i) {
    const auto& [device, base, call, error] = expected[i];
    EXPECT_STREQ(ports[i].device, device);
    EXPECT_EQ(ports[i].base, base) << device;
    EXPECT_EQ(ports[i].openFault.call, call) << device;
    EXPECT_EQ(ports[i].openFault.error, error) << device;
  }
  PortInfo all[8];
  EXPECT_EQ(ListSystemPorts(root.path().c_str(), all, 8), 4);
  EXPECT_STREQ(all[3].device, "/dev/parport3");
}

}  // namespace
}  // namespace lpx
