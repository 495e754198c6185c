#include "platform/clock.h"

namespace lpx {

TimeB time_a;
TimeB time_b;

int64_t ElapsedSeconds() {
  time_b = platform->Now();
  return time_b.time - time_a.time;
}

int64_t NowMs() {
  const TimeB now = platform->Now();
  return now.time * 1000 + now.millitm;
}

}  // namespace lpx
