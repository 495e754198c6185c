// A gtest fixture for tests that drive the command loop through a client:
// every subsystem reset, the fake port as the platform, the console
// captured, a temporary directory of the test's own, and sessions of the
// server against a ClientModel.
//
//   TEST_F(ServerSessionTest, ...) {
//     EXPECT_EQ(Run({"CONNECT"}), Replies{"OK A"});
//     EXPECT_EQ(Console(), "CONNECTION ESTABLISHED\t\t\t\tOK");
//   }
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "link/port.h"
#include "log/console.h"
#include "platform/platform.h"
#include "testing/client_model.h"
#include "testing/fake_port.h"
#include "testing/reset.h"
#include "testing/temp_dir.h"

namespace lpx {

class ServerSessionTest : public ::testing::Test {
 protected:
  using Replies = std::vector<std::string>;

  void SetUp() override {
    ResetAllState();
    platform = &port_;
    ConsoleCaptureStart();
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
  }

  void TearDown() override {
    // MD enters the directory it made; give the process its own back.
    EXPECT_EQ(chdir(cwd_), 0);
    next_.reset();
    last_.reset();
    ConsoleCaptureStop();
    ResetAllState();
    platform = nullptr;
  }

  // The client of the next session, for scripting beyond plain commands.
  ClientModel& Client() {
    if (!next_) next_ = std::make_unique<ClientModel>(port_);
    return *next_;
  }

  // Runs one session until the client ends it: whatever Client() was
  // already scripted to send, then `commands`. Returns the server's replies.
  // The command state starts afresh with every session. (An upload's data
  // frames must be queued after its SIZE: script such a session through
  // Client() alone and call Run() without commands.)
  Replies Run(const std::vector<std::string>& commands = {}) {
    ClientModel& client = Client();
    for (const std::string& command : commands) client.Send(command);
    keyflag = 0;
    client.RunServer();
    EXPECT_FALSE(client.TimedOut());
    last_ = std::move(next_);
    return last_->Replies();
  }

  // The client of the session that ran last.
  ClientModel& Last() { return *last_; }

  // Console output since the last call.
  std::string Console() {
    console_ += ConsoleCaptureTake();
    std::string out;
    out.swap(console_);
    return out;
  }
  bool Logged(const std::string& text) {
    console_ += ConsoleCaptureTake();
    return console_.find(text) != std::string::npos;
  }

  FakePort port_;
  TempDir dir_;

 private:
  std::unique_ptr<ClientModel> next_;
  std::unique_ptr<ClientModel> last_;
  std::string console_;
  char cwd_[PATH_MAX] = {};
};

}  // namespace lpx
