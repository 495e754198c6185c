#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "service/handlers.h"
#include "testing/server_session.h"

namespace lpx {
namespace {

using ReceiverTest = ServerSessionTest;

const std::string kBinary = std::string("a\r\nb\r\0\xFF\x80\xA4", 9) + std::string(4096, '\r');
const std::string kWhole = [] {  // a broken upload left the first 6000 bytes
  std::string text;
  for (int i = 0; i < 9000; ++i) text += static_cast<char>('0' + i % 10);
  return text;
}();
const std::string kDos = std::string(1024, 'a') + "\xE4\xFC" + std::string(4096, 'b');
const std::string kCannotAllocate = "\nCannot allocate file -- No write permission or device full";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Receiver, ServerSessionTest, ::testing::Values(
    // Binary is stored as it comes; the upload ends when SIZE bytes are in.
    Story{.session = {"PUT @bin", "SIZE 4105", "#" + kBinary.substr(0, 9), "#" + kBinary.substr(9),
                      "CONNECT"},
          .replies = {"OK A"}, .after = {"bin=" + kBinary}, .codes = {0, 0}},
    // Text: CR LF is stored as LF (also across frames), SIZE counts wire bytes,
    // the euro sign is exchanged, and code page 437 holds from its first
    // typical byte on.
    Story{.session = {"APUT @t", "SIZE 6", "#a\r\nb\r\n", "APUT @s", "SIZE 4", "#x\r", "#\ny",
                      "APUT @e", "SIZE 2", "#\xA4\x80", "APUT @d", "SIZE 3", "#\xE4", "#\x81\xE4"},
          .after = {"t=a\nb\n", "s=x\ny", "e=\x80\xA4", "d=\xE4\xFC\xFD"}, .codes = {0, 0, 0, 0, 0, 0}},
    // A resumed upload rewrites from the restart offset on.
    Story{.given = {"r=" + kWhole.substr(0, 6000)},
          .session = {"PUT @r", "REST ?", "SIZE 9000", "#" + kWhole.substr(1024, 4096),
                      "#" + kWhole.substr(5120)},
          .replies = {"REST=1024"}, .after = {"r=" + kWhole}, .codes = {0, 0}},
    // The overlap must match what is stored: frame 1 differs at its byte 5
    // ('X' for '9'), is refused, and the file is left alone.
    Story{.given = {"r=" + kWhole.substr(0, 6000)},
          .session = {"PUT @r", "REST ?", "SIZE 9000", "#" + kWhole.substr(1024, 5) + "X"},
          .replies = {"REST=1024"}, .after = {"r=" + kWhole.substr(0, 6000)}, .codes = {13},
          .logged = "SIZE 90005:58-39   \n*** Error: source and target differ!\n*** 1024 Error" +
                    kCannotAllocate},
    // The overlap check leaves the code page as it found it: the frame is
    // converted again when it is written.
    Story{.given = {"d=" + kDos},
          .session = {"APUT @d", "REST ?", "SIZE 5122", "#\xE4\x81" + std::string(4094, 'b'), "#bb"},
          .replies = {"REST=1024"}, .after = {"d=" + kDos}, .codes = {0, 0}},
    // Nothing left to receive: nothing to store either.
    Story{.given = {"s=" + std::string(5120, 's')}, .session = {"PUT @s", "REST ?", "SIZE 1024"},
          .replies = {"REST=1024"}, .after = {"s=" + std::string(5120, 's')},
          .logged = kCannotAllocate},
    // More data than announced is refused.
    Story{.given = {"keep=keep me"}, .session = {"PUT @keep", "SIZE 5", "#12345678"},
          .after = {"keep=keep me"}, .codes = {13}},
    // Only a regular file in a directory is written, and a refusal reaches
    // the client on the frame, even the only one.
    Story{.given = {"plain=x", "dir/"},
          .session = {"PUT @plain\\new", "SIZE 3", "#one", "PUT @dir", "SIZE 3", "#abc",
                      "PUT @plain\\new", "SIZE 0", "PUT @dir", "SIZE 0"},
          .after = {"plain=x"}, .codes = {13, 13},
          .logged = "\n*** 0 Error" + kCannotAllocate + "\nUPLOAD FAILED"}));
// clang-format on

TEST_F(ReceiverTest, AFifoIsNoPlaceForAnUpload) {
  ASSERT_EQ(mkfifo(dir_.Local("fifo").c_str(), 0600), 0);  // opening it would wait for a reader
  Run({"PUT @fifo", "SIZE 3", "#abc", "PUT @fifo", "SIZE 0"});
  EXPECT_EQ(Codes(), std::vector<int>{13});
  EXPECT_THAT(Console(), ::testing::EndsWith("\nUPLOAD FAILED"));
}

// An empty upload creates or empties the file; TIME dates it, unless it is
// 4294967295 (no time).
TEST_F(ReceiverTest, TheUploadIsDatedUnlessNoTimeWasGiven) {
  Given({"old=previous"});
  EXPECT_EQ(
      Run({"PUT @dated", "TIME 852452445", "SIZE 3", "#abc", "PUT @old", "TIME 852452445", "SIZE 0",
           "PUT @now", "TIME 4294967295", "SIZE 3", "#abc", "GET @dated", "GET @old"}),
      (Replies{"TIME 852452445", "ATTR 32", "SIZE 3", "#abc", "TIME 852452445", "ATTR 32", "SIZE 0",
               "#"}));
  struct stat now;
  ASSERT_EQ(stat(dir_.Local("now").c_str(), &now), 0);
  EXPECT_GT(now.st_mtime, 1577836800);  // 2020: when it was written
}

// An existing file is opened only once frame 1 has come intact; after a
// later failure the part stays, with its time.
TEST_F(ReceiverTest, AnAbortedUploadKeepsWhatIsStored) {
  Given({"keep=keep me"});
  for (const char* line : {"PUT @keep", "SIZE 5"}) Client().Send(Expand(line));
  Client().SendAbort();
  for (const char* line : {"PUT @part", "TIME 852452445", "SIZE 8192"}) Client().Send(Expand(line));
  Client().SendData(1, std::string(4096, 'p'));
  Client().SendAbort();
  EXPECT_EQ(Run({"GET @part"})[0], "TIME 852452445");
  EXPECT_EQ(File("part"), "part=" + std::string(4096, 'p'));
  EXPECT_EQ(File("keep"), "keep=keep me");
  EXPECT_THAT(Console(), ::testing::HasSubstr(std::string("\n*** 4096 Error") + kCannotAllocate));
}

// Writing at the offset would leave a stretch of zeros in front of it.
TEST_F(ReceiverTest, AResumeIntoAShorterOrMissingFileIsRefused) {
  Given({"short=abc"});
  ClientModel& client = Client();
  for (const char* name : {"@short", "@gone"}) {
    client.SendData(1, "defg");
    ReceiveData(Expand(name).c_str(), 1028, -1, -1, 1024, 1024, 0);
  }
  for (const auto& item : client.peer().items())
    EXPECT_EQ(item.codes.empty() ? 0 : item.codes.back(), 13);
  EXPECT_EQ(File("short") + File("gone"), "short=abcgone");
}

TEST_F(ReceiverTest, AFullDeviceRefusesTheFrameThatDoesNotFit) {
  struct rlimit saved, small;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  small = saved;
  small.rlim_cur = 6000;
  void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Run({"PUT @full", "SIZE 12288", "#" + std::string(4096, 'a'), "#" + std::string(4096, 'b')});
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, handler);
  EXPECT_EQ(Codes(), (std::vector<int>{0, 13}));
  EXPECT_THAT(Console(), ::testing::HasSubstr(std::string("\n*** 4096 Error") + kCannotAllocate));
}

TEST_F(ReceiverTest, AMarkAfterEvery25thFrame) {
  Replies session = {"PUT @many", "SIZE 240"};
  session.resize(26, "#0123456789");
  Run(session);
  const std::string console = Console();
  EXPECT_EQ(std::count(console.begin(), console.end(), '~'), 1);  // after frame 24
}

}  // namespace
}  // namespace lpx
