// The simulated cable that the programs and the end-to-end tests run over.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/platform.h"
#include "platform/sim_cable.h"
#include "testing/temp_dir.h"

namespace lpx {
namespace {

// What one end of the simulated cable drives on its data register, the
// other reads on its status register. (Both programs exchange frames over
// it in every end-to-end test.)
TEST(CableTest, EachEndReadsTheOtherEndsDataLinesOnItsStatusRegister) {
  TempDir dir;
  ASSERT_EQ(setenv("LPXFER_CABLE_DIR", dir.path().c_str(), 1), 0);
  Platform* ends[2] = {NewSimulatedCable(0), NewSimulatedCable(1)};
  ASSERT_TRUE(ends[0]->Permit(0x378) && ends[1]->Permit(0x378));
  // D0-D3 arrive as status bits 3-6, D4 as bit 7 inverted; bits 0-2 read 1.
  for (auto [data, status] : {std::pair{0x00, 0x87}, {0x10, 0x07}, {0x1F, 0x7F}, {0x0E, 0xF7}}) {
    for (int end : {0, 1}) {
      ends[end]->Out(0x378, static_cast<uint8_t>(data));
      EXPECT_EQ(ends[1 - end]->In(0x379), status);
    }
  }
  for (Platform* end : ends) delete end;
  unsetenv("LPXFER_CABLE_DIR");
}

}  // namespace
}  // namespace lpx
