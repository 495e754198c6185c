#include "service/receiver.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "convert/charset.h"
#include "convert/variant.h"
#include "link/frame.h"
#include "log/memo.h"
#include "service/handlers.h"
#include "testing/server_session.h"
#include "testing/transfer_support.h"

namespace lpx {
namespace {

using Strings = std::vector<std::string>;

constexpr uint8_t kTaken = kCodeGoOn;
constexpr uint8_t kRefused = kCodeEnded;
// The FAT word of 2005-06-15 12:34:56 local time; it reads back as :55.
constexpr int32_t kWord2005 = 852452445;
constexpr int32_t kNoTime = -1;

// What the command state hands the receiver besides the path.
struct Upload {
  int32_t size = -1;  // -1: the sum of the payloads plus the remote offset
  int32_t time = kNoTime;
  int32_t offset = 0;
  int32_t remote = 0;
  int text = 0;
};

class ReceiverTest : public TransferTest {
 protected:
  // Queues the payloads as frames 1, 2, 3, ... and receives them into `name`.
  int Receive(const std::string& name, const Strings& payloads, Upload up = {}) {
    int32_t total = up.remote;
    for (size_t i = 0; i < payloads.size(); ++i) {
      QueueFrame(static_cast<int32_t>(i + 1), payloads[i]);
      total += static_cast<int32_t>(payloads[i].size());
    }
    if (up.size < 0) up.size = total;
    return ReceiveData(Path(name).c_str(), up.size, up.time, -1, up.offset, up.remote, up.text);
  }
  void QueueFrame(int32_t block, const std::string& payload) {
    peer_.Queue(BuildFrame(block, std::vector<uint8_t>(payload.begin(), payload.end())));
  }
  // The link code the server gave after the last byte of each frame sent.
  std::vector<uint8_t> Verdicts() const {
    std::vector<uint8_t> out;
    for (const FramePeer::Item& item : peer_.items()) {
      if (!item.codes.empty()) out.push_back(item.codes.back());
    }
    return out;
  }
  void ExpectFailureLogged(const std::string& count) {
    const std::string console = Console();
    EXPECT_NE(console.find("*** " + count + " Error"), std::string::npos) << console;
    EXPECT_NE(console.find("Cannot allocate file -- No write permission or device full"),
              std::string::npos)
        << console;
  }
  void ExpectClean() {
    EXPECT_EQ(blocktransfer, 0);
    EXPECT_EQ(fi, nullptr);
  }
};

TEST_F(ReceiverTest, BinaryIsStoredByteForByte) {
  const std::string first = std::string("a\r\nb\r") + '\0' + "\xFF\x80\xA4";
  const std::string second(4096, '\r');
  EXPECT_EQ(Receive("bin", {first, second, ""}), 0);
  EXPECT_EQ(ReadFile("bin"), first + second);
  EXPECT_EQ(Verdicts(), (std::vector<uint8_t>{kTaken, kTaken}));  // no third frame was due
  EXPECT_EQ(Console(), "");
  ExpectClean();
}

TEST_F(ReceiverTest, TextModeStoresLineFeedsAndCountsWireBytes) {
  // Six wire bytes; the upload is complete exactly when six have arrived.
  EXPECT_EQ(Receive("t", {"a\r\nb\r\n"}, {.text = 1}), 0);
  EXPECT_EQ(ReadFile("t"), "a\nb\n");

  // A CR that ends one frame and its LF at the start of the next: one LF.
  peer_ = FramePeer(kData);
  EXPECT_EQ(Receive("split", {"x\r", "\ny"}, {.text = 1}), 0);
  EXPECT_EQ(ReadFile("split"), "x\ny");
  ExpectClean();
}

TEST_F(ReceiverTest, TextModeConvertsCharacters) {
  EXPECT_EQ(Receive("euro", {"\xA4\x80"}, {.text = 1}), 0);
  EXPECT_EQ(ReadFile("euro"), "\x80\xA4");

  // Code page 437 is taken from its first typical byte on, across frames.
  peer_ = FramePeer(kData);
  EXPECT_EQ(Receive("dos", {"\xE4", "\x81\xE4"}, {.text = 1}), 0);
  EXPECT_EQ(ReadFile("dos"), "\xE4\xFC\xFD");

  variantC = true;
  DOSmode = 0;
  peer_ = FramePeer(kData);
  EXPECT_EQ(Receive("utf8", {"\xE9\x80z\r\n"}, {.text = 1}), 0);
  EXPECT_EQ(ReadFile("utf8"),
            "\xC3\xA9\xE2\x82\xAC"
            "z\n");
}

TEST_F(ReceiverTest, EmptyUploadCreatesOrEmptiesTheFileAndSetsItsTime) {
  WriteFile("old", "previous contents");
  EXPECT_EQ(Receive("old", {}, {.size = 0, .time = kWord2005}), 0);
  EXPECT_EQ(ReadFile("old"), "");
  EXPECT_EQ(ModTime("old"), LocalTime(2005, 6, 15, 12, 34, 55));
  EXPECT_EQ(Receive("new", {}, {.size = 0, .text = 1}), 0);
  EXPECT_TRUE(Exists("new"));
  EXPECT_TRUE(peer_.frames().empty());

  // Cannot be created: its parent is a regular file.
  EXPECT_EQ(Receive("old/child", {}, {.size = 0}), 1);
  EXPECT_NE(Console().find("Cannot allocate file"), std::string::npos);

  // Nothing to receive for a size equal to a non-zero remote offset.
  WriteFile("same", "kept");
  EXPECT_EQ(Receive("same", {}, {.size = 4, .offset = 4, .remote = 4}), 1);
  EXPECT_EQ(ReadFile("same"), "kept");
  ExpectClean();
}

TEST_F(ReceiverTest, TimeIsAppliedUnlessNoneWasGiven) {
  EXPECT_EQ(Receive("dated", {"abc"}, {.time = kWord2005}), 0);
  EXPECT_EQ(ModTime("dated"), LocalTime(2005, 6, 15, 12, 34, 55));
  // 4294967295 arrives as -1: no time, the file keeps its creation time.
  peer_ = FramePeer(kData);
  EXPECT_EQ(Receive("undated", {"abc"}, {.time = -1}), 0);
  EXPECT_GT(ModTime("undated"), LocalTime(2020, 1, 1, 0, 0, 0));
}

TEST_F(ReceiverTest, ResumedBinaryUploadRewritesFromTheOffset) {
  std::string whole;
  for (int i = 0; i < 9000; ++i) whole += static_cast<char>('A' + i % 23);
  WriteFile("r", whole.substr(0, 6000));  // a broken earlier upload
  // REST ? for 6000 bytes gives 1024: the client resends from there.
  EXPECT_EQ(Receive("r", {whole.substr(1024, 4096), whole.substr(5120)},
                    {.offset = 1024, .remote = 1024}),
            0);
  EXPECT_EQ(ReadFile("r"), whole);
  EXPECT_EQ(Verdicts(), (std::vector<uint8_t>{kTaken, kTaken}));
  ExpectClean();
}

TEST_F(ReceiverTest, ResumedTextUploadComparesLinesWithLineFeeds) {
  std::string local;
  std::string wire;
  for (int i = 0; i < 1200; ++i) {
    char line[8];
    snprintf(line, sizeof line, "%04d", i);
    local += std::string(line) + "\n";
    wire += std::string(line) + "\r\n";
  }
  WriteFile("t", local.substr(0, 5500));
  // Local offset 1024 lies after 204 lines and 4 characters: wire 204 * 6 + 4.
  const int32_t remote = 1228;
  ASSERT_EQ(wire.substr(remote, 2), "\r\n");
  EXPECT_EQ(Receive("t", {wire.substr(remote, 4096), wire.substr(remote + 4096)},
                    {.offset = 1024, .remote = remote, .text = 1}),
            0);
  EXPECT_EQ(ReadFile("t"), local);
}

TEST_F(ReceiverTest, OverlapThatDiffersLeavesTheFileAlone) {
  std::string stored;
  for (int i = 0; i < 6000; ++i) stored += static_cast<char>('0' + i % 10);
  WriteFile("r", stored);
  std::string resent = stored.substr(1024, 4096);
  ASSERT_EQ(resent[5], '9');
  resent[5] = 'X';
  AddToMemo("\nSIZE 9000");
  EXPECT_EQ(Receive("r", {resent, std::string(3000, 'n')},
                    {.size = 9000, .offset = 1024, .remote = 1024}),
            static_cast<int>(LinkResult::kRefused));
  EXPECT_EQ(ReadFile("r"), stored);
  EXPECT_EQ(Verdicts(), (std::vector<uint8_t>{kRefused}));  // frame 1 itself refused
  const std::string console = Console();
  EXPECT_NE(console.find("5:58-39   \n*** Error: source and target differ!"), std::string::npos)
      << console;
  ExpectFailureLogged("1024");
  ExpectClean();
}

TEST_F(ReceiverTest, ResumeIntoAShorterOrMissingFileIsRefused) {
  // Writing at the offset would leave a stretch of zeros in front of it.
  WriteFile("short", "abc");
  EXPECT_EQ(Receive("short", {"defg"}, {.offset = 1024, .remote = 1024}),
            static_cast<int>(LinkResult::kRefused));
  EXPECT_EQ(ReadFile("short"), "abc");
  peer_ = FramePeer(kData);
  EXPECT_EQ(Receive("gone", {"defg"}, {.offset = 1024, .remote = 1024}),
            static_cast<int>(LinkResult::kRefused));
  EXPECT_FALSE(Exists("gone"));
}

TEST_F(ReceiverTest, FailureMidUploadKeepsThePartAndItsTime) {
  peer_.Queue(BuildFrame(1, std::vector<uint8_t>(4096, 'p')));
  peer_.Queue(BuildFrame(3, std::vector<uint8_t>(10, 'q')));  // frame 2 never comes
  EXPECT_EQ(ReceiveData(Path("part").c_str(), 8192, kWord2005, -1, 0, 0, 0),
            static_cast<int>(LinkResult::kRefused));
  EXPECT_EQ(ReadFile("part"), std::string(4096, 'p'));
  EXPECT_EQ(ModTime("part"), LocalTime(2005, 6, 15, 12, 34, 55));
  ExpectFailureLogged("4096");
  ExpectClean();
}

TEST_F(ReceiverTest, ExistingFileIsUntouchedUntilFrameOneArrivesIntact) {
  WriteFile("keep", "keep me");
  peer_.Queue(BuildFrame(kAbortBlock, std::vector<uint8_t>{}));
  EXPECT_EQ(ReceiveData(Path("keep").c_str(), 5, -1, -1, 0, 0, 0),
            static_cast<int>(LinkResult::kRefused));
  EXPECT_EQ(ReadFile("keep"), "keep me");

  peer_ = FramePeer(kData);
  FramePeer::Item& item = peer_.Queue(BuildFrame(1, std::vector<uint8_t>{'a', 'b', 'c'}));
  item.stopAt = 13;  // the client goes silent inside the payload
  EXPECT_EQ(ReceiveData(Path("keep").c_str(), 3, -1, -1, 0, 0, 0),
            static_cast<int>(LinkResult::kAborted));
  EXPECT_EQ(ReadFile("keep"), "keep me");
  ExpectClean();
}

TEST_F(ReceiverTest, MoreDataThanAnnouncedIsRefused) {
  WriteFile("keep", "keep me");
  EXPECT_EQ(Receive("keep", {"12345678"}, {.size = 5}), static_cast<int>(LinkResult::kRefused));
  EXPECT_EQ(Verdicts(), (std::vector<uint8_t>{kRefused}));
  EXPECT_EQ(ReadFile("keep"), "keep me");
}

TEST_F(ReceiverTest, FullDeviceRefusesTheFrameThatDoesNotFit) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 6000;
  void (*savedHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int result =
      Receive("full", {std::string(4096, 'a'), std::string(4096, 'b'), std::string(4096, 'c')});
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, savedHandler);

  EXPECT_EQ(result, static_cast<int>(LinkResult::kRefused));
  EXPECT_EQ(Verdicts(), (std::vector<uint8_t>{kTaken, kRefused}));
  EXPECT_EQ(ReadFile("full").substr(0, 4096), std::string(4096, 'a'));
  ExpectFailureLogged("4096");
  ExpectClean();
}

TEST_F(ReceiverTest, FileThatCannotBeOpenedRefusesEvenAOneFrameUpload) {
  WriteFile("plain", "x");
  EXPECT_EQ(Receive("plain/new.bin", {"one frame"}), static_cast<int>(LinkResult::kRefused));
  EXPECT_EQ(Verdicts(), (std::vector<uint8_t>{kRefused}));
  EXPECT_EQ(ReadFile("plain"), "x");
  ExpectFailureLogged("0");
  ExpectClean();

  // Neither a FIFO (opening it would wait for a reader) nor a directory
  // is a place for an upload.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
  for (const char* name : {"fifo", "dir"}) {
    for (int32_t size : {0, 3}) {
      peer_ = FramePeer(kData);
      EXPECT_NE(Receive(name, size == 0 ? Strings{} : Strings{"abc"}), 0) << name << size;
      EXPECT_EQ(Verdicts(), size == 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>{kRefused});
    }
  }
  ExpectClean();
}

TEST_F(ReceiverTest, ProgressMarkAfterTheTwentyFourthFrame) {
  Strings payloads;
  for (int i = 0; i < 50; ++i) payloads.push_back("0123456789");
  EXPECT_EQ(Receive("many", payloads), 0);
  EXPECT_EQ(Console(), "~~");  // after frames 24 and 49

  peer_ = FramePeer(kData);
  payloads.resize(24);
  EXPECT_EQ(Receive("fewer", payloads), 0);
  EXPECT_EQ(Console(), "~~~");
}

TEST_F(ReceiverTest, BusyLinkIsRefusedUntouched) {
  blocktransfer = 1;
  EXPECT_EQ(ReceiveData(Path("x").c_str(), 0, -1, -1, 0, 0, 0), 6);
  EXPECT_FALSE(Exists("x"));
  blocktransfer = 0;
}

// The same uploads through the command loop, as the client runs them.
class UploadSessionTest : public ServerSessionTest {};

TEST_F(UploadSessionTest, UploadIntoAnUnwritablePlaceIsRefusedOnTheCable) {
  ASSERT_TRUE(dir_.Write("plain", "x"));
  ClientModel& client = Client();
  client.Send("PUT " + dir_.Client("plain\\new.bin"));
  client.Send("SIZE 3");
  FramePeer::Item& data = client.SendData(1, "abc");
  EXPECT_TRUE(Run().empty());
  ASSERT_FALSE(data.codes.empty());
  EXPECT_EQ(data.codes.back(), kRefused);
  EXPECT_TRUE(Logged("\nCannot allocate file -- No write permission or device full"));
  EXPECT_TRUE(Logged("\nUPLOAD FAILED"));
}

TEST_F(UploadSessionTest, ResumedTextUploadThroughTheRestartQuestion) {
  std::string local;
  std::string wire;
  for (int i = 0; i < 1200; ++i) {
    char line[8];
    snprintf(line, sizeof line, "%04d", i);
    local += std::string(line) + "\n";
    wire += std::string(line) + "\r\n";
  }
  ASSERT_TRUE(dir_.Write("t.txt", local.substr(0, 5500)));
  ClientModel& client = Client();
  client.Send("APUT " + dir_.Client("t.txt"));
  client.Send("REST ?");
  client.Send("TIME 852452445");
  client.Send("SIZE 7200");
  // 5500 bytes resume at 1024, after 204 lines and 4 characters: wire 1228.
  client.SendData(1, wire.substr(1228, 4096));
  client.SendData(2, wire.substr(1228 + 4096));
  EXPECT_EQ(Run(), Replies{"REST=1228"});
  EXPECT_EQ(dir_.Read("t.txt"), local);
  EXPECT_FALSE(Logged("FAILED"));
  EXPECT_TRUE(Logged("OK\n"));
}

}  // namespace
}  // namespace lpx
