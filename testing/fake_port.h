// A recording fake of the platform with a virtual clock, for tests.
//
// Every register access is logged in order; runs of identical reads fold
// into one entry with a count, so "9,999 reads then a 100 ms sleep" is two
// entries. Time moves when the code under test sleeps (and, on request, at
// every access or every clock reading). What the peer shows on the status
// register comes either from a fixed data byte per port (SetPeerDataAt) or
// from a reactive FakePeer that sees every access.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "platform/platform.h"

namespace lpx {

class FakePort;

// The far end of the cable as the test scripts it. Data() is the peer's data
// register (D0-D4); the fake derives the status register from it through the
// cable's wiring.
class FakePeer {
 public:
  virtual ~FakePeer() = default;
  virtual uint8_t Data(const FakePort& port) = 0;
  // Called after the code under test wrote `value` to `addr`.
  virtual void OnWrite(FakePort& /*port*/, uint16_t /*addr*/, uint8_t /*value*/) {}
  // Called before the code under test reads `addr`.
  virtual void OnRead(FakePort& /*port*/, uint16_t /*addr*/) {}
  // Called after the virtual clock advanced by a sleep of `us`.
  virtual void OnSleep(FakePort& /*port*/, uint32_t /*us*/) {}
};

class FakePort final : public Platform {
 public:
  enum class Kind : uint8_t { kRead, kWrite, kPermit, kSleep };
  struct Access {
    Kind kind;
    uint16_t addr;   // register address, or base for kPermit
    uint32_t value;  // byte read or written; 1/0 granted for kPermit; µs for kSleep
    uint32_t count;  // repetitions folded into this entry (reads only)
  };

  // Virtual start: 2026-01-15 12:00:00 UTC.
  static constexpr int64_t kStartEpoch = 1768478400;

  uint8_t In(uint16_t addr) override;
  void Out(uint16_t addr, uint8_t value) override;
  bool Permit(uint16_t base) override;
  void SleepUs(uint32_t us) override;
  TimeB Now() override;

  // --- Scripting ---
  // A peer data byte for the port at `base` (0 where none is set); it wins
  // over a FakePeer for that port.
  void SetPeerDataAt(uint16_t base, uint8_t value) { port_peer_[base] = value; }
  void SetPeer(FakePeer* peer) { peer_ = peer; }
  void RefusePort(uint16_t base) { refused_.insert(base); }
  void SetNowUs(uint64_t us) { now_us_ = us; }
  // When set, every access also advances the virtual clock by this much,
  // so that long busy loops can see the clock move.
  void SetAccessCostUs(uint64_t us) { access_cost_us_ = us; }
  // When set, every reading of the clock first advances it by this much, for
  // code that watches the clock while it works without touching the port
  // (counting a file for a keep-alive, say), and so would never see time pass.
  void SetClockStepUs(uint64_t us) { clock_step_us_ = us; }
  void SetRecording(bool on) { recording_ = on; }

  // --- Inspection ---
  const std::vector<Access>& log() const { return log_; }
  void ClearLog() { log_.clear(); }
  uint64_t NowUs() const { return now_us_; }
  // The last value written to the register at `addr`.
  uint8_t Register(uint16_t addr) const { return registers_[addr & 0x3FF]; }
  // Values written to `addr`, in order.
  std::vector<uint8_t> WritesTo(uint16_t addr) const {
    const std::vector<uint32_t> values = Logged(Kind::kWrite, addr);
    return std::vector<uint8_t>(values.begin(), values.end());
  }
  // Sleeps in µs, in order.
  std::vector<uint32_t> Sleeps() const { return Logged(Kind::kSleep, 0); }

 private:
  void Record(Kind kind, uint16_t addr, uint32_t value);
  std::vector<uint32_t> Logged(Kind kind, uint16_t addr) const;

  std::vector<Access> log_;
  uint64_t now_us_ = 0;
  uint64_t access_cost_us_ = 0;
  uint64_t clock_step_us_ = 0;
  FakePeer* peer_ = nullptr;
  std::set<uint16_t> refused_;
  std::map<uint16_t, uint8_t> port_peer_;
  uint8_t registers_[0x400] = {};
  bool recording_ = true;
};

}  // namespace lpx
