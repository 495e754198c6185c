// cable_poke: sets the client end's data register of a simulated cable, as a
// peer that raises (0x10) or lowers (0) its busy line would. Used by the
// start-up tests to stand in for a client during port discovery.
//   cable_poke <lpt 1..3> <value 0..31>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/sim_cable.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: cable_poke <lpt 1..3> <value 0..31>\n");
    return 2;
  }
  int lpt = atoi(argv[1]);
  int value = atoi(argv[2]);
  static const uint16_t kBase[4] = {0, 0x3BC, 0x378, 0x278};
  if (lpt < 1 || lpt > 3 || value < 0 || value > 31) return 2;
  lpx::Platform* cable = lpx::NewSimulatedCable(1);
  if (!cable->Permit(kBase[lpt])) {
    fprintf(stderr, "cable_poke: cannot open the cable of LPT%d\n", lpt);
    return 1;
  }
  cable->Out(kBase[lpt], static_cast<uint8_t>(value));
  delete cable;
  return 0;
}
