// A gtest fixture that drives the server as the client does: every
// subsystem reset, the fake port as the platform with a ClientModel at the
// far end (also for handlers called alone), the console captured, and a
// temporary directory of the test's own. A test tells a short story: the
// files given, a session of commands and upload frames, then the replies,
// the console and the files on disk.
//
//   TEST_F(ServerSessionTest, ...) {
//     Given({"f=abc"});
//     EXPECT_EQ(Run({"GET @f"}), (Replies{"TIME 852452445", "ATTR 32", "SIZE 3", "#abc"}));
//   }
//
// In a session "@" stands for the test directory as the client writes it,
// with a backslash after it, and a line "#payload" is the next data frame of
// an upload (blocks 1, 2, ... after each command). What Run() returns reads
// the same way: the server's replies, its data frames as "#payload", and its
// abort frame as "#!".
#pragma once

#include <gmock/gmock.h>
#include <utime.h>

#include <memory>

#include "link/frame_format.h"
#include "link/port.h"
#include "log/console.h"
#include "testing/client_model.h"
#include "testing/reset.h"
#include "testing/temp_dir.h"

namespace lpx {

using Replies = std::vector<std::string>;

// One story of a table: the test ServerSessionTest.Told (in
// service/command_loop_test.cc) tells each that INSTANTIATE_TEST_SUITE_P(...,
// ServerSessionTest, ...) gives it. The replies are always checked, the rest
// only when given.
struct Story {
  Replies given = {};           // as Given() takes them
  Replies session = {};         // as Run() takes it
  Replies replies = {};         // what the server sent, as Run() returns it
  Replies after = {};           // the files then: "name=content", or "name" for one that is gone
  std::vector<int> codes = {};  // the link code each data frame of the session got
  std::string logged = {};      // console text of the session, "@" expanded
};

class ServerSessionTest : public ::testing::TestWithParam<Story> {
 protected:
  void SetUp() override {
    ResetAllState();
    platform = &port_;
    portaddr = 0x378, portaddr1 = 0x379;  // as a session sets them
    ConsoleCaptureStart();
  }
  void TearDown() override {
    ConsoleCaptureStop();
    ResetAllState();
    platform = nullptr;
  }

  std::string Expand(const std::string& text) const {
    std::string out;
    for (char c : text) out += c == '@' ? dir_.Client("") + "\\" : std::string(1, c);
    return out;
  }
  // The client of the next session, for scripting beyond Run()'s lines.
  ClientModel& Client() { return next_ ? *next_ : *(next_ = std::make_unique<ClientModel>(port_)); }
  // Runs one session (the command state starts afresh) until the client has
  // sent it all; returns what the server sent.
  Replies Run(const Replies& session = {}) {
    int32_t block = 0;
    for (const std::string& line : session) {
      block = line[0] == '#' ? block + 1 : 0;
      if (block == 0) Client().Send(Expand(line));
      if (block != 0) Client().SendData(block, std::string_view(line).substr(1));
    }
    keyflag = 0;
    Serve(Client());
    EXPECT_FALSE(Client().TimedOut());
    last_ = std::move(next_);
    Replies out;
    for (const FramePeer::Frame& f : last_->frames()) {
      const std::string payload(f.payload.begin(), f.payload.end());
      out.push_back(f.block == 0 ? payload : f.block > 0 ? "#" + payload : "#!");
    }
    return out;
  }
  // Runs the server for one session; a fixture may start it otherwise.
  virtual void Serve(ClientModel& client) { client.RunServer(); }
  // The last link code each data frame of the last session got (-1: never sent).
  std::vector<int> Codes() const {
    std::vector<int> out;
    for (const auto& i : last_->items())
      if (FrameBlock(i.bytes.data()) != 0) out.push_back(i.codes.empty() ? -1 : i.codes.back());
    return out;
  }
  // The console since the last call.
  std::string Console() { return ConsoleCaptureTake(); }
  // "name=content" for a file, "name" for one that is not there.
  std::string File(const std::string& name) const {
    return dir_.Exists(name) ? name + "=" + dir_.Read(name) : name;
  }

  // Makes files ("name=content"; "name" empty) and directories ("name/"),
  // all dated 2005-06-15 12:34:56 local time, FAT word 852452445. An entry
  // without "=" that exists already is only dated.
  void Given(const Replies& entries) {
    for (const std::string& entry : entries) {
      const std::string name = entry.substr(0, entry.find('='));
      const std::string content = entry.substr(std::min(entry.size(), name.size() + 1));
      const bool kept = name == entry && dir_.Exists(name);
      ASSERT_TRUE(kept || (name.back() == '/' ? dir_.MakeDir(name) : dir_.Write(name, content)));
      struct tm t = {56, 34, 12, 15, 5, 105, 0, 0, -1, 0, nullptr};
      const struct utimbuf times = {mktime(&t), mktime(&t)};
      ASSERT_EQ(utime(dir_.Local(name).c_str(), &times), 0) << name;
    }
  }
  void Tell(const Story& story) {
    Given(story.given);
    EXPECT_EQ(Run(story.session), story.replies);
    for (const auto& f : story.after) EXPECT_EQ(File(f.substr(0, f.find('='))), f);
    EXPECT_EQ(story.codes.empty() ? story.codes : Codes(), story.codes);
    EXPECT_THAT(Console(), ::testing::HasSubstr(Expand(story.logged)));
  }

  FakePort port_;
  TempDir dir_;
  std::unique_ptr<ClientModel> next_;
  std::unique_ptr<ClientModel> last_;
};

}  // namespace lpx
