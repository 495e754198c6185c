// Hardware backend: the real parallel port registers on x86 Linux.
#include <sys/io.h>

#include "platform/platform.h"
#include "platform/ppdev.h"
#include "platform/system_time.h"

namespace lpx {
namespace {

class HardwarePort final : public SystemTimePlatform {
 public:
  uint8_t In(uint16_t addr) override { return inb(addr); }
  void Out(uint16_t addr, uint8_t value) override { outb(value, addr); }
  bool Permit(uint16_t base) override { return ioperm(base, 3, 1) == 0; }
};

}  // namespace

Platform* MakeDefaultPlatform(int /*end*/) {
  static HardwarePort port;
  return &port;
}

int ListBackendPorts(PortInfo* out, int max) { return ListSystemPorts("/", out, max); }
const bool kBackendDevices = true;

}  // namespace lpx
