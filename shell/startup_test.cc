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

TEST(StartupTest, PortArgumentsAndRights) {
  const Ids user{.u = {1000, 1000, 1000}}, root{.u = {0, 0, 0}}, setGid{.g = {100, 0, 0}};
  const std::string on = "\t\t\t\tOK\nAccepting connections through port ";
  auto refused = "Failed! -- cannot give back root's rights; refusing to serve files as root.";
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
  ResetAllState();
  platform = nullptr;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGSEGV}) signal(sig, SIG_DFL);
}

}  // namespace
}  // namespace lpx
