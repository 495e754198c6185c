// The simulated cable that the programs and the end-to-end tests run over.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

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

// Sets (or, given nullptr, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old != nullptr) old_ = old, had_ = true;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(CableTest, WhereTheCableLives) {
  const std::string own = "/tmp/lpxfer-cable-" + std::to_string(getuid());
  const char* cases[][3] = {
      // LPXFER_CABLE_DIR, XDG_RUNTIME_DIR, the cable directory
      {nullptr, nullptr, own.c_str()},
      {"", "", own.c_str()},
      {"", "/run/user/7", "/run/user/7/lpxfer-cable"},
      {"/x/cable//", "/run/user/7", "/x/cable"},
  };
  for (const auto& [cableDir, runtimeDir, want] : cases) {
    ScopedEnv a("LPXFER_CABLE_DIR", cableDir), b("XDG_RUNTIME_DIR", runtimeDir);
    char dir[64];
    ASSERT_TRUE(SimCableDir(dir, sizeof dir));
    EXPECT_STREQ(dir, want);
  }
}

// A regular file's content, or nothing.
std::string Content(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// What a path holds: type and mode, owner, content ("-" when missing).
std::string Look(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "-";
  return std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " + Content(path);
}

void MakeDir(const std::string& path, mode_t mode) {
  mkdir(path.c_str(), 0), chmod(path.c_str(), mode);
}
void MakeFile(const std::string& path, const char* content, mode_t mode) {
  std::ofstream(path) << content;
  chmod(path.c_str(), mode);
}
void MakeCable(const std::string& d, const char* content, mode_t mode) {
  MakeDir(d, 0700), MakeFile(d + "/lpt2", content, mode);
}
void GiveToNobody(const std::string& d) {
  (void)!chown(d.c_str(), 65534, 65534), (void)!chown((d + "/lpt2").c_str(), 65534, 65534);
}

// The cable is private to the real user; root may open another user's.
// Each case prepares the cable directory D (its file D/lpt2, a sibling
// D-x), sets a umask and asks for LPT2: granted, D ends 0700 and D/lpt2
// 0600 with its content padded to 64 bytes with zeros; refused, with the
// reason, and nothing changed.
TEST(CableTest, PrivateToItsUser) {
  using Prepare = void (*)(const std::string& d);
  struct {
    const char* what;
    mode_t mask;
    Prepare prepare;
    const char* refusal;  // nullptr: granted; '$' stands for D
    bool rootOnly = false;
  } cases[] = {
      {"missing", 0, [](const std::string&) {}, nullptr},
      {"missing, umask 0777", 0777, [](const std::string&) {}, nullptr},
      {"short file", 022, [](const std::string& d) { MakeCable(d, "abc", 0600); }, nullptr},
      {"another user's", 022, [](const std::string& d) { MakeCable(d, "", 0600), GiveToNobody(d); },
       nullptr, true},
      {"dir 0777", 0, [](const std::string& d) { MakeDir(d, 0777); },
       "the cable directory $ may be written by group or others (mode 0777)"},
      {"dir a symlink", 0,
       [](const std::string& d) {
         MakeDir(d + "-x", 0700), (void)!symlink((d + "-x").c_str(), d.c_str());
       },
       "the cable directory $ is a symbolic link"},
      {"dir a file", 0, [](const std::string& d) { MakeFile(d, "", 0600); },
       "the cable directory $ is not a directory"},
      {"file 0666", 0, [](const std::string& d) { MakeCable(d, "", 0666); },
       "the cable file $/lpt2 may be written by group or others (mode 0666)"},
      {"file a symlink", 0,
       [](const std::string& d) {
         MakeDir(d, 0700), MakeFile(d + "-x", "mine", 0600);
         (void)!symlink((d + "-x").c_str(), (d + "/lpt2").c_str());
       },
       "the cable file $/lpt2 is a symbolic link"},
      {"file a dangling symlink", 0,
       [](const std::string& d) {
         MakeDir(d, 0700), (void)!symlink((d + "-x").c_str(), (d + "/lpt2").c_str());
       },
       "the cable file $/lpt2 is a symbolic link"},
      {"file a FIFO", 0,
       [](const std::string& d) { MakeDir(d, 0700), mkfifo((d + "/lpt2").c_str(), 0600); },
       "the cable file $/lpt2 is not a regular file"},
      {"another user's 0666", 0,
       [](const std::string& d) { MakeCable(d, "", 0666), GiveToNobody(d); },
       "the cable file $/lpt2 may be written by group or others (mode 0666)", true},
  };
  for (const auto& c : cases) {
    if (c.rootOnly && getuid() != 0) continue;
    SCOPED_TRACE(c.what);
    TempDir t;
    const std::string d = t.Local("cable"), file = d + "/lpt2";
    c.prepare(d);
    const std::vector<std::string> before = {Look(d), Look(file), Look(d + "-x")};
    const std::string old = Content(file);
    ScopedEnv env("LPXFER_CABLE_DIR", d.c_str());
    const mode_t mask = umask(c.mask);
    Platform* end = NewSimulatedCable(0);
    const bool granted = end->Permit(0x378);
    umask(mask);
    EXPECT_EQ(granted, c.refusal == nullptr);
    if (c.refusal == nullptr) {
      struct stat dir {
      }, cableFile{};
      EXPECT_TRUE(lstat(d.c_str(), &dir) == 0 && lstat(file.c_str(), &cableFile) == 0);
      EXPECT_EQ(dir.st_mode, S_IFDIR | 0700);
      EXPECT_EQ(cableFile.st_mode, S_IFREG | 0600);
      std::string padded = old;
      padded.resize(64, '\0');
      EXPECT_EQ(Content(file), padded);
    } else {
      std::string want = c.refusal;
      want.replace(want.find('$'), 1, d);
      EXPECT_STREQ(end->WhyRefused(), want.c_str());
      EXPECT_EQ((std::vector<std::string>{Look(d), Look(file), Look(d + "-x")}), before);
    }
    delete end;
  }
}

}  // namespace
}  // namespace lpx
