// The ppdev backend over the recording fake of its system calls.
#include "platform/ppdev.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <ranges>

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
  ppdev.Fail("open", EACCES, 1, 1);  // the second port, in the first listing
  ppdev.Fail("open", EACCES, 4, 1);  // and in the second
  ppdev.Fail("open", ENOENT, 6, 1);  // the fourth
  PortInfo ports[8];
  ASSERT_EQ(ListSystemPorts(root.path().c_str(), ports, 3), 3);  // no more than asked
  ASSERT_EQ(ListSystemPorts(root.path().c_str(), ports, 8), 4);
  std::string listed;
  for (const PortInfo& p : ports | std::views::take(4)) {
    listed += std::string(p.device) + " " + std::to_string(p.base) + " " +
              (p.openFault.call ? p.openFault.call : "-") + std::to_string(p.openFault.error) + "|";
  }
  EXPECT_EQ(listed, "/dev/parport0 888 -0|/dev/parport1 0 open" + std::to_string(EACCES) +
                        "|/dev/parport2 57360 -0|/dev/parport3 0 open" + std::to_string(ENOENT) +
                        "|");
}

}  // namespace
}  // namespace lpx
