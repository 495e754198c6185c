#include "shell/startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <tuple>
#include <vector>

#include "convert/variant.h"
#include "link/port.h"
#include "link/port_select.h"
#include "log/console.h"
#include "platform/rights.h"
#include "shell/signals.h"
#include "testing/fake_port.h"
#include "testing/fake_ppdev.h"
#include "testing/reset.h"
#include "testing/server_session.h"

namespace lpx {
namespace {

// Real, effective and saved user and group ids. A fault refuses setresuid
// (1), lets it claim success and change nothing (2), or refuses setresgid
// (3); only root may set another group.
struct Ids {
  uid_t u[3] = {1000, 0, 0};  // set-user-id root, run by a user
  gid_t g[3] = {100, 100, 100};
  int fault = 0;
  bool operator==(const Ids&) const = default;
};
Ids ids;

int Set(uid_t* v, uid_t r, uid_t e, uid_t s, bool refuse, bool lie = false) {
  if (!refuse && !lie) v[0] = r, v[1] = e, v[2] = s;
  return refuse ? -1 : 0;
}

const IdentityOps kFakeIds = {
    [] { return ids.u[0]; },
    [] { return ids.u[1]; },
    [](uid_t* r, uid_t* e, uid_t* s) { return *r = ids.u[0], *e = ids.u[1], *s = ids.u[2], 0; },
    [](uid_t r, uid_t e, uid_t s) { return Set(ids.u, r, e, s, ids.fault == 1, ids.fault == 2); },
    [] { return ids.g[0]; },
    [](gid_t* r, gid_t* e, gid_t* s) { return *r = ids.g[0], *e = ids.g[1], *s = ids.g[2], 0; },
    [](gid_t r, gid_t e, gid_t s) { return Set(ids.g, r, e, s, ids.fault == 3 || ids.u[1] != 0); },
};

// Start-up changes program-wide state; all of it goes back after each test.
class StartupTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ResetAllState();
    platform = nullptr;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGSEGV}) signal(sig, SIG_DFL);
  }
};

TEST_F(StartupTest, PortArgumentsAndRights) {
  const Ids user{.u = {1000, 1000, 1000}}, root{.u = {0, 0, 0}}, setGid{.g = {100, 0, 0}};
  const std::string on = "\t\t\t\tOK\nAccepting connections through port ";
  auto refused = "Failed! -- cannot give back root's rights; refusing to serve files as root.";
  // The argument (no client on the cable: the loop ends at its first idle
  // poll; LPT3 cannot be opened), the ids before and after, the exit
  // status, a text printed, variant C.
  const std::tuple<const char*, Ids, Ids, int, std::string, bool> cases[] = {
      {"12", {}, user, 0, "=\nAllocating port LPT1:" + on + "LPT1, port addr 0x3BC\n", false},
      {"--device=/dev/parport0", {}, user, 1, "\nFailed! -- ", false},  // rights given back first
      {"2", {}, user, 0, "LPT2:" + on + "LPT2, port addr 0x378\nDISCONNECT\t\t\t\t\tOK\n", false},
      {"3", {}, {}, 1, "LPT3:\nFailed! -- no response on any port.\n\n", false},
      {"2", root, root, 0, "\nWARNING:\n", false},
      {"2", user, user, 0, "\nWARNING:\n", false},
      {"2", {.fault = 1}, {.fault = 1}, 1, refused, false},
      {"2", {.fault = 2}, {.fault = 2}, 1, refused, false},
      {"2", setGid, user, 0, "LPT2:" + on, false},
      {"2", {.g = {100, 0, 0}, .fault = 3}, {.g = {100, 0, 0}, .fault = 3}, 1, refused, false},
      {"2", {}, user, 0, "\nUTF-8 build: local file names", true},
  };
  ConsoleCaptureStart();
  for (const auto& [arg, before, after, status, printed, c] : cases) {
    ResetAllState();
    FakePort port;
    port.RefusePort(0x278);
    platform = &port;
    identity = kFakeIds;
    ids = before;
    variantC = c;
    keyflag = 1;
    char* argv[] = {const_cast<char*>("lpxferd"), const_cast<char*>(arg), nullptr};
    EXPECT_EQ(ServerMain(2, argv), status) << printed;
    const std::string out = ConsoleCaptureTake();
    EXPECT_NE(out.find(printed), std::string::npos) << out;
    EXPECT_EQ(out.find("Accepting") != std::string::npos, status == 0) << out;
    EXPECT_TRUE(ids == after) << out;
  }
  ConsoleCaptureStop();
}

// The command line: the port number (its first character), a device or an
// address; an option that prints and ends touches no port; anything else
// gets the usage line and status 1.
TEST_F(StartupTest, CommandLines) {
  const std::string usage = "Usage: lpxferd [1|2|3 | --device DEVICE | --address ADDR |";
  // The arguments, the status, and the port chosen (status -1) or a text
  // printed on standard output or error.
  const std::tuple<std::vector<const char*>, int, std::string> cases[] = {
      {{}, -1, "LPT"},
      {{"", "2"}, -1, "LPT"},
      {{"12", "9"}, -1, "LPT1"},
      {{"--device", "/dev/parport1"}, -1, "/dev/parport1"},
      {{"--address=0xE010"}, -1, "0xE010"},
      {{"-A", "888"}, -1, "0x0378"},
      {{"9"}, 1, "lpxferd: no such port number \"9\"\n" + usage},  // it once served LPT2
      {{"-x"}, 1, usage},
      {{"--address", "0xFFFE"}, 1, "from 0x001 to 0xFFFD, not \"0xFFFE\""},
      {{"-A", "0x"}, 1, "not \"0x\""},
      {{"-A", "0xE01g"}, 1, "not \"0xE01g\""},
      {{"--device", "/dev/parport0", "2"}, 1, "one port only, not also \"2\""},
      {{"-A", "888", "-d", "/dev/parport0"}, 1, usage},
      {{"--version"}, 0, "lpxferd 1.0\n"},
      {{"--help"}, 0, "  -d, --device DEVICE    a port Linux drives"},
      {{"--list-ports"}, 0, "/dev/parport0        0x378   you may open it\n"},
  };
  for (const auto& [args, status, said] : cases) {
    ResetAllState();
    portBackend.list = [](PortInfo* out, int) { return out[0] = {"/dev/parport0", 0x378, {}}, 1; };
    FakePort port;
    platform = &port;
    std::vector<char*> argv = {const_cast<char*>("lpxferd")};
    for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    PortChoice choice;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    // An option that prints and ends touches no port.
    EXPECT_EQ(
        status >= 0 ? ServerMain(argc, argv.data()) : ParseServerArgs(argc, argv.data(), &choice),
        status)
        << said;
    EXPECT_TRUE(status < 0 || port.log().empty()) << said;
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string printed = out + ::testing::internal::GetCapturedStderr();
    char name[64];
    PortChoiceName(choice, name, sizeof name);
    EXPECT_TRUE(status < 0 ? said == name : printed.find(said) != std::string::npos)
        << name << printed;
    // The help fits one screen.
    EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 24);
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
      EXPECT_LE(end - at, 80u) << out.substr(at, end - at);
    }
  }
}

// Without an argument and without the rights to the raw ports, discovery
// probes the devices this user may open, in order, for 150 cycles, and
// gives them back.
TEST_F(StartupTest, DiscoveryOnTheDevicesThisUserMayOpen) {
  ResetAllState();
  portBackend = {true, [](PortInfo* out, int) {
                   out[0] = {"/dev/parport0", 0x3BC, {"open", EACCES}};
                   out[1] = {"/dev/parport1", 0xE010, {}};
                   out[2] = {"/dev/parport2", 0, {}};
                   return 3;
                 }};
  FakePort port;
  for (uint16_t base : {0x278, 0x378, 0x3BC}) port.RefusePort(base);
  platform = &port;
  FakePpdev ppdev(&port);
  ConsoleCaptureStart();
  char* argv[] = {const_cast<char*>("lpxferd"), nullptr};
  EXPECT_EQ(ServerMain(1, argv), 1);
  EXPECT_THAT(ConsoleCaptureTake(),
              ::testing::HasSubstr("LPT:\nFailed! -- no response on any port."));
  ConsoleCaptureStop();
  EXPECT_EQ(port.NowUs(), 150u * 2u * 100000u);
  const std::string calls = ppdev.Calls();
  EXPECT_TRUE(calls.starts_with(
      "open /dev/parport1|PPEXCL|PPCLAIM|PPDATADIR 00|PPWCONTROL 04|PPWDATA 00|PPRSTATUS*9999|"
      "open /dev/parport2|PPEXCL|PPCLAIM|PPDATADIR 00|PPWCONTROL 04|PPWDATA 00|PPRSTATUS*9999|"
      "PPWCONTROL 04|PPWDATA 00|PPRSTATUS*9999|PPWCONTROL 04"))
      << calls.substr(0, 300);
  EXPECT_TRUE(calls.ends_with("|PPRELEASE|close|PPRELEASE|close")) << calls;
}

// The whole server on a ppdev device over the recording fake, the client
// model at the far end of its port: a GET and a PUT arrive byte for byte;
// the port is claimed before its first register call and released after
// the Ctrl/C that ends the session.
class PpdevSessionTest : public ServerSessionTest {
 protected:
  void Serve(ClientModel&) override {
    char* argv[] = {const_cast<char*>("lpxferd"), const_cast<char*>("--device"),
                    const_cast<char*>("/dev/parport0"), nullptr};
    portBackend.devices = true;
    EXPECT_EQ(ServerMain(3, argv), 0);
    platform = &port_;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGSEGV}) signal(sig, SIG_DFL);
  }
  FakePpdev ppdev_{&port_};
};

TEST_F(PpdevSessionTest, GetAndPutByteForByte) {
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes += static_cast<char>((i * 7) & 0xFF);
  Given({"f=" + bytes});
  const std::string size = "SIZE " + std::to_string(bytes.size());
  const std::string first = "#" + bytes.substr(0, 4096), rest = "#" + bytes.substr(4096);
  EXPECT_EQ(Run({"GET @f", "PUT @g", "TIME 852452445", "ATTR 32", size, first, rest}),
            (Replies{"TIME 852452445", "ATTR 32", size, first, rest}));
  EXPECT_EQ(File("g"), "g=" + bytes);
  const std::string calls = ppdev_.Calls();
  EXPECT_TRUE(calls.starts_with("open /dev/parport0|PPEXCL|PPCLAIM|PPDATADIR 00|PPWCONTROL 04"))
      << calls.substr(0, 200);
  EXPECT_TRUE(calls.ends_with("|PPRELEASE|close")) << calls.substr(calls.size() - 200);
  EXPECT_EQ(calls.find('!'), std::string::npos);
  EXPECT_THAT(Console(),
              ::testing::HasSubstr("Allocating port /dev/parport0:\t\t\t\tOK\n"
                                   "Accepting connections through port /dev/parport0\n"));
}

// SIGTERM ends the program from the signal handler: the port is released
// on the way out.
TEST(StartupDeathTest, ASignalThatEndsTheProgramReleasesTheDevice) {
  EXPECT_EXIT(
      {
        FakePort port;
        platform = &port;
        FakePpdev ppdev(&port);
        ppdev.EchoTo(STDERR_FILENO);
        portBackend.devices = true;
        char why[256];
        OpenChosenPort({.kind = PortKind::kDevice, .device = "/dev/parport0"}, nullptr, why,
                       sizeof why);
        InstallSignalHandlers();
        raise(SIGTERM);
      },
      ::testing::ExitedWithCode(0), "PPCLAIM\nPPRELEASE\nclose\n");
}

}  // namespace
}  // namespace lpx
