// lpxferd: one program per variant and port backend; the build sets
// LPXFERD_VARIANT_C and links either the hardware or the simulated port.
#include "convert/charset.h"
#include "convert/variant.h"
#include "link/port_select.h"
#include "log/memo.h"
#include "platform/platform.h"
#include "shell/startup.h"

#ifndef LPXFERD_VARIANT_C
#define LPXFERD_VARIANT_C 0
#endif

int main(int argc, char** argv) {
  lpx::platform = lpx::MakeDefaultPlatform(0);
  lpx::portBackend = {lpx::kBackendDevices, lpx::ListBackendPorts};
  lpx::variantC = LPXFERD_VARIANT_C != 0;
  lpx::consoleEncoder = lpx::ClientByteToLocal;
  return lpx::ServerMain(argc, argv);
}
