#include <sys/stat.h>
#include <unistd.h>

#include "convert/variant.h"
#include "link/port.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "testing/server_session.h"
#include "testing/stepping_clock.h"

namespace lpx {
namespace {

using SenderTest = ServerSessionTest;

const std::string kT = "TIME 852452445", kA = "ATTR 32";  // of every file Given() made
const std::string kCr = "\r" + std::string(4095, 'x'), kLf = "\n" + std::string(4095, 'y');

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sender, ServerSessionTest, ::testing::Values(
    // Full frames, then the rest; an empty rest is an empty frame. Binary
    // mode converts nothing.
    Story{.given = {"e", "f=" + kCr + kLf}, .session = {"GET @e", "GET @f"},
          .replies = {kT, kA, "SIZE 0", "#", kT, kA, "SIZE 8192", "#" + kCr, "#" + kLf, "#"}},
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
          .session = {"REST 3", "AGET @t", "REST 4", "AGET @t", "REST 8", "AGET @t", "REST 99",
                      "AGET @t"},
          .replies = {"REST 3", kT, kA, "SIZE 8", "#\ncd\r\n", "REST 4", kT, kA, "SIZE 8",
                      "#cd\r\n", "REST 8", kT, kA, "SIZE 8", "#", "REST 99", kT, kA, "SIZE 8", "#"}},
    // A CR ends a full frame, its LF opens the next.
    Story{.given = {"t=" + std::string(4095, 'z') + "\nq"}, .session = {"AGET @t"},
          .replies = {kT, kA, "SIZE 4098", "#" + std::string(4095, 'z') + "\r", "#\nq"}},
    // The hidden bit comes from the path as the client wrote it.
    Story{.given = {".profile", "d/"},
          .session = {"GET @.profile", "GET .\\@.profile", "GET @missing", "GET @d"},
          .replies = {kT, kA, "SIZE 0", "#", kT, "ATTR 34", "SIZE 0", "#", "FILE ERROR 2",
                      "FILE ERROR 2"}}));
// clang-format on

// Variant C: a UTF-8 text goes out in the client's characters (four of them,
// five wire bytes here); a Latin-1 byte is no UTF-8, and the line feed after
// it must still end its line. Text comes in as UTF-8.
TEST_F(SenderTest, VariantCConvertsUtf8BothWays) {
  variantC = true;
  Given({"u=\xC3\xA9\xE2\x82\xAC\xD0\x96\n", "l=caf\xE9\nx\xE2\x82\n"});
  EXPECT_EQ(Run({"AGET @u", "REST 2", "AGET @u", "AGET @l", "APUT @r", "SIZE 5", "#\xE9\x80z\r\n"}),
            (Replies{kT, kA, "SIZE 5", "#\xE9\x80~\r\n", "REST 2", kT, kA, "SIZE 5", "#~\r\n", kT,
                     kA, "SIZE 10", "#caf~\r\nx~\r\n"}));
  EXPECT_EQ(File("r"), "r=\xC3\xA9\xE2\x82\xACz\n");
}

TEST_F(SenderTest, OnlyRegularFilesOfLessThan4GiBAreSent) {
  Given({"big"});
  ASSERT_EQ(truncate(dir_.Local("big").c_str(), 4294967296LL), 0);
  ASSERT_EQ(mkfifo(dir_.Local("fifo").c_str(), 0600), 0);  // would wait for a writer
  EXPECT_EQ(Run({"GET @big", "AGET @big", "GET @fifo"}), Replies(3, "FILE ERROR 2"));
}

TEST_F(SenderTest, KeepAlivesOnlyWhileCountingForATextRestart) {
  Given({"t=" + std::string(4 * 32768, 'w')});
  // The clock is read for the mark and after every 32768 bytes: at 0.6 s,
  // 1.2 s, 1.8 s, 2.4 s and 3.0 s; a whole second passes three times.
  SteppingClock slow(port_, 600000);
  platform = &slow;
  Replies sent = Run({"REST 1", "AGET @t", "AGET @t", "REST 1", "GET @t"});
  std::erase_if(sent, [](const std::string& reply) { return reply[0] == '#'; });
  EXPECT_EQ(sent, (Replies{"REST 1", kT, kA, "WAIT", "WAIT", "WAIT", "SIZE 131072", kT, kA,
                           "SIZE 131072", "REST 1", kT, kA, "SIZE 131072"}));
}

// A refused frame, an undelivered reply, a read error or Ctrl/C stop the
// download. The console marks every 25th frame before it is sent.
TEST_F(SenderTest, FailuresStopTheDownload) {
  Given({"f=" + std::string(30 * 4096, 'k')});
  Client().AnswerData(25, 13);
  EXPECT_EQ(Run({"GET @f"}).size(), 3u + 25);
  EXPECT_THAT(Console(), ::testing::EndsWith("~\nDOWNLOAD FAILED"));
  Client().AnswerReply("ATTR 32", 14);
  EXPECT_EQ(Run({"GET @f"}), (Replies{kT, kA}));
  disk.openRead = [](const char* path, struct stat* status) {
    return stat(path, status) == 0 ? fopen("/", "r") : nullptr;  // a directory: reads fail
  };
  EXPECT_EQ(Run({"GET @f", "AGET @f"}),
            (Replies{kT, kA, "SIZE 122880", "#!", kT, kA, "FILE ERROR 2"}));
  ResetDiskOps();
  ClientModel& client = Client();
  keyflag = 1;  // noticed after the first frame
  ServerUploadFile(Expand("@f").c_str(), 0, 0);
  EXPECT_EQ(client.DataFrames().size(), 1u);
}

}  // namespace
}  // namespace lpx
