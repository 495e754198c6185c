// Downloads (GET, AGET) and uploads (PUT, APUT) through whole sessions.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "convert/variant.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "testing/server_session.h"

namespace lpx {

using TransferTest = ServerSessionTest;

const std::string kT = "TIME 852452445", kA = "ATTR 32";  // of every file Given() made
const std::string kCr = "\r" + std::string(4095, 'x'), kLf = "\n" + std::string(4095, 'y');
const std::string kBinary = std::string("a\r\nb\r\0\xFF\x80\xA4", 9) + std::string(4096, '\r');
// The first 6000 bytes are stored before a resume.
const std::string kWhole = std::string(4500, 'a') + std::string(4500, 'b');
const std::string kDos = std::string(1024, 'a') + "\xE4\xFC" + std::string(4096, 'b');
const std::string kCannotAllocate = "\nCannot allocate file -- No write permission or device full";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Transfers, ServerSessionTest, ::testing::Values(
    // Downloads.
    // Full frames, then the rest; an empty rest is an empty frame. Binary
    // mode converts nothing. In text, a CR may end a frame and its LF open
    // the next.
    Story{.given = {"e", "f=" + kCr + kLf, "t=" + kCr.substr(1) + "\nq"},
          .session = {"GET @e", "GET @f", "AGET @t"},
          .replies = {kT, kA, "SIZE 0", "#", kT, kA, "SIZE 8192", "#" + kCr, "#" + kLf, "#",
                      kT, kA, "SIZE 4098", "#" + kCr.substr(1) + "\r", "#\nq"}},
    // A binary restart is a local offset; at or beyond the end nothing is
    // sent. It holds for the next download only.
    Story{.given = {"f=0123456789"},
          .session = {"REST 4", "GET @f", "GET @f", "REST 2000000000", "GET @f"},
          .replies = {"REST 4", kT, kA, "SIZE 10", "#456789", kT, kA, "SIZE 10", "#0123456789",
                      "REST 2000000000", kT, kA, "SIZE 10", "#"}},
    // Text: a line feed goes as CR LF (and counts two), the euro sign is
    // exchanged.
    Story{.given = {"t=a\nb\n", "dos=x\r\ny\r\n", "e=\x80\xA4"},
          .session = {"AGET @t", "AGET @dos", "AGET @e", "GET @e"},
          .replies = {kT, kA, "SIZE 6", "#a\r\nb\r\n", kT, kA, "SIZE 8", "#x\r\r\ny\r\r\n",
                      kT, kA, "SIZE 2", "#\xA4\x80", kT, kA, "SIZE 2", "#\x80\xA4"}},
    // A text restart is a wire offset: between CR and LF the LF comes first;
    // at or beyond the end of the wire size nothing is sent.
    Story{.given = {"t=ab\ncd\n"},
          .session = {"REST 3", "AGET @t", "REST 8", "AGET @t", "REST 99", "AGET @t"},
          .replies = {"REST 3", kT, kA, "SIZE 8", "#\ncd\r\n", "REST 8", kT, kA, "SIZE 8", "#",
                      "REST 99", kT, kA, "SIZE 8", "#"}},
    // The hidden bit comes from the path as the client wrote it.
    Story{.given = {".profile", "d/"},
          .session = {"GET @.profile", "GET .\\@.profile", "GET @missing", "GET @d"},
          .replies = {kT, kA, "SIZE 0", "#", kT, "ATTR 34", "SIZE 0", "#", "FILE ERROR 2",
                      "FILE ERROR 2"}},
    // Uploads.
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
    // A resumed upload rewrites from the restart offset on, and the file
    // ends where the client's data ends, also before the end of the stored
    // copy. The overlap must match what is stored: in "q" frame 1 differs at
    // its byte 5 ('X' for 'a'), is refused, and the file is left alone.
    Story{.given = {"q=" + kWhole.substr(0, 6000), "r=" + kWhole},
          .session = {"PUT @q", "REST ?", "SIZE 9000", "#" + kWhole.substr(1024, 5) + "X",
                      "PUT @r", "REST ?", "SIZE 6000", "#" + kWhole.substr(4096, 1904)},
          .replies = {"REST=1024", "REST=4096"}, .after = {"q=" + kWhole.substr(0, 6000), "r=" + kWhole.substr(0, 6000)},
          .codes = {13, 0},
          .logged = "SIZE 90005:58-61   \n*** Error: source and target differ!\n*** 1024 Error" + kCannotAllocate},
    // The overlap check leaves the code page as it found it: the frame is
    // converted again when it is written.
    Story{.given = {"d=" + kDos},
          .session = {"APUT @d", "REST ?", "SIZE 5122", "#\xE4\x81" + std::string(4094, 'b'), "#bb"},
          .replies = {"REST=1024"}, .after = {"d=" + kDos}, .codes = {0, 0}},
    // Nothing left to receive: nothing to store either. More data than
    // announced is refused.
    Story{.given = {"s=" + std::string(5120, 's'), "keep=keep me"},
          .session = {"PUT @s", "REST ?", "SIZE 1024", "PUT @keep", "SIZE 5", "#12345678"},
          .replies = {"REST=1024"}, .after = {"s=" + std::string(5120, 's'), "keep=keep me"},
          .codes = {13}, .logged = "SIZE 1024" + kCannotAllocate},
    // An empty upload empties the file, and dates it.
    Story{.given = {"old=previous"}, .session = {"PUT @old", "TIME 852452445", "SIZE 0", "GET @old"},
          .replies = {"TIME 852452445", "ATTR 32", "SIZE 0", "#"}, .after = {"old="}},
    // The console marks progress after frames 24, 49, ...
    Story{.session = [] { Replies s(26, "#0123456789"); s[0] = "PUT @many", s[1] = "SIZE 240"; return s; }(),
          .codes = std::vector<int>(24, 0), .logged = "SIZE 240~ "},
    // Only a regular file in a directory is written, and a refusal reaches
    // the client on the frame, even the only one.
    Story{.given = {"plain=x", "dir/"},
          .session = {"PUT @plain\\new", "SIZE 3", "#one", "PUT @dir", "SIZE 3", "#abc",
                      "PUT @plain\\new", "SIZE 0", "PUT @dir", "SIZE 0"},
          .after = {"plain=x"}, .codes = {13, 13},
          .logged = "\n*** 0 Error" + kCannotAllocate + "\nUPLOAD FAILED"}));
// clang-format on

// Variant C: a UTF-8 text goes out in the client's characters (four of them,
// five wire bytes here); a Latin-1 byte is no UTF-8, and the line feed after
// it must still end its line. Text comes in as UTF-8.
TEST_F(TransferTest, VariantCConvertsUtf8BothWays) {
  variantC = true;
  Given({"u=\xC3\xA9\xE2\x82\xAC\xD0\x96\n", "l=caf\xE9\nx\xE2\x82\n"});
  EXPECT_EQ(Run({"AGET @u", "REST 2", "AGET @u", "AGET @l", "APUT @r", "SIZE 5", "#\xE9\x80z\r\n"}),
            (Replies{kT, kA, "SIZE 5", "#\xE9\x80~\r\n", "REST 2", kT, kA, "SIZE 5", "#~\r\n", kT,
                     kA, "SIZE 10", "#caf~\r\nx~\r\n"}));
  EXPECT_EQ(File("r"), "r=\xC3\xA9\xE2\x82\xACz\n");
}

// A text count keeps the client waiting: for "REST ?" and for a text
// download, with or without a restart; a binary one has nothing to count.
// "abcdefghi\n" 10000 times is 100000 bytes, 110000 on the wire; a text
// upload resumes at 95232 (100000 - 4096, down to 1024): 9523 lines and
// "ab", that is 104755 bytes on the wire.
TEST_F(TransferTest, KeepAlivesWhileCountingATextFile) {
  std::string text, wire;
  for (int i = 0; i < 10000; ++i) text += "abcdefghi\n", wire += "abcdefghi\r\n";
  Given({"t=" + text, "w=" + std::string(4 * 32768, 'w')});
  // The clock is read for the mark and after every 32768 bytes, 0.6 s on
  // each time. From 0: at 0.6 s, 1.2 s (a new second: WAIT), 1.8 s, ...
  port_.SetClockStepUs(600000);
  EXPECT_EQ(Run({"APUT @t", "REST ?", "SIZE 110000", "#" + wire.substr(104755, 4096),
                 "#" + wire.substr(108851)}),
            (Replies{"WAIT", "REST=104755"}));
  EXPECT_EQ(Codes(), (std::vector<int>{0, 0}));
  // 131072 bytes: 2.4 s and 3.0 s as well; a whole second passes three times.
  port_.SetNowUs(0);
  Replies sent = Run({"REST 1", "AGET @w", "AGET @w", "REST 1", "GET @w"});
  std::erase_if(sent, [](const std::string& reply) { return reply[0] == '#'; });
  EXPECT_EQ(sent, (Replies{"REST 1", kT, kA, "WAIT", "WAIT", "WAIT", "SIZE 131072", kT, kA, "WAIT",
                           "WAIT", "WAIT", "SIZE 131072", "REST 1", kT, kA, "SIZE 131072"}));
  // A keep-alive that does not get through ends the question with an error.
  Client().AnswerReply("WAIT", 14);
  EXPECT_EQ(Run({"APUT @t", "REST ?"}), (Replies{"WAIT", "REST ERROR 2"}));
}

// A refused frame, an undelivered reply, a read error or Ctrl/C stop the
// download. The console marks every 25th frame before it is sent.
TEST_F(TransferTest, FailuresStopTheDownload) {
  Given({"f=" + std::string(30 * 4096, 'k')});
  Client().Verdict([](const FramePeer::Frame& f) {
    return f.block == 25 ? kCodeEnded : FramePeer::DefaultVerdict(f);
  });
  EXPECT_EQ(Run({"GET @f"}).size(), 3u + 25);
  EXPECT_THAT(Console(), ::testing::EndsWith("~\nDOWNLOAD FAILED"));
  Client().AnswerReply("ATTR 32", 14);
  EXPECT_EQ(Run({"GET @f"}), (Replies{kT, kA}));
  // The file's status, but a stream of a directory: every read fails.
  disk.openRead = [](const char* p, auto* s) { return stat(p, s) ? nullptr : fopen("/", "r"); };
  EXPECT_EQ(Run({"GET @f", "AGET @f"}),
            (Replies{kT, kA, "SIZE 122880", "#!", kT, kA, "FILE ERROR 2"}));
  ResetDiskOps();
  ClientModel& client = Client();
  keyflag = 1;  // noticed after the first frame
  ServerUploadFile(Expand("@f").c_str(), 0, 0);
  EXPECT_EQ(client.frames().size(), 3u + 1);  // TIME, ATTR, SIZE and one frame
}

// An existing file is opened only once frame 1 has come intact; after a
// later failure the part stays, with its time. TIME 4294967295 is no time:
// the file keeps the time it was written.
TEST_F(TransferTest, AFailedUploadKeepsWhatIsStored) {
  Given({"keep=keep me"});
  Run({"PUT @keep", "SIZE 5"});  // frame 1 never comes
  Run({"PUT @part", "TIME 852452445", "SIZE 8192", "#" + std::string(4096, 'p')});  // nor frame 2
  EXPECT_EQ(Run({"PUT @now", "TIME 4294967295", "SIZE 0", "GET @part"})[0], "TIME 852452445");
  EXPECT_EQ(File("part") + File("keep"), "part=" + std::string(4096, 'p') + "keep=keep me");
  EXPECT_THAT(Console(), ::testing::HasSubstr("\n*** 4096 Error\nTime-out -- the client stopped"));
  struct stat now;
  EXPECT_TRUE(stat(dir_.Local("now").c_str(), &now) == 0 && now.st_mtime > 1577836800);  // 2020
}

// The console names why frame 2, the last, was not stored. A file that
// cannot be cut where the data ends is a file that cannot be written.
TEST_F(TransferTest, AFailedUploadLogsItsCause) {
  disk.truncateFile = [](FILE*, off_t) { return -1; };
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {BuildFrame(2, "5678"), kCannotAllocate.substr(1)},
      {BuildFrame(-1, ""), "Client aborted the transfer"},
      {BuildFrame(2, "5678", true), "Too many checksum errors"},
      {BuildFrame(3, "5678"), "Wrong block number"},
      {BuildFrame(9, "5678"), "Wrong block number"},
      {std::vector<uint8_t>(16, 0), "Frame out of step -- no block header"}};
  for (const auto& [frame, cause] : cases) {
    Client().Send(Expand("PUT @f")), Client().Send("SIZE 8"), Client().SendData(1, "1234");
    Client().Queue(frame);
    Run();
    EXPECT_THAT(Console(),
                ::testing::EndsWith("SIZE 8\n*** 4 Error\n" + cause + "\nUPLOAD FAILED"));
  }
}

TEST_F(TransferTest, AResumeIntoAShorterOrMissingFileIsRefused) {
  Given({"short=abc"});
  ClientModel& client = Client();
  for (const char* name : {"@short", "@gone"}) {
    client.SendData(1, "defg");
    ReceiveData(Expand(name).c_str(), 1028, -1, -1, 1024, 1024, 0);
    EXPECT_THAT(client.items().back().codes, ::testing::Contains(13)) << name;
  }
  EXPECT_EQ(File("short") + File("gone"), "short=abcgone");
}

TEST_F(TransferTest, AFullDeviceRefusesTheFrameThatDoesNotFit) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit small = {6000, saved.rlim_max};
  signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG, the process goes on
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Run({"PUT @full", "SIZE 12288", "#" + std::string(4096, 'a'), "#" + std::string(4096, 'b')});
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(Codes(), (std::vector<int>{0, 13}));
  EXPECT_THAT(Console(), ::testing::HasSubstr(std::string("\n*** 4096 Error") + kCannotAllocate));
}

}  // namespace lpx
