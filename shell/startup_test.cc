#include "shell/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/variant.h"
#include "link/command.h"
#include "link/port.h"
#include "log/console.h"
#include "log/memo.h"
#include "testing/fake_port.h"

namespace lpx {
namespace {

// A client on one port that raises its busy line until the server has seen
// it once, then idles; Ctrl/C arrives at the server's first idle poll.
class ClientOnPort : public FakePeer {
 public:
  explicit ClientOnPort(uint16_t base) : status_(static_cast<uint16_t>(base + 1)) {}
  uint8_t Data(const FakePort&) override { return 0; }
  void OnRead(FakePort& port, uint16_t addr) override {
    if (addr != status_ || seen_) return;
    port.SetPeerDataAt(static_cast<uint16_t>(status_ - 1), 0x10);
    ++reads_;
    if (reads_ > 1) {
      seen_ = true;
      port.ClearPeerDataAt(static_cast<uint16_t>(status_ - 1));
    }
  }
  void OnSleep(FakePort& port) override {
    if (seen_ && port.Sleeps().back() == kIdlePollUs) keyflag = 1;
  }

 private:
  uint16_t status_;
  int reads_ = 0;
  bool seen_ = false;
};

struct FakeIds {
  uid_t r = 1000, e = 0, s = 0;
  bool failSet = false;
  gid_t rg = 100, eg = 100, sg = 100;
  bool failSetGroup = false;
};
FakeIds ids;

uid_t FakeGetuid() { return ids.r; }
uid_t FakeGeteuid() { return ids.e; }
int FakeGetresuid(uid_t* r, uid_t* e, uid_t* s) {
  *r = ids.r;
  *e = ids.e;
  *s = ids.s;
  return 0;
}
int FakeSetresuid(uid_t r, uid_t e, uid_t s) {
  if (ids.failSet) return -1;
  ids.r = r;
  ids.e = e;
  ids.s = s;
  return 0;
}
gid_t FakeGetgid() { return ids.rg; }
int FakeGetresgid(gid_t* r, gid_t* e, gid_t* s) {
  *r = ids.rg;
  *e = ids.eg;
  *s = ids.sg;
  return 0;
}
int FakeSetresgid(gid_t r, gid_t e, gid_t s) {
  // Only root may set another group.
  if (ids.failSetGroup || ids.e != 0) return -1;
  ids.rg = r;
  ids.eg = e;
  ids.sg = s;
  return 0;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLinkPortState();
    ResetLinkCommandState();
    ResetMemoState();
    variantC = false;
    platform = &port_;
    ids = FakeIds{};
    identity = IdentityOps{FakeGetuid, FakeGeteuid,   FakeGetresuid, FakeSetresuid,
                           FakeGetgid, FakeGetresgid, FakeSetresgid};
    ConsoleCaptureStart();
  }
  void TearDown() override {
    ConsoleCaptureStop();
    ResetIdentityOps();
    platform = nullptr;
    ResetLinkPortState();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGSEGV, SIG_DFL);
  }
  int Run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int status = ServerMain(static_cast<int>(args.size()), argv.data());
    out_ = ConsoleCaptureTake();
    return status;
  }
  bool Printed(const std::string& text) const { return out_.find(text) != std::string::npos; }

  FakePort port_;
  std::string out_;
};

TEST_F(StartupTest, BannerAndDiscoveryFindTheClientOnLpt2) {
  ClientOnPort client(0x378);
  port_.SetPeer(&client);
  EXPECT_EQ(Run({"lpxferd"}), 0);
  EXPECT_EQ(out_.rfind("\nLPXFERD 1.0 -- Parallel port server for Quillfile.\n\n"
                       "Usage:  ./lpxferd <portnr>     with <portnr> = 1|2|3 or empty\n"
                       "This program can be aborted by pressing Ctrl/C\n",
                       0),
            0u);
  EXPECT_TRUE(
      Printed("\n==========================================================\n"
              "Allocating port LPT:\t\t\t\tOK\n"
              "Accepting connections through port LPT2, port addr 0x378\n"));
  EXPECT_FALSE(Printed("WARNING"));  // set-user-id root, run by a user
  EXPECT_TRUE(Printed("0x378\nDISCONNECT\t\t\t\t\tOK\n"));
  EXPECT_EQ(ids.e, 1000u);
  EXPECT_EQ(ids.s, 1000u);
}

TEST_F(StartupTest, ExplicitPortsUseOnlyTheFirstCharacter) {
  port_.SetPeerData(0);
  keyflag = 1;  // the loop ends at its first idle poll
  EXPECT_EQ(Run({"lpxferd", "1"}), 0);
  EXPECT_TRUE(
      Printed("Allocating port LPT1:\t\t\t\tOK\nAccepting connections through port "
              "LPT1, port addr 0x3BC\n"));
  ResetLinkPortState();
  keyflag = 1;
  EXPECT_EQ(Run({"lpxferd", "12"}), 0);
  EXPECT_TRUE(Printed("through port LPT1, port addr 0x3BC"));
  ResetLinkPortState();
  keyflag = 1;
  EXPECT_EQ(Run({"lpxferd", "7"}), 0);
  EXPECT_TRUE(
      Printed("Allocating port LPT7:\t\t\t\tOK\nAccepting connections through port "
              "LPT2, port addr 0x378\n"));
}

TEST_F(StartupTest, EmptyArgumentMeansDiscovery) {
  ClientOnPort client(0x278);
  port_.SetPeer(&client);
  EXPECT_EQ(Run({"lpxferd", ""}), 0);
  EXPECT_TRUE(
      Printed("Allocating port LPT:\t\t\t\tOK\nAccepting connections through port "
              "LPT3, port addr 0x278\n"));
}

TEST_F(StartupTest, NoPortMeansFailureWithStatus1) {
  port_.RefusePort(0x3BC);
  EXPECT_EQ(Run({"lpxferd", "1"}), 1);
  EXPECT_TRUE(Printed("Allocating port LPT1:\nFailed! -- no response on any port.\n\n"));
  EXPECT_FALSE(Printed("Accepting"));

  port_.RefusePort(0x278);
  port_.RefusePort(0x378);
  ResetLinkPortState();
  EXPECT_EQ(Run({"lpxferd"}), 1);
  EXPECT_TRUE(Printed("Allocating port LPT:\nFailed! -- no response on any port.\n\n"));
}

TEST_F(StartupTest, RightsWarningUnlessSetUserIdRootRunByAUser) {
  ids = FakeIds{0, 0, 0};  // root itself
  keyflag = 1;
  EXPECT_EQ(Run({"lpxferd", "2"}), 0);
  EXPECT_TRUE(
      Printed("\nWARNING:\n   You can run this program as a normal user,\n"
              "   but it must have the \"root sticky bit\" set.\n"
              "   This is achieved with the following commands:\n"
              "\tsu\n\tchown root lpxferd\n\tchmod  +s  lpxferd\n\texit\n\n"));
  EXPECT_EQ(ids.e, 0u);  // root keeps root's rights

  ids = FakeIds{1000, 1000, 1000};  // a user, no set-user-id
  ResetLinkPortState();
  keyflag = 1;
  EXPECT_EQ(Run({"lpxferd", "2"}), 0);
  EXPECT_TRUE(Printed("WARNING"));
}

TEST_F(StartupTest, RefusesToServeWhenRightsCannotBeGivenBack) {
  ids.failSet = true;
  EXPECT_EQ(Run({"lpxferd", "2"}), 1);
  EXPECT_TRUE(Printed("Failed! -- cannot give back root's rights"));
  EXPECT_FALSE(Printed("Accepting"));
  EXPECT_EQ(ids.e, 0u);
}

TEST_F(StartupTest, BorrowedGroupIsGivenBackBeforeTheUser) {
  // "chmod +s" on a copy that root installed: set-group-id root as well.
  ids.eg = 0;
  ids.sg = 0;
  keyflag = 1;
  EXPECT_EQ(Run({"lpxferd", "2"}), 0);
  EXPECT_EQ(ids.eg, 100u);
  EXPECT_EQ(ids.sg, 100u);
  EXPECT_EQ(ids.e, 1000u);

  ids = FakeIds{};
  ids.eg = 0;
  ids.failSetGroup = true;
  ResetLinkPortState();
  EXPECT_EQ(Run({"lpxferd", "2"}), 1);
  EXPECT_TRUE(Printed("Failed! -- cannot give back root's rights"));
  EXPECT_FALSE(Printed("Accepting"));
}

TEST_F(StartupTest, VariantCPrintsTwoAttributionLines) {
  variantC = true;
  keyflag = 1;
  EXPECT_EQ(Run({"lpxferd", "2"}), 0);
  size_t usage = out_.find("Ctrl/C\n");
  size_t rule = out_.find("=====");
  ASSERT_NE(usage, std::string::npos);
  ASSERT_NE(rule, std::string::npos);
  std::string between = out_.substr(usage + 7, rule - usage - 7);
  EXPECT_EQ(std::count(between.begin(), between.end(), '\n'), 2);
}

}  // namespace
}  // namespace lpx
