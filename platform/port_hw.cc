// Hardware backend: the real parallel port registers on x86 Linux.
#include <sys/io.h>
#include <sys/time.h>
#include <time.h>

#include <cerrno>

#include "platform/platform.h"

namespace lpx {
namespace {

class HardwarePort final : public Platform {
 public:
  uint8_t In(uint16_t addr) override { return inb(addr); }
  void Out(uint16_t addr, uint8_t value) override { outb(value, addr); }
  bool Permit(uint16_t base) override { return ioperm(base, 3, 1) == 0; }
  void SleepUs(uint32_t us) override {
    timespec want{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&want, &want) != 0 && errno == EINTR) {
    }
  }
  TimeB Now() override {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return TimeB{tv.tv_sec, static_cast<uint16_t>(tv.tv_usec / 1000)};
  }
};

}  // namespace

Platform* MakeDefaultPlatform(int /*end*/) {
  static HardwarePort port;
  return &port;
}

}  // namespace lpx
