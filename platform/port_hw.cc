// Hardware backend: the real parallel port registers through ioperm, inb and
// outb where the processor has I/O ports (x86), and the ports Linux drives
// (/dev/parportN) everywhere. Elsewhere a raw address is simply refused.
#if defined(__i386__) || defined(__x86_64__)
#define LPX_IO_PORTS 1
#include <sys/io.h>
#else
#define LPX_IO_PORTS 0
#include <cerrno>
#endif

#include "platform/platform.h"
#include "platform/ppdev.h"
#include "platform/system_time.h"

namespace lpx {
namespace {

class HardwarePort final : public SystemTimePlatform {
 public:
#if LPX_IO_PORTS
  uint8_t In(uint16_t addr) override { return inb(addr); }
  void Out(uint16_t addr, uint8_t value) override { outb(value, addr); }
  bool Permit(uint16_t base) override { return ioperm(base, 3, 1) == 0; }
#else
  // Never reached: no raw address is permitted.
  uint8_t In(uint16_t) override { return 0xFF; }
  void Out(uint16_t, uint8_t) override {}
  bool Permit(uint16_t) override {
    errno = ENOSYS;
    return false;
  }
#endif
};

}  // namespace

Platform* MakeDefaultPlatform(int /*end*/) {
  static HardwarePort port;
  return &port;
}

int ListBackendPorts(PortInfo* out, int max) { return ListSystemPorts("/", out, max); }
const bool kBackendDevices = true;

}  // namespace lpx
