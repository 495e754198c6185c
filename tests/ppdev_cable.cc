// ppdev_cable --device CABLE: the server (variant A) on its ppdev backend,
// the ppdev calls landing on end 0 of the simulated cable of LPT2, whose
// file CABLE must be ($LPXFER_CABLE_DIR/lpt2), so that lpxfer-sim on LPT2
// is the client. Runs the --device path without root and without a port.
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "convert/charset.h"
#include "link/port_select.h"
#include "log/memo.h"
#include "platform/ppdev.h"
#include "platform/sim_cable.h"
#include "shell/startup.h"

namespace {

constexpr uint16_t base = 0x378;
lpx::Platform* cable = lpx::NewSimulatedCable(0);

int OpenCable(const char* path, int) {
  char file[512];
  const bool lpt2 = lpx::SimCablePath(2, file, sizeof file) && strcmp(file, path) == 0;
  return lpt2 && cable->Permit(base) ? 3 : ((errno = ENOENT), -1);
}

// The registers as parport_pc hands them on: unchanged.
int CableIoctl(int, unsigned long request, void* arg) {
  uint8_t* value = static_cast<uint8_t*>(arg);
  if (request == PPRSTATUS) *value = cable->In(base + 1);
  if (request == PPWDATA) cable->Out(base, *value);
  if (request == PPWCONTROL) cable->Out(base + 2, *value);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  lpx::platform = cable;  // its sleeps and clock (the tests always name the device)
  lpx::portBackend = {true, nullptr};
  lpx::ppdevOps = {OpenCable, CableIoctl, [](int) { return 0; }};
  lpx::consoleEncoder = lpx::ClientByteToLocal;
  return lpx::ServerMain(argc, argv);
}
