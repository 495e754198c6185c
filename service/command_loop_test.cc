#include "service/command_loop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "convert/variant.h"
#include "link/port.h"
#include "service/transfer_state.h"
#include "shell/startup.h"
#include "testing/server_session.h"
#include "testing/stepping_clock.h"

namespace lpx {
namespace {

// "abcdefghi\n" ten thousand times: 100000 bytes. A text upload of it resumes
// at (100000 - 4096) rounded down to 1024, 95232, which is 9523 lines and
// "ab": 95232 + 9523 = 104755 bytes on the wire.
std::string TenThousandLines() {
  std::string text;
  for (int i = 0; i < 10000; ++i) text += "abcdefghi\n";
  return text;
}

class CommandLoopTest : public ServerSessionTest {
 protected:
  std::string Put(const std::string& name) { return "PUT " + dir_.Client(name); }

  // A command with a path inside the test's directory, padded to `length`.
  std::string LineOfLength(const std::string& command, size_t length) {
    std::string line = command + dir_.Client("") + '\\';
    line.resize(length, 'x');
    return line;
  }

  // What the server wrote to its data register after the client's last
  // byte: the link code for that byte, then what the loop did. A session
  // ends with Ctrl/C at the idle poll, where the loop resets the register
  // once more when the last exchange failed.
  std::vector<uint8_t> WritesAfterLastCommand() {
    const auto& trace = Last().peer().trace();
    std::vector<uint8_t> out;
    for (const FramePeer::WireEvent& e : trace) {
      if (e.byPeer) {
        out.clear();
      } else {
        out.push_back(e.value);
      }
    }
    return out;
  }

  // Occurrences of the connection-error signal followed by the data
  // register's reset, on the port.
  int ConnectionErrorSignals() {
    using K = FakePort::Kind;
    const FakePort::Access want[] = {
        {K::kWrite, 0x378, 0x0E, 1}, {K::kSleep, 0, 50000, 1},    {K::kWrite, 0x378, 0x1E, 1},
        {K::kSleep, 0, 50000, 1},    {K::kWrite, 0x378, 0x0E, 1}, {K::kSleep, 0, 50000, 1},
        {K::kWrite, 0x378, 0x1E, 1}, {K::kSleep, 0, 50000, 1},    {K::kWrite, 0x378, 0x00, 1},
    };
    const auto& log = port_.log();
    int found = 0;
    for (size_t i = 0; i + std::size(want) <= log.size(); ++i) {
      size_t k = 0;
      while (k < std::size(want) && log[i + k].kind == want[k].kind &&
             log[i + k].addr == want[k].addr && log[i + k].value == want[k].value) {
        ++k;
      }
      if (k == std::size(want)) ++found;
    }
    return found;
  }
};

TEST_F(CommandLoopTest, ConnectIsAnsweredAndCompletesTheEcho) {
  EXPECT_EQ(Run({"CONNECT", "CONNECTED"}), (Replies{"OK A", "OK A"}));
  EXPECT_EQ(Console(),
            "CONNECTION ESTABLISHED\t\t\t\tOK\n"
            "CONNECTEDION ESTABLISHED\t\t\t\tOK");
  EXPECT_EQ(lastResult, 1);
}

TEST_F(CommandLoopTest, UndeliveredConnectReplyFailsTheExchange) {
  Client().AnswerReply("OK A", 14);
  EXPECT_EQ(Run({"CONNECT"}), (Replies{"OK A"}));
  EXPECT_EQ(Console(), "CONNECT");
  EXPECT_EQ(lastResult, -1);
  EXPECT_EQ(port_.Register(0x378), 0);
}

TEST_F(CommandLoopTest, TimeAndAttrKeysAreNeverEchoed) {
  // "TiMe" and "AxT" have the keys of TIME and ATTR but are no commands.
  EXPECT_EQ(Run({Put("f"), "TIME 100", "ATTR 32", "TiMe", "AxT"}), Replies{});
  EXPECT_EQ(Console(), Put("f") +
                           "\nStill trying... [TiMe]"
                           "\nStill trying... [AxT]");
  EXPECT_EQ(std::string(recName), dir_.Client("f"));
  EXPECT_EQ(fileTime, 100);
  EXPECT_EQ(fileAttr, 32);
  EXPECT_EQ(textMode, 0);
}

TEST_F(CommandLoopTest, UnrecognisedLinesGetTheRecoveryAndTheLoopGoesOn) {
  EXPECT_EQ(Run({"LIST", "list " + dir_.Client(""), "", "CONNECT"}), (Replies{"OK A"}));
  EXPECT_EQ(Console(), "LIST\nStill trying... [LIST]\nlist " + dir_.Client("") +
                           "\nStill trying... [list " + dir_.Client("") +
                           "]"
                           "\nStill trying..."
                           "\nCONNECTION ESTABLISHED\t\t\t\tOK");
  EXPECT_EQ(ConnectionErrorSignals(), 3);
}

TEST_F(CommandLoopTest, OverlongLineIsRefusedAndRecoveredLikeAFailedReceive) {
  // 256 characters: one more than the command buffer holds.
  Run({LineOfLength("LIST ", 256)});
  EXPECT_EQ(Console(), "Still trying...");
  // The failed receive resets the data register once more at the end.
  EXPECT_EQ(WritesAfterLastCommand(),
            (std::vector<uint8_t>{0x00, 0x0E, 0x1E, 0x0E, 0x1E, 0x00, 0x00, 0x00}));
  EXPECT_EQ(lastResult, -1);

  // 255 characters still arrive whole.
  Run({LineOfLength("RNTO ", 255)});
  EXPECT_EQ(Console(), "\n" + LineOfLength("RNTO ", 255));
}

TEST_F(CommandLoopTest, RestWithANumberSetsTheOffsetSilently) {
  EXPECT_EQ(Run({"REST 777"}), Replies{});
  EXPECT_EQ(restartOffset, 777);
  for (const char* bad : {"REST abc", "REST ", "REST 12 ", "REST -5", "REST 4294967296"}) {
    EXPECT_EQ(Run({"REST 777", bad}), Replies{}) << bad;
    EXPECT_EQ(restartOffset, 0) << bad;
    EXPECT_EQ(remoteOffset, 0) << bad;
  }
}

TEST_F(CommandLoopTest, RestQuestionWithoutAStoredFileIsAnError) {
  // No pending upload; "?xyz" is a question too.
  EXPECT_EQ(Run({"REST 777", "REST ?xyz"}), Replies{"REST ERROR 2"});
  EXPECT_EQ(restartOffset, 777);

  // A new PUT starts from the beginning: the offsets of the earlier
  // negotiation do not carry over to it, and a failed question keeps them 0.
  ASSERT_TRUE(dir_.Write("big", std::string(10000, 'x')));
  EXPECT_EQ(Run({Put("big"), "REST ?"}), (Replies{"REST=5120"}));
  EXPECT_EQ(restartOffset, 5120);
  EXPECT_EQ(remoteOffset, 5120);
  EXPECT_EQ(Run({Put("big"), "REST ?", Put("missing"), "REST ?"}),
            (Replies{"REST=5120", "REST ERROR 2"}));
  EXPECT_EQ(restartOffset, 0);
  EXPECT_EQ(remoteOffset, 0);
  EXPECT_EQ(fi, nullptr);

  // Only a regular file resumes; a FIFO must not block the server.
  ASSERT_EQ(mkfifo(dir_.Local("fifo").c_str(), 0600), 0);
  ASSERT_TRUE(dir_.MakeDir("d"));
  EXPECT_EQ(Run({Put("fifo"), "REST ?", Put("d"), "REST ?"}),
            (Replies{"REST ERROR 2", "REST ERROR 2"}));
}

TEST_F(CommandLoopTest, RestQuestionResumesOnA1024BoundaryAtLeast4096BeforeTheEnd) {
  ASSERT_TRUE(dir_.Write("a", std::string(5119, 'x')));
  ASSERT_TRUE(dir_.Write("b", std::string(5120, 'x')));
  ASSERT_TRUE(dir_.Write("c", std::string(10000, '\n')));  // binary: LF counts once
  EXPECT_EQ(Run({Put("a"), "REST ?", Put("b"), "REST ?", Put("c"), "REST ?"}),
            (Replies{"REST=0", "REST=1024", "REST=5120"}));
  EXPECT_EQ(restartOffset, 5120);
  EXPECT_EQ(remoteOffset, 5120);
}

TEST_F(CommandLoopTest, TextRestSendsWaitWhenAWholeSecondHasPassed) {
  ASSERT_TRUE(dir_.Write("t", TenThousandLines()));
  // 0.6 s per clock reading: the start (0.6 s), after 32768 bytes (1.2 s,
  // a new second: WAIT), after 65536 bytes (1.8 s, the same second).
  SteppingClock ticking(port_, 600000);
  platform = &ticking;
  EXPECT_EQ(Run({"APUT " + dir_.Client("t"), "REST ?"}), (Replies{"WAIT", "REST=104755"}));
  platform = &port_;
  EXPECT_EQ(restartOffset, 95232);
  EXPECT_EQ(remoteOffset, 104755);
  EXPECT_EQ(textMode, 1);
}

TEST_F(CommandLoopTest, UndeliveredWaitEndsTheNegotiationWithAnError) {
  ASSERT_TRUE(dir_.Write("t", TenThousandLines()));
  SteppingClock ticking(port_, 1000000);
  platform = &ticking;
  Client().AnswerReply("WAIT", 14);
  EXPECT_EQ(Run({"REST 777", "APUT " + dir_.Client("t"), "REST ?"}),
            (Replies{"WAIT", "REST ERROR 2"}));
  EXPECT_EQ(restartOffset, 0);
  EXPECT_EQ(remoteOffset, 0);

  // A client that goes silent gets nothing more; the loop waits on.
  Client().GoSilentAfterFrames(0);
  EXPECT_EQ(Run({"REST 777", "APUT " + dir_.Client("t"), "REST ?"}), Replies{});
  platform = &port_;
  EXPECT_EQ(restartOffset, 0);
  EXPECT_EQ(remoteOffset, 0);
  EXPECT_EQ(fi, nullptr);
}

TEST_F(CommandLoopTest, GetRestartAtRemoteCountsTheWireSizeOfAPrefix) {
  ASSERT_TRUE(dir_.Write("t", "ab\ncde"));
  fi = fopen(dir_.Local("t").c_str(), "r");
  ASSERT_NE(fi, nullptr);
  ci = 0;
  EXPECT_EQ(GetRestartAtRemote(5), 6);
  EXPECT_EQ(ftell(fi), 5);
  rewind(fi);
  EXPECT_EQ(GetRestartAtRemote(100), 7);  // shorter than n: the whole file
  rewind(fi);
  ci = EOF;  // already at the end: nothing is read
  EXPECT_EQ(GetRestartAtRemote(5), 0);
  EXPECT_EQ(ftell(fi), 0);
  ResetTransferState();
}

TEST_F(CommandLoopTest, GetRestartAtRemoteInUtf8CountsCharacters) {
  variantC = true;
  // e-acute, LF, euro sign, "x": 2 + 1 + 3 + 1 bytes; 1 + 2 + 1 + 1 on the wire.
  ASSERT_TRUE(dir_.Write("t",
                         "\xC3\xA9\n\xE2\x82\xAC"
                         "x"));
  fi = fopen(dir_.Local("t").c_str(), "r");
  ASSERT_NE(fi, nullptr);
  ci = 0;
  EXPECT_EQ(GetRestartAtRemote(7), 5);
  rewind(fi);
  // A prefix that ends inside the euro sign takes the whole character.
  EXPECT_EQ(GetRestartAtRemote(4), 4);
  EXPECT_EQ(ftell(fi), 6);
  ResetTransferState();
}

TEST_F(CommandLoopTest, RenameKeepsItsSourceForFurtherTargets) {
  ASSERT_TRUE(dir_.Write("a", "A"));
  EXPECT_EQ(
      Run({"RNFR " + dir_.Client("a"), "RNTO " + dir_.Client("b"), "RNTO " + dir_.Client("c")}),
      (Replies{"OK", "RENAME ERROR 2"}));
  // The second try was a to c again, not b to c.
  EXPECT_EQ(dir_.Read("b"), "A");
  EXPECT_FALSE(dir_.Exists("c"));
  EXPECT_EQ(std::string(renamedFrom), dir_.Local("a"));
  EXPECT_TRUE(Logged("\nProbably no write permission in parent directory"));
}

TEST_F(CommandLoopTest, RenameWithoutSourceIsNotAnswered) {
  ASSERT_TRUE(dir_.Write("b", "B"));
  EXPECT_EQ(Run({"RNTO " + dir_.Client("b")}), Replies{});
  EXPECT_EQ(lastResult, -1);
  EXPECT_EQ(WritesAfterLastCommand(), (std::vector<uint8_t>{0x00, 0x00, 0x00}));
  EXPECT_EQ(Console(), "RNTO " + dir_.Client("b"));
}

TEST_F(CommandLoopTest, RefusedRenameSourceIsNeverReplacedByAnEarlierOne) {
  variantC = true;
  ASSERT_TRUE(dir_.Write("a", "A"));
  // 200 euro signs take 600 bytes in UTF-8: more than the rename source holds.
  EXPECT_EQ(Run({"RNFR " + dir_.Client("a"), "RNFR " + dir_.Client(std::string(200, '\x80')),
                 "RNTO " + dir_.Client("b"), "RNTO " + dir_.Client("c")}),
            (Replies{"RENAME ERROR 2", "RENAME ERROR 2"}));
  EXPECT_EQ(dir_.Read("a"), "A");
  EXPECT_FALSE(dir_.Exists("b"));
  EXPECT_TRUE(Logged("\nPath too long -- refused"));
}

TEST_F(CommandLoopTest, UploadNameThatDoesNotMapIsRefused) {
  variantC = true;
  // 255 characters whose local form needs more than 700 bytes.
  std::string line = "PUT " + dir_.Client("") + '\\';
  line.resize(255, '\x80');
  Client().GoSilentAfterFrames(1);  // no upload data follows
  EXPECT_EQ(Run({line, "REST ?", "SIZE 10"}), Replies{"REST ERROR 2"});
  EXPECT_TRUE(Logged("\nUPLOAD FAILED"));
  EXPECT_EQ(recName[0], '\0');
}

TEST_F(CommandLoopTest, SizeClearsTheUploadStateWhateverTheOutcome) {
  Client().GoSilentAfterFrames(0);
  Run({"REST 777", "APUT " + dir_.Client("f"), "TIME 100", "ATTR 32", "SIZE 5"});
  EXPECT_TRUE(Logged("\nUPLOAD FAILED"));
  EXPECT_EQ(lastResult, -1);
  EXPECT_EQ(recName[0], '\0');
  EXPECT_EQ(fileTime, -1);
  EXPECT_EQ(fileAttr, -1);
  EXPECT_EQ(textMode, 0);
  EXPECT_EQ(restartOffset, 0);
  EXPECT_EQ(remoteOffset, 0);
}

TEST_F(CommandLoopTest, DownloadClearsBothOffsetsAndKeepsThePendingName) {
  ASSERT_TRUE(dir_.Write("big", std::string(10000, 'x')));
  Client().GoSilentAfterFrames(1);
  Run({Put("big"), "REST ?", "AGET " + dir_.Client("missing")});
  EXPECT_TRUE(Logged("\nDOWNLOAD FAILED"));
  EXPECT_EQ(restartOffset, 0);
  EXPECT_EQ(remoteOffset, 0);
  EXPECT_EQ(std::string(recName), dir_.Client("big"));

  Client().GoSilentAfterFrames(0);
  Run({"REST 777", "GET " + dir_.Client("missing")});
  EXPECT_EQ(restartOffset, 0);
}

TEST_F(CommandLoopTest, ListClearsTheTextFlagOfAPendingUpload) {
  Client().GoSilentAfterFrames(0);
  Run({"APUT " + dir_.Client("f"), "LIST " + dir_.Client("")});
  EXPECT_EQ(textMode, 0);
  EXPECT_EQ(std::string(recName), dir_.Client("f"));
  EXPECT_TRUE(Logged("\nLIST FAILED"));
  EXPECT_EQ(lastResult, -1);
  EXPECT_EQ(port_.Register(0x378), 0);
}

// An echoed line of n characters closed with OK: 48 - n blanks, then "OK".
std::string ClosedWithOk(const std::string& line) {
  return line + std::string(48 - line.size(), ' ') + "OK\n";
}

TEST_F(CommandLoopTest, CompletedTransfersCloseTheirLineWithOk) {
  ASSERT_TRUE(dir_.Write("f", "abc"));
  Client().Send("GET " + dir_.Client("f"));
  Client().Send(Put("g"));
  Client().Send("SIZE 3");
  Client().SendData(1, "xyz");
  EXPECT_EQ(Run().back().rfind("SIZE 3", 0), 0u);
  ASSERT_EQ(Last().DataFrames().size(), 1u);
  EXPECT_EQ(Last().DataFrames()[0].payload, (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(dir_.Read("g"), "xyz");
  EXPECT_EQ(Console(),
            ClosedWithOk("GET " + dir_.Client("f")) + Put("g") + "\n" + ClosedWithOk("SIZE 3"));
  EXPECT_EQ(lastResult, 1);

  EXPECT_EQ(Run({"LIST " + dir_.Client("")})[0].rfind("SIZE ", 0), 0u);
  EXPECT_EQ(Console(), ClosedWithOk("LIST " + dir_.Client("")));
}

TEST(StrToIntTest, WholeDecimalNumbersOnly) {
  EXPECT_EQ(StrToInt(""), 0);
  EXPECT_EQ(StrToInt("12"), 12);
  EXPECT_EQ(StrToInt(" 12"), 12);
  EXPECT_EQ(StrToInt("12 "), -1);
  EXPECT_EQ(StrToInt("x"), -1);
  EXPECT_EQ(StrToInt("4294967295"), -1);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  // Beyond 32 bits saturates, as a 32-bit strtoul does; 2^32 must not wrap to 0.
  EXPECT_EQ(StrToInt("4294967296"), -1);
  EXPECT_EQ(StrToInt("99999999999999999999999"), -1);
}

TEST_F(CommandLoopTest, CtrlCWhileWaitingEndsTheLoopWithin50ms) {
  Client().PressCtrlCAt(1000001);  // just after a poll at 1.0 s
  char name[] = "lpxferd";
  char port[] = "2";
  char* argv[] = {name, port, nullptr};
  portaddr = 0x378;
  EXPECT_EQ(ServerMain(2, argv), 0);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGSEGV, SIG_DFL);
  ASSERT_NE(Client().CtrlCPressedAtUs(), 0u);
  EXPECT_LE(port_.NowUs() - Client().CtrlCPressedAtUs(), 50000u);
  std::string console = Console();
  const std::string last = "\nDISCONNECT\t\t\t\t\tOK\n";
  ASSERT_GE(console.size(), last.size());
  EXPECT_EQ(console.substr(console.size() - last.size()), last);
}

}  // namespace
}  // namespace lpx
