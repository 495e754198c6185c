// The sleeps and the clock of the running system, which the two real
// backends share: the hardware port and the simulated cable derive from
// SystemTimePlatform and add the port calls.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <cerrno>

#include "platform/platform.h"

namespace lpx {

class SystemTimePlatform : public Platform {
 public:
  // Sleeps the whole time: a signal that interrupts the sleep resumes it for
  // what is left.
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

}  // namespace lpx
