#include "testing/fake_ppdev.h"

#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/ppdev.h"
#include "testing/fake_port.h"

namespace lpx {
namespace {

FakePpdev* active = nullptr;

// Each ioctl: its name, the register it reaches (-1 none), and whether it
// passes a byte in (a write; PPDATADIR an int).
struct Request {
  unsigned long request;
  const char* name;
  int reg;
  bool in;
};
const Request kRequests[] = {
    {PPEXCL, "PPEXCL", -1, false},       {PPCLAIM, "PPCLAIM", -1, false},
    {PPRELEASE, "PPRELEASE", -1, false}, {PPDATADIR, "PPDATADIR", -1, true},
    {PPRDATA, "PPRDATA", 0, false},      {PPWDATA, "PPWDATA", 0, true},
    {PPRSTATUS, "PPRSTATUS", 1, false},  {PPRCONTROL, "PPRCONTROL", 2, false},
    {PPWCONTROL, "PPWCONTROL", 2, true},
};

}  // namespace

FakePpdev::FakePpdev(FakePort* port) : port_(port) {
  active = this;
  ppdevOps = PpdevOps{
      [](const char* path, int) { return (errno = active->Record("open", path)) ? -1 : 7; },
      Ioctl,
      [](int) { return active->claimed_ = false, (errno = active->Record("close")) ? -1 : 0; },
  };
}

FakePpdev::~FakePpdev() {
  active = nullptr;
  ResetPpdevOps();
}

std::string FakePpdev::Calls() const {
  std::string out;
  for (const auto& [call, run] : calls_) {
    out += (out.empty() ? "" : "|") + call + (run > 1 ? "*" + std::to_string(run) : "");
  }
  return out;
}

// Logs the call; returns 0, or the errno it is to fail with.
int FakePpdev::Record(const std::string& name, const std::string& arg) {
  const int made = counts_[name]++;
  int error = 0;
  for (const Failure& f : failures_) {
    if (f.name == name && made >= f.after && made - f.after < f.times) error = f.error;
  }
  const std::string call = name + (arg.empty() ? "" : " " + arg) + (error != 0 ? "!" : "");
  if (!calls_.empty() && calls_.back().first == call) {
    ++calls_.back().second;
  } else {
    calls_.emplace_back(call, 1);
  }
  const std::string line = call + "\n";
  if (echo_fd_ >= 0 && write(echo_fd_, line.data(), line.size()) < 0) return EIO;
  return error;
}

int FakePpdev::Ioctl(int, unsigned long request, void* arg) {
  FakePpdev& self = *active;
  const Request* r = std::find_if(std::begin(kRequests), std::end(kRequests),
                                  [&](const Request& k) { return k.request == request; });
  if (r == std::end(kRequests)) return (errno = ENOTTY), -1;
  char in[8] = "";
  uint8_t* byte = static_cast<uint8_t*>(arg);
  if (r->in)
    snprintf(in, sizeof in, "%02x", request == PPDATADIR ? *static_cast<int*>(arg) : *byte);
  errno = self.Record(r->name, in);
  if (errno == 0 && r->reg >= 0 && !self.claimed_) errno = EINVAL;
  if (errno != 0) return -1;
  self.claimed_ = request == PPCLAIM || (self.claimed_ && request != PPRELEASE);
  const uint16_t addr = static_cast<uint16_t>(0x378 + r->reg);
  if (r->reg >= 0 && r->in) self.port_->Out(addr, *byte);
  // parport_pc gives the control lines from its copy, bits 0-3 only.
  if (r->reg >= 0 && !r->in)
    *byte = r->reg == 2 ? self.port_->Register(addr) & 0x0F : self.port_->In(addr);
  return 0;
}

}  // namespace lpx
