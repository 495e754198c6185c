#include "shell/startup.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <tuple>

#include "convert/variant.h"
#include "link/port.h"
#include "log/console.h"
#include "testing/fake_port.h"
#include "testing/reset.h"

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

class StartupTest : public testing::Test {
 protected:
  void SetUp() override { ConsoleCaptureStart(); }
  void TearDown() override {
    ConsoleCaptureStop();
    ResetAllState();
    platform = nullptr;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGSEGV}) signal(sig, SIG_DFL);
  }
  // Runs the server with one argument on `port` under the fake ids, until
  // its first idle poll; returns the exit status, the console in out_.
  int Serve(Platform* port, const char* arg, const Ids& before, bool c = false) {
    ResetAllState();
    platform = port;
    identity = kFakeIds;
    ids = before;
    variantC = c;
    keyflag = 1;
    char* argv[] = {const_cast<char*>("lpxferd"), const_cast<char*>(arg), nullptr};
    const int status = ServerMain(2, argv);
    out_ = ConsoleCaptureTake();
    return status;
  }
  std::string out_;
};

constexpr const char* kRefusedRoot =
    "Failed! -- cannot give back root's rights; refusing to serve files as root.";

TEST_F(StartupTest, PortArgumentsAndRights) {
  const Ids user{.u = {1000, 1000, 1000}}, root{.u = {0, 0, 0}}, setGid{.g = {100, 0, 0}};
  const std::string on = "\t\t\t\tOK\nAccepting connections through port ";
  auto refused = kRefusedRoot;
  // The argument (no client on the cable: the loop ends at its first idle
  // poll; LPT3 cannot be opened), the ids before and after, the exit
  // status, a text printed, variant C.
  const std::tuple<const char*, Ids, Ids, int, std::string, bool> cases[] = {
      {"12", {}, user, 0, "=\nAllocating port LPT1:" + on + "LPT1, port addr 0x3BC\n", false},
      {"7", {}, user, 0, "LPT7:" + on + "LPT2, port addr 0x378\nDISCONNECT\t\t\t\t\tOK\n", false},
      {"3", {}, {}, 1, "LPT3:\nFailed! -- no response on any port.\n\n", false},
      {"2", root, root, 0, "\nWARNING:\n", false},
      {"2", user, user, 0, "\nWARNING:\n", false},
      {"2", {.fault = 1}, {.fault = 1}, 1, refused, false},
      {"2", {.fault = 2}, {.fault = 2}, 1, refused, false},
      {"2", setGid, user, 0, "LPT2:" + on, false},
      {"2", {.g = {100, 0, 0}, .fault = 3}, {.g = {100, 0, 0}, .fault = 3}, 1, refused, false},
      {"2", {}, user, 0, "\nUTF-8 build: local file names", true},
  };
  for (const auto& [arg, before, after, status, printed, c] : cases) {
    FakePort port;
    port.RefusePort(0x278);
    EXPECT_EQ(Serve(&port, arg, before, c), status) << printed;
    EXPECT_NE(out_.find(printed), std::string::npos) << out_;
    EXPECT_EQ(out_.find("Accepting") != std::string::npos, status == 0) << out_;
    EXPECT_TRUE(ids == after) << out_;
  }
}

// A port that is a file of the user's (the simulated cable): the ids when it
// was opened, how often, and the reason it gives for a refusal.
struct UserFilePort final : PlatformWrapper {
  using PlatformWrapper::PlatformWrapper;
  bool PermitNeedsRoot() override { return false; }
  bool Permit(uint16_t) override { return openedAs = ids, ++opens, why == nullptr; }
  const char* WhyRefused() override { return why; }
  Ids openedAs;
  int opens = 0;
  const char* why = nullptr;
};

// Set-user-id root, such a port is opened only once the rights are given
// back for good, and not at all when they cannot be. A refusal names the
// cable and what is wrong with it.
TEST_F(StartupTest, AUsersFileIsOpenedWithTheUsersRights) {
  const Ids user{.u = {1000, 1000, 1000}};
  const struct {
    Ids before;
    const char* why;
    int status;
    std::string printed;
  } cases[] = {
      {{}, nullptr, 0, "LPT2:\t\t\t\tOK\nAccepting connections through port LPT2"},
      {{.fault = 1}, nullptr, 1, std::string("LPT2:\n") + kRefusedRoot + "\n\n"},
      {{},
       "the cable file /c/lpt2 is a symbolic link",
       1,
       "LPT2:\nAccess refused: the cable file /c/lpt2 is a symbolic link\n"
       "Failed! -- no response on any port.\n\n"},
  };
  for (const auto& c : cases) {
    FakePort fake;
    UserFilePort port(&fake);
    port.why = c.why;
    EXPECT_EQ(Serve(&port, "2", c.before), c.status);
    EXPECT_NE(out_.find(c.printed), std::string::npos) << out_;
    EXPECT_EQ(port.opens, c.before.fault == 0 ? 1 : 0);
    EXPECT_TRUE(port.opens == 0 || port.openedAs == user);
  }
}

}  // namespace
}  // namespace lpx
