// A fake port whose clock also moves on by a fixed step at every reading,
// for code that watches the clock while it works without touching the port
// (counting a file for a keep-alive, say), and so would never see time pass.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "testing/fake_port.h"

namespace lpx {

class SteppingClock final : public PlatformWrapper {
 public:
  SteppingClock(FakePort& port, uint64_t stepUs) : PlatformWrapper(&port), step_us_(stepUs) {}
  TimeB Now() override {
    FakePort& port = *static_cast<FakePort*>(target());
    port.SetNowUs(port.NowUs() + step_us_);
    return port.Now();
  }

 private:
  uint64_t step_us_;
};

}  // namespace lpx
