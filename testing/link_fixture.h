// A gtest fixture for tests of the link: every subsystem reset, the fake port
// at LPT2 as the platform with the reactive peer on its far end, the console
// captured, and a frame buffer followed by guard bytes that every test
// checks are never written.
//
//   TEST_F(LinkTest, ...) {
//     peer_.CodeAt(0, kCodeEnded);
//     EXPECT_EQ(Send("abc"), LinkResult::kRefused);
//     EXPECT_EQ(Log(4), "w37a=04 w378=18 r379*1 w378=01");
//   }
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "link/frame.h"
#include "link/port.h"
#include "log/console.h"
#include "testing/frame_peer.h"
#include "testing/reset.h"

namespace lpx {

class LinkTest : public ::testing::Test {
 public:
  using Bytes = std::vector<uint8_t>;
  using Sleeps = std::vector<uint32_t>;
  static constexpr uint16_t kData = 0x378;

 protected:
  void SetUp() override {
    FreshCable();
    ConsoleCaptureStart();
  }
  void TearDown() override {
    ConsoleCaptureStop();
    ResetAllState();
    platform = nullptr;
    EXPECT_EQ(Bytes(area_.guard, area_.guard + sizeof area_.guard), Bytes(sizeof area_.guard, 0));
  }

  // Everything back at its start, with a new port and peer: as if the
  // cable had just been plugged in.
  virtual void FreshCable() {
    ResetAllState();
    port_ = FakePort();
    peer_ = FramePeer(kData);
    port_.SetPeer(&peer_);
    platform = &port_;
    portaddr = kData;
    portaddr1 = kData + 1;
  }

  // Sends a frame of `payload` with UploadBlock.
  LinkResult Send(std::string_view payload, int32_t block = 1, bool* replyBegun = nullptr) {
    const Bytes frame = BuildFrame(block, payload);
    std::copy(frame.begin(), frame.end(), area_.frame);
    return UploadBlock(area_.frame, replyBegun);
  }
  // Receives a frame with DownloadBlock.
  LinkResult Receive(int32_t expected, FrameCheck check = nullptr) {
    SetFrameBlock(area_.frame, expected);
    return DownloadBlock(area_.frame, check);
  }

  // The first `n` entries of the port log: "w378=18" a write, "r379*2" a run
  // of reads, "s100000" a sleep, "p378" a port granted ("p378!" refused).
  std::string Log(size_t n) const {
    std::string out;
    for (size_t i = 0; i < n && i < port_.log().size(); ++i) {
      const FakePort::Access& a = port_.log()[i];
      char entry[32] = "";
      using K = FakePort::Kind;
      if (a.kind == K::kWrite) snprintf(entry, sizeof entry, " w%x=%02x", a.addr, a.value);
      if (a.kind == K::kRead) snprintf(entry, sizeof entry, " r%x*%u", a.addr, a.count);
      if (a.kind == K::kPermit) snprintf(entry, sizeof entry, " p%x%s", a.addr, a.value ? "" : "!");
      if (a.kind == K::kSleep) snprintf(entry, sizeof entry, " s%u", a.value);
      out += entry;
    }
    return out.empty() ? out : out.substr(1);
  }

  static Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  // The last `n` elements of `v` (all of them when it is shorter).
  template <typename T>
  static std::vector<T> Tail(const std::vector<T>& v, size_t n) {
    return std::vector<T>(v.end() - static_cast<std::ptrdiff_t>(std::min(n, v.size())), v.end());
  }

  FakePort port_;
  FramePeer peer_{kData};

 private:
  struct {
    uint8_t frame[kFrameBufferSize];
    uint8_t guard[256];
  } area_ = {};
};

}  // namespace lpx
