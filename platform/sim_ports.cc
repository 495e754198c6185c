// What the simulated build lists for --list-ports: the cable files of its
// three ports. It opens no ppdev device.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/ppdev.h"
#include "platform/sim_cable.h"

namespace lpx {

const bool kBackendDevices = false;

int ListBackendPorts(PortInfo* out, int max) {
  constexpr uint16_t kBases[3] = {0x3BC, 0x378, 0x278};
  int count = 0;
  for (int n = 1; n <= 3 && count < max; ++n) {
    PortInfo& info = out[count];
    if (!SimCablePath(n, info.device, sizeof info.device)) continue;
    info.base = kBases[n - 1];
    // A missing cable file is made when the port is first opened.
    const bool usable = access(info.device, R_OK | W_OK) == 0 || errno == ENOENT;
    info.openFault = usable ? PortFault{} : PortFault{"open", errno};
    ++count;
  }
  return count;
}

}  // namespace lpx
