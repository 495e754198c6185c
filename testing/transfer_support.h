// Test support for the transfer handlers: a fake port with a frame peer at
// the far end, a temporary directory of the test's own, and small file
// helpers. Tests only.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/command.h"
#include "link/port.h"
#include "log/console.h"
#include "service/transfer_state.h"
#include "testing/fake_port.h"
#include "testing/frame_peer.h"
#include "testing/reset.h"
#include "testing/stepping_clock.h"
#include "testing/temp_dir.h"

namespace lpx {

// A local time by hand, independent of the code under test.
inline time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm fields = {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return mktime(&fields);
}

class TransferTest : public ::testing::Test {
 protected:
  static constexpr uint16_t kData = 0x378;
  static constexpr uint16_t kStatus = 0x379;

  void SetUp() override {
    ResetAllState();
    keyflag = 0;
    portaddr = kData;
    portaddr1 = kStatus;
    port_.SetPeer(&peer_);
    port_.SetRecording(false);
    saved_ = platform;
    platform = &port_;
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    ConsoleCaptureStart();
  }

  void TearDown() override {
    ConsoleCaptureStop();
    ResetTransferState();
    keyflag = 0;
    abortClicked = 0;
    platform = saved_;
  }

  std::string Path(const std::string& name) const { return temp_.Local(name); }

  void WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }
  time_t ModTime(const std::string& name) const {
    struct stat status;
    return stat(Path(name).c_str(), &status) == 0 ? status.st_mtime : -1;
  }
  void SetModTime(const std::string& name, time_t t) {
    struct utimbuf times = {t, t};
    ASSERT_EQ(utime(Path(name).c_str(), &times), 0);
  }

  // What the peer received: the command replies and the data frames.
  std::vector<std::string> Replies() const {
    std::vector<std::string> out;
    for (const FramePeer::Frame& f : peer_.frames()) {
      if (f.block == 0) out.emplace_back(f.payload.begin(), f.payload.end());
    }
    return out;
  }
  std::vector<FramePeer::Frame> DataFrames() const {
    std::vector<FramePeer::Frame> out;
    for (const FramePeer::Frame& f : peer_.frames()) {
      if (f.block != 0) out.push_back(f);
    }
    return out;
  }
  std::string Data() const {
    std::string out;
    for (const FramePeer::Frame& f : DataFrames()) out.append(f.payload.begin(), f.payload.end());
    return out;
  }
  std::string Console() { return console_ += ConsoleCaptureTake(); }

  FakePort port_;
  FramePeer peer_{kData};
  Platform* saved_ = nullptr;
  TempDir temp_;
  std::string dir_;  // its path
  std::string console_;
};

}  // namespace lpx
