// The program's start time, the elapsed whole seconds since it, and the
// clock in milliseconds.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace lpx {

extern TimeB time_a;  // start time, read once first thing in main
extern TimeB time_b;  // the latest clock reading

// Reads the clock into time_b and returns the whole seconds since time_a.
int64_t ElapsedSeconds();

// Milliseconds of the platform clock (does not touch time_b).
int64_t NowMs();

}  // namespace lpx
