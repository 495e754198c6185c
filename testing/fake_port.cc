#include "testing/fake_port.h"

#include "platform/wiring.h"

namespace lpx {

uint8_t FakePort::Status(uint16_t statusAddr) const {
  auto it = port_peer_.find(static_cast<uint16_t>(statusAddr - 1));
  uint8_t data = it != port_peer_.end() ? it->second
                 : peer_ != nullptr     ? peer_->Data(*this)
                                        : peer_data_;
  return StatusFromPeerData(data);
}

uint8_t FakePort::In(uint16_t addr) {
  if (peer_ != nullptr) peer_->OnRead(*this, addr);
  now_us_ += access_cost_us_;
  // The status register sits at base + 1 of every standard port.
  bool status = addr == 0x3BD || addr == 0x379 || addr == 0x279;
  uint8_t value = status ? Status(addr) : Register(addr);
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
  last_sleep_us_ = us;
  Record(Kind::kSleep, 0, us);
  if (peer_ != nullptr) peer_->OnSleep(*this);
}

TimeB FakePort::Now() {
  uint64_t ms = now_us_ / 1000;
  return TimeB{kStartEpoch + static_cast<int64_t>(ms / 1000), static_cast<uint16_t>(ms % 1000)};
}

void FakePort::Record(Kind kind, uint16_t addr, uint32_t value) {
  if (!recording_) return;
  Access* last = log_.empty() ? nullptr : &log_.back();
  if (kind == Kind::kRead && last && last->kind == kind && last->addr == addr &&
      last->value == value) {
    ++last->count;
  } else {
    log_.push_back(Access{kind, addr, value, 1});
  }
}

std::vector<uint8_t> FakePort::WritesTo(uint16_t addr) const {
  std::vector<uint8_t> out;
  for (const Access& a : log_) {
    if (a.kind == Kind::kWrite && a.addr == addr) out.push_back(static_cast<uint8_t>(a.value));
  }
  return out;
}

uint64_t FakePort::ReadsOf(uint16_t addr) const {
  uint64_t n = 0;
  for (const Access& a : log_) {
    if (a.kind == Kind::kRead && a.addr == addr) n += a.count;
  }
  return n;
}

std::vector<uint32_t> FakePort::Sleeps() const {
  std::vector<uint32_t> out;
  for (const Access& a : log_) {
    if (a.kind == Kind::kSleep) out.push_back(a.value);
  }
  return out;
}

}  // namespace lpx
