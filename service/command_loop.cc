// Placeholder loop until the command dispatcher lands: waits for the peer
// and ends on Ctrl/C.
#include "service/command_loop.h"

#include "link/port.h"
#include "platform/platform.h"

namespace lpx {

void DoServer() {
  SendDisableInterrupts();
  WritePort(static_cast<uint16_t>(portaddr), 0);
  abortClicked = 0;
  while (!abortClicked) {
    if (!WaitForStatusBit()) break;
    platform->SleepUs(kIdlePollUs);
  }
}

}  // namespace lpx
