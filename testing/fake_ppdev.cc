#include "testing/fake_ppdev.h"

#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/ppdev.h"
#include "testing/fake_port.h"

namespace lpx {
namespace {

FakePpdev* active = nullptr;
constexpr int kFakeFd = 7;

struct Request {
  unsigned long request;
  const char* name;
  int reg;     // register reached, -1 none
  bool write;  // the byte goes to the register
};

const Request kRequests[] = {
    {PPEXCL, "PPEXCL", -1, false},       {PPCLAIM, "PPCLAIM", -1, false},
    {PPRELEASE, "PPRELEASE", -1, false}, {PPDATADIR, "PPDATADIR", -1, true},
    {PPRDATA, "PPRDATA", 0, false},      {PPWDATA, "PPWDATA", 0, true},
    {PPRSTATUS, "PPRSTATUS", 1, false},  {PPRCONTROL, "PPRCONTROL", 2, false},
    {PPWCONTROL, "PPWCONTROL", 2, true},
};

}  // namespace

FakePpdev::FakePpdev(FakePort* port, uint16_t base) : port_(port), base_(base) {
  active = this;
  ppdevOps = PpdevOps{Open, Ioctl, Close};
}

FakePpdev::~FakePpdev() {
  active = nullptr;
  ResetPpdevOps();
}

void FakePpdev::Fail(const std::string& name, int error, int after, int times) {
  failures_.push_back(Failure{name, error, after, times});
}

std::string FakePpdev::Calls() const {
  std::string out;
  for (const auto& [call, run] : calls_) {
    out += (out.empty() ? "" : "|") + call + (run > 1 ? "*" + std::to_string(run) : "");
  }
  return out;
}

// Records the call; returns 0, or the errno it is to fail with.
int FakePpdev::Outcome(const std::string& name, const std::string& line) {
  const int n = counts_[name]++;
  int error = 0;
  for (const Failure& f : failures_) {
    if (f.name == name && n >= f.after && n - f.after < f.times) error = f.error;
  }
  const std::string call = line + (error != 0 ? "!" : "");
  if (!calls_.empty() && calls_.back().first == call) {
    ++calls_.back().second;
  } else {
    calls_.emplace_back(call, 1);
  }
  if (echo_fd_ >= 0) {
    const std::string echoed = call + "\n";
    if (write(echo_fd_, echoed.data(), echoed.size()) < 0) return EIO;
  }
  return error;
}

int FakePpdev::Open(const char* path, int) {
  errno = active->Outcome("open", std::string("open ") + path);
  return errno == 0 ? kFakeFd : -1;
}

int FakePpdev::Close(int) {
  active->claimed_ = false;
  return (errno = active->Outcome("close", "close")) == 0 ? 0 : -1;
}

int FakePpdev::Ioctl(int, unsigned long request, void* arg) {
  FakePpdev& self = *active;
  const Request* r = nullptr;
  for (const Request& known : kRequests) r = known.request == request ? &known : r;
  if (r == nullptr) return (errno = ENOTTY), -1;
  std::string line = r->name;
  if (r->write) {
    char value[8];
    const int v = request == PPDATADIR ? *static_cast<int*>(arg) : *static_cast<uint8_t*>(arg);
    snprintf(value, sizeof value, " %02x", v);
    line += value;
  }
  errno = self.Outcome(r->name, line);
  if (errno == 0 && r->reg >= 0 && !self.claimed_) errno = EINVAL;
  if (errno != 0) return -1;
  if (request == PPCLAIM) self.claimed_ = true;
  if (request == PPRELEASE) self.claimed_ = false;
  if (r->reg < 0) return 0;
  const uint16_t addr = static_cast<uint16_t>(self.base_ + r->reg);
  uint8_t* byte = static_cast<uint8_t*>(arg);
  if (r->write) {
    self.port_->Out(addr, *byte);
  } else {
    // parport_pc gives the control lines from its copy, bits 0-3 only.
    *byte = r->reg == 2 ? self.port_->Register(addr) & 0x0F : self.port_->In(addr);
  }
  return 0;
}

}  // namespace lpx
