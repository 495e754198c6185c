// lpxfer: the command-line client. The build links either the hardware port
// (lpxfer) or end 1 of the simulated cable (lpxfer-sim).
#include <unistd.h>

#include "client/commands.h"
#include "link/port_select.h"
#include "log/console.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  lpx::platform = lpx::MakeDefaultPlatform(1);
  lpx::portBackend = {lpx::kBackendDevices, lpx::ListBackendPorts};
  lpx::ConsoleUseFd(STDERR_FILENO);  // the link's log lines are no output of ours
  return lpx::ClientMain(argc, argv);
}
