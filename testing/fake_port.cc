#include "testing/fake_port.h"

#include "platform/wiring.h"

namespace lpx {

uint8_t FakePort::In(uint16_t addr) {
  if (peer_ != nullptr) peer_->OnRead(*this, addr);
  now_us_ += access_cost_us_;
  // The status register sits at base + 1 of every standard port.
  const auto it =
      port_peer_.empty() ? port_peer_.end() : port_peer_.find(static_cast<uint16_t>(addr - 1));
  const uint8_t data = it != port_peer_.end() ? it->second : peer_ ? peer_->Data(*this) : 0;
  const bool status = addr == 0x3BD || addr == 0x379 || addr == 0x279;
  const uint8_t value = status ? StatusFromPeerData(data) : Register(addr);
  Record(Kind::kRead, addr, value);
  return value;
}

void FakePort::Out(uint16_t addr, uint8_t value) {
  now_us_ += access_cost_us_;
  registers_[addr & 0x3FF] = value;
  Record(Kind::kWrite, addr, value);
  if (peer_ != nullptr) peer_->OnWrite(*this, addr, value);
}

bool FakePort::Permit(uint16_t base) {
  const bool granted = refused_.count(base) == 0;
  Record(Kind::kPermit, base, granted);
  return granted;
}

void FakePort::SleepUs(uint32_t us) {
  now_us_ += us;
  Record(Kind::kSleep, 0, us);
  if (peer_ != nullptr) peer_->OnSleep(*this, us);
}

TimeB FakePort::Now() {
  now_us_ += clock_step_us_;
  uint64_t ms = now_us_ / 1000;
  return TimeB{kStartEpoch + static_cast<int64_t>(ms / 1000), static_cast<uint16_t>(ms % 1000)};
}

void FakePort::Record(Kind kind, uint16_t addr, uint32_t value) {
  if (!recording_) return;
  if (kind == Kind::kRead && !log_.empty() && log_.back().kind == kind &&
      log_.back().addr == addr && log_.back().value == value) {
    ++log_.back().count;
    return;
  }
  log_.push_back(Access{kind, addr, value, 1});
}

std::vector<uint32_t> FakePort::Logged(Kind kind, uint16_t addr) const {
  std::vector<uint32_t> out;
  for (const Access& a : log_) {
    if (a.kind == kind && a.addr == addr) out.push_back(a.value);
  }
  return out;
}

}  // namespace lpx
