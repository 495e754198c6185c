// The simulated cable that the programs and the end-to-end tests run over.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

// What a path holds: type and mode, owner, size ("-" when missing).
std::string Look(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "-";
  return std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
         std::to_string(st.st_size);
}

// The cable is private to the real user; root may open another user's.
// Each case prepares the cable directory $D (shell commands), sets a umask
// and asks for LPT2 ($D through LPXFER_CABLE_DIR, or XDG_RUNTIME_DIR):
// granted, $D ends 0700 and $D/lpt2 0600 with its content padded to 64
// bytes with zeros; refused, with the reason, and $D, $D/lpt2 and $D-x as
// they were (a link followed would have left 64 bytes).
TEST(CableTest, PrivateToItsUser) {
  const std::string mine = "mkdir -m 700 $D && install -m ", nobody = " -o 65534 /dev/null $D/lpt2";
  const struct {
    mode_t umask;
    std::string prepare;
    const char* refusal;  // nullptr: granted
    bool rootOnly = false, xdg = false;
  } cases[] = {
      {0, "", nullptr},
      {0777, "", nullptr},
      {0777, "", nullptr, false, true},
      {022, "mkdir -m 700 $D && printf abc >$D/lpt2 && chmod 600 $D/lpt2", nullptr},
      {022, mine + "600" + nobody + " && chown 65534 $D", nullptr, true},
      {0, "mkdir -m 777 $D",
       "the cable directory $D may be written by group or others (mode 0777)"},
      {0, "mkdir -m 700 $D-x && ln -s $D-x $D", "the cable directory $D is a symbolic link"},
      {0, "touch $D", "the cable directory $D is not a directory"},
      {0, mine + "666 /dev/null $D/lpt2",
       "the cable file $D/lpt2 may be written by group or others (mode 0666)"},
      {0, mine + "666" + nobody,
       "the cable file $D/lpt2 may be written by group or others (mode 0666)", true},
      {0, "mkdir -m 700 $D && echo mine >$D-x && ln -s $D-x $D/lpt2",
       "the cable file $D/lpt2 is a symbolic link"},
      {0, "mkdir -m 700 $D && ln -s $D-x $D/lpt2", "the cable file $D/lpt2 is a symbolic link"},
      {0, "mkdir -m 700 $D && mkfifo -m 600 $D/lpt2",
       "the cable file $D/lpt2 is not a regular file"},
  };
  for (const auto& c : cases) {
    if (c.rootOnly && getuid() != 0) continue;
    SCOPED_TRACE(c.prepare);
    TempDir t;
    const std::string d = t.Local("lpxfer-cable"), file = d + "/lpt2";
    setenv("D", d.c_str(), 1);
    ASSERT_EQ(system(c.prepare.c_str()), 0);
    const std::string before = Look(d) + "," + Look(file) + "," + Look(d + "-x");
    const std::string old = c.refusal == nullptr ? t.Read("lpxfer-cable/lpt2") : "";
    setenv("LPXFER_CABLE_DIR", c.xdg ? "" : d.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", t.path().c_str(), 1);
    const mode_t mask = umask(c.umask);
    Platform* end = NewSimulatedCable(0);
    EXPECT_EQ(end->Permit(0x378), c.refusal == nullptr);
    umask(mask);
    if (c.refusal == nullptr) {
      struct stat dir = {}, cable = {};
      EXPECT_EQ(lstat(d.c_str(), &dir) + lstat(file.c_str(), &cable), 0);
      EXPECT_TRUE(dir.st_mode == (S_IFDIR | 0700) && cable.st_mode == (S_IFREG | 0600));
      EXPECT_EQ(t.Read("lpxfer-cable/lpt2"), old + std::string(64 - old.size(), '\0'));
    } else {
      std::string want = c.refusal;
      want.replace(want.find("$D"), 2, d);
      EXPECT_STREQ(end->WhyRefused(), want.c_str());
      EXPECT_EQ(Look(d) + "," + Look(file) + "," + Look(d + "-x"), before);
    }
    delete end;
  }
  unsetenv("XDG_RUNTIME_DIR");
  unsetenv("LPXFER_CABLE_DIR");
}

}  // namespace
}  // namespace lpx
