// Two processes over the simulated cable: the parent is the server's end
// (end 0, server wait policy), a forked child the client's end (end 1,
// client wait policy). Frames of several lengths go each way, byte for
// byte, and a command message makes a round trip.
//
// Turn-taking: after the last link code of a frame the side that answered
// it waits before it sends in turn, so that the other side, which may be in
// a pause of its wait, sees the line at rest first. Towards the server that
// is longer than its 100 ms pause plus a burst; towards the client, whose
// pauses are tiny, a few milliseconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/session.h"
#include "link/command.h"
#include "link/frame.h"
#include "link/port.h"
#include "platform/platform.h"
#include "platform/sim_cable.h"
#include "testing/temp_dir.h"

namespace lpx {
namespace {

constexpr uint16_t kBase = 0x378;  // LPT2
constexpr int32_t kLengths[] = {0, 1, 4095, 4096};
constexpr uint32_t kTurnToServerUs = 150000;
constexpr uint32_t kTurnToClientUs = 20000;
constexpr int kChildSeconds = 60;      // the child ends itself after this
constexpr int kReapMs = 30000;         // the parent waits this long for it
constexpr int kFirstCommandMs = 5000;  // the parent waits this long for it

std::vector<uint8_t> Payload(int32_t length, uint32_t seed) {
  std::vector<uint8_t> out(static_cast<size_t>(length));
  for (uint8_t& b : out) {
    seed = seed * 1664525 + 1013904223;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return out;
}

void FillFrame(uint8_t* frame, int32_t block, const std::vector<uint8_t>& payload) {
  SetFrameLength(frame, static_cast<int32_t>(payload.size()));
  SetFrameBlock(frame, block);
  if (!payload.empty()) memcpy(FramePayload(frame), payload.data(), payload.size());
}

bool FrameHolds(const uint8_t* frame, int32_t block, const std::vector<uint8_t>& payload) {
  return FrameLength(frame) == static_cast<int32_t>(payload.size()) && FrameBlock(frame) == block &&
         (payload.empty() || memcmp(frame + kPayloadOffset, payload.data(), payload.size()) == 0);
}

void OpenEnd(int end) {
  ResetLinkPortState();
  ResetLinkCommandState();
  platform = NewSimulatedCable(end);
  portaddr = platform->Permit(kBase) ? kBase : 0;
  portaddr1 = kBase + 1;
  linkPolicy.wait = end == 0 ? kServerWaitPolicy : kClientWaitPolicy;
}

// The client's half. Returns 0, or the number of the step that failed.
int RunClient() {
  OpenEnd(1);
  if (portaddr == 0) return 1;
  WritePort(kBase, 0);
  if (RemoteSendCommand("CONNECT") != 1) return 2;
  char line[kCommandBufferSize];
  if (ReceiveCommandString(line) != 1) return 3;
  if (strcmp(line, "OK A") != 0) return 4;
  for (int i = 0; i < 4; ++i) {
    SetFrameBlock(indbuf, i + 1);
    if (DownloadBlock(indbuf) != LinkResult::kOk) return 10 + i;
    if (!FrameHolds(indbuf, i + 1, Payload(kLengths[i], 100 + i))) return 20 + i;
  }
  platform->SleepUs(kTurnToServerUs);
  for (int i = 0; i < 4; ++i) {
    FillFrame(databuf, i + 1, Payload(kLengths[i], 200 + i));
    if (UploadBlock(databuf) != LinkResult::kOk) return 30 + i;
  }
  return 0;
}

// Reaps the child on every way out of the test, killing it when it
// overstays.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (pid_ > 0) Reap();
  }
  // The child's exit status, or -1 when it had to be killed or died of a
  // signal.
  int Reap() {
    int status = 0;
    for (int waited = 0; waited < kReapMs; waited += 10) {
      pid_t got = waitpid(pid_, &status, WNOHANG);
      if (got == pid_) {
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (got < 0) break;
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return -1;
  }

 private:
  pid_t pid_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

class CableTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = platform; }
  void TearDown() override {
    delete platform;
    platform = saved_;
    ResetLinkPortState();
    ResetLinkCommandState();
  }
  Platform* saved_ = nullptr;
};

TEST_F(CableTest, FramesAndCommandsCrossTheCableBothWays) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  ScopedEnv cableDir("LPXFER_CABLE_DIR", dir.path().c_str());
  // The default access cost, set so that the environment cannot change it.
  // With no cost at all the server's burst of 9,999 reads lasts only about
  // 50 us, shorter than a scheduling hiccup or the client's shortest pause,
  // and nearly every handshake step would cost a 100 ms pause.
  ScopedEnv cableNs("LPXFER_CABLE_NS", "1000");

  OpenEnd(0);
  ASSERT_NE(portaddr, 0);
  WritePort(kBase, 0);

  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(kChildSeconds);
    _exit(RunClient());
  }
  Child child(pid);

  // Bounded, unlike the command loop's idle wait.
  bool raised = false;
  for (int ms = 0; ms < kFirstCommandMs && !raised; ++ms) {
    raised = (ReadPort(kBase + 1) & kStatusBusyBit) == 0;
    if (!raised) platform->SleepUs(1000);
  }
  ASSERT_TRUE(raised);
  char line[kCommandBufferSize];
  ASSERT_EQ(ReceiveCommandString(line), 1);
  EXPECT_STREQ(line, "CONNECT");
  platform->SleepUs(kTurnToClientUs);
  ASSERT_EQ(RemoteSendCommand("OK A"), 1);

  for (int i = 0; i < 4; ++i) {
    FillFrame(databuf, i + 1, Payload(kLengths[i], 100 + i));
    ASSERT_EQ(UploadBlock(databuf), LinkResult::kOk) << "length " << kLengths[i];
  }
  for (int i = 0; i < 4; ++i) {
    SetFrameBlock(indbuf, i + 1);
    ASSERT_EQ(DownloadBlock(indbuf), LinkResult::kOk) << "length " << kLengths[i];
    EXPECT_TRUE(FrameHolds(indbuf, i + 1, Payload(kLengths[i], 200 + i)))
        << "length " << kLengths[i];
  }
  EXPECT_EQ(child.Reap(), 0);
}

}  // namespace
}  // namespace lpx
