// ppdev_cable --device FILE: the server (variant A) on its ppdev backend,
// with the ppdev system calls landing on a simulated cable file instead of
// a port: FILE is end 0 of the cable, so that lpxfer-sim on the same file
// is the client. It reaches no raw port. Lets the tests run the --device
// path as a user without root and without a parallel port.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "convert/charset.h"
#include "link/port_select.h"
#include "log/memo.h"
#include "platform/ppdev.h"
#include "platform/system_time.h"
#include "platform/wiring.h"
#include "shell/startup.h"

namespace {

// Real sleeps and clock; no raw port may be opened.
class NoRawPorts final : public lpx::SystemTimePlatform {
 public:
  uint8_t In(uint16_t) override { return 0xFF; }
  void Out(uint16_t, uint8_t) override {}
  bool Permit(uint16_t) override { return false; }
};

uint8_t* cable = nullptr;  // the mapped file: data 0, 1; control 2, 3
long accessNs = 1000;      // LPXFER_CABLE_NS: what a register access costs

void Cost() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(accessNs);
  while (std::chrono::steady_clock::now() < until) {
  }
}

int OpenCable(const char* path, int flags) {
  const int fd = open(path, flags | O_NOFOLLOW);
  if (fd < 0) return -1;
  void* p = mmap(nullptr, 64, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    close(fd);
    return (errno = ENOTTY), -1;
  }
  cable = static_cast<uint8_t*>(p);
  return fd;
}

// Status from the client's data byte through the cable's wiring, as
// parport_pc hands it on: the raw register.
int CableIoctl(int, unsigned long request, void* arg) {
  auto byte = [&](int offset) { return std::atomic_ref<uint8_t>(cable[offset]); };
  uint8_t* value = static_cast<uint8_t*>(arg);
  Cost();
  switch (request) {
    case PPEXCL:
    case PPCLAIM:
    case PPRELEASE:
    case PPDATADIR:
      return 0;
    case PPRSTATUS:
      *value = lpx::StatusFromPeerData(byte(1).load());
      return 0;
    case PPWDATA:
      byte(0).store(*value);
      return 0;
    case PPWCONTROL:
      byte(2).store(*value);
      return 0;
    default:
      return (errno = ENOTTY), -1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* ns = getenv("LPXFER_CABLE_NS")) accessNs = atol(ns);
  static NoRawPorts clock;
  lpx::platform = &clock;
  lpx::portBackend = {true, nullptr};
  lpx::ppdevOps = {OpenCable, CableIoctl, close};
  lpx::consoleEncoder = lpx::ClientByteToLocal;
  return lpx::ServerMain(argc, argv);
}
