#include "service/listing.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "convert/variant.h"
#include "link/frame_format.h"
#include "log/memo.h"
#include "service/handlers.h"
#include "testing/server_session.h"
#include "testing/transfer_support.h"

namespace lpx {
namespace {

using Strings = std::vector<std::string>;

// Files made here are dated 2005-06-15 12:34:56 local time, FAT word
// 852452445, so a record of an empty file is its name plus 17 bytes.
constexpr const char* kFixedTime = "852452445";

class ListingTest : public TransferTest {
 protected:
  void MakeFile(const std::string& name, mode_t mode = 0644, size_t size = 0) {
    WriteFile(name, std::string(size, 'x'));
    ASSERT_EQ(chmod(Path(name).c_str(), mode), 0);
    SetModTime(name, LocalTime(2005, 6, 15, 12, 34, 56));
  }
  void MakeDir(const std::string& name) {
    ASSERT_EQ(mkdir(Path(name).c_str(), 0755), 0);
    SetModTime(name, LocalTime(2005, 6, 15, 12, 34, 56));
  }
  int List(const std::string& name = "") { return ServerListDirectory(Path(name).c_str()); }

  // The records the frames carried, sorted (the directory's order is its own).
  Strings Records() const {
    Strings out;
    const std::string data = Data();
    size_t start = 0;
    for (size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2) {
      out.push_back(data.substr(start, end + 2 - start));
    }
    EXPECT_EQ(start, data.size()) << "data ends inside a record";
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string Record(const std::string& name, const std::string& size, const std::string& time,
                     const std::string& attr) const {
    return name + "\t" + size + "\t" + time + "\t" + attr + "\r\n";
  }
};

TEST_F(ListingTest, EmptyDirectoryHasOnlyTheDotRecord) {
  EXPECT_EQ(List(), 1);
  // mkdtemp gives 0700: owner write and execute set, so only the directory bit.
  const std::string dot = ".\t0\t-1\t16\r\n";
  EXPECT_EQ(Replies(), (Strings{"SIZE " + std::to_string(dot.size())}));
  ASSERT_EQ(DataFrames().size(), 1u);
  EXPECT_EQ(DataFrames()[0].block, 1);
  EXPECT_EQ(Data(), dot);
  EXPECT_EQ(blocktransfer, 0);
  EXPECT_EQ(Console(), "");  // no "~" for a last frame
}

TEST_F(ListingTest, AttributesSizesAndHiddenNames) {
  MakeFile("rw", 0644, 5);
  MakeFile("rwx", 0755, 6);
  MakeFile("ro", 0444, 7);
  MakeFile(".hidden", 0644);
  MakeDir("sub");
  MakeDir(".git");
  // A socket passes the directory test of the mode too, and is listed with size 0.
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::string socketPath = Path("sock");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(s);
  ASSERT_EQ(chmod(socketPath.c_str(), 0755), 0);
  SetModTime("sock", LocalTime(2005, 6, 15, 12, 34, 56));

  EXPECT_EQ(List(), 1);
  Strings expected = {
      ".\t0\t-1\t16\r\n",
      Record("rw", "5", kFixedTime, "32"),
      Record("rwx", "6", kFixedTime, "0"),
      Record("ro", "7", kFixedTime, "33"),
      Record(".hidden", "0", kFixedTime, "34"),
      Record("sub", "0", kFixedTime, "16"),
      Record(".git", "0", kFixedTime, "18"),
      Record("sock", "0", kFixedTime, "16"),
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Records(), expected);
  size_t total = 0;
  for (const std::string& r : expected) total += r.size();
  EXPECT_EQ(Replies(), (Strings{"SIZE " + std::to_string(total)}));
}

TEST_F(ListingTest, NamesAreConvertedForTheClient) {
  MakeFile("a\x80");
  MakeFile("b\xA4");
  MakeFile("tab\there");
  MakeFile("line\r\nbreak");
  EXPECT_EQ(List(), 1);
  Strings expected = {
      ".\t0\t-1\t16\r\n",
      Record("a\xA4", "0", kFixedTime, "32"),
      Record("b\x80", "0", kFixedTime, "32"),
      Record("tab~here", "0", kFixedTime, "32"),
      Record("line~~break", "0", kFixedTime, "32"),
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Records(), expected);
}

TEST_F(ListingTest, VariantCDecodesNamesAndListsDotAsHiddenDirectory) {
  variantC = true;
  MakeFile("caf\xC3\xA9");
  MakeFile("\xE2\x82\xAC");
  MakeFile("\xD0\x96x");
  SetModTime("", LocalTime(2005, 6, 15, 12, 34, 56));
  EXPECT_EQ(List(), 1);
  Strings expected = {
      Record(".", "0", kFixedTime, "18"),
      Record("caf\xE9", "0", kFixedTime, "32"),
      Record("\x80", "0", kFixedTime, "32"),
      Record("~x", "0", kFixedTime, "32"),
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Records(), expected);
}

TEST_F(ListingTest, StoreStatusJoinsTheRootWithOneSlash) {
  char name[] = "tmp";
  StoreStatus(inbuf, sizeof inbuf, "/", name);
  EXPECT_STREQ(scratch, "/tmp");
  struct stat status;
  ASSERT_EQ(stat("/tmp", &status), 0);
  EXPECT_EQ(std::string(inbuf).substr(0, 6), "tmp\t0\t");

  const std::string dir = dir_;
  char file[] = "f";
  MakeFile("f", 0644, 3);
  StoreStatus(inbuf, sizeof inbuf, (dir + "/").c_str(), file);
  EXPECT_EQ(std::string(scratch), Path("f"));
  EXPECT_EQ(std::string(inbuf), Record("f", "3", kFixedTime, "32"));
}

TEST_F(ListingTest, UnreadableStatusAndOverlongPathsGiveTheUnknownRecord) {
  // A dangling symbolic link: its status (followed) cannot be read.
  ASSERT_EQ(symlink(Path("nowhere").c_str(), Path(".dangling").c_str()), 0);
  char name[] = ".dangling";
  StoreStatus(inbuf, sizeof inbuf, dir_.c_str(), name);
  EXPECT_EQ(std::string(inbuf), Record(".dangling", "0", "-1", "35"));

  // A joined path that does not fit the 750-byte working buffer is never
  // cut (a cut path could name another file): the entry gets the same record.
  const std::string longDir = "/" + std::string(745, 'd');
  char other[] = "plain";
  StoreStatus(inbuf, sizeof inbuf, longDir.c_str(), other);
  EXPECT_EQ(std::string(inbuf), Record("plain", "0", "-1", "33"));

  // Too small a record buffer leaves it empty.
  char small[8];
  char again[] = "plain";
  StoreStatus(small, sizeof small, dir_.c_str(), again);
  EXPECT_STREQ(small, "");
  // A buffer of no bytes at all is not written, not even for ".".
  char none[1] = {'Z'};
  char dot[] = ".";
  StoreStatus(none, 0, dir_.c_str(), dot);
  EXPECT_EQ(none[0], 'Z');

  // A size beyond 32 bits is listed as the largest there is (where the
  // file system has sparse files).
  MakeFile("big");
  if (truncate(Path("big").c_str(), 4294967296LL + 5) == 0) {
    SetModTime("big", LocalTime(2005, 6, 15, 12, 34, 56));
    char big[] = "big";
    StoreStatus(inbuf, sizeof inbuf, dir_.c_str(), big);
    EXPECT_EQ(std::string(inbuf), Record("big", "4294967295", kFixedTime, "32"));
  }
}

TEST_F(ListingTest, ExactlyOneFullFrameSendsNoEmptySecondFrame) {
  // ".": 11 bytes; 33 records of 117 bytes (names of 100); one of 28
  // (a name of 11): 3900 bytes, over 3896 only after the last record.
  for (int i = 0; i < 33; ++i) {
    std::string name = std::to_string(i);
    MakeFile(name + std::string(100 - name.size(), 'n'));
  }
  MakeFile("abcdefghijk");
  EXPECT_EQ(List(), 1);
  EXPECT_EQ(Replies(), (Strings{"SIZE 3900"}));
  ASSERT_EQ(DataFrames().size(), 1u);
  EXPECT_EQ(DataFrames()[0].length, 3900);
  EXPECT_EQ(Console(), "~");  // it was a full frame
}

TEST_F(ListingTest, FramesCarryWholeRecordsAndNeverPassThePayload) {
  // 40 records of 258 bytes (names of 241) and the dot record: 15 records
  // fill 3870 (3881 with the dot), not yet over 3896, and a 16th would
  // pass 4096, so each frame goes out before it.
  for (int i = 0; i < 40; ++i) {
    std::string name = std::to_string(i);
    MakeFile(name + std::string(241 - name.size(), 'L'));
  }
  EXPECT_EQ(List(), 1);
  EXPECT_EQ(Replies(), (Strings{"SIZE " + std::to_string(40 * 258 + 11)}));
  std::vector<FramePeer::Frame> frames = DataFrames();
  ASSERT_EQ(frames.size(), 3u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].block, static_cast<int32_t>(i + 1));
    const int32_t records = i < 2 ? 15 : 10;
    EXPECT_TRUE(frames[i].length == records * 258 || frames[i].length == records * 258 + 11)
        << frames[i].length;
    EXPECT_EQ(frames[i].payload.back(), '\n');
  }
  EXPECT_EQ(Records().size(), 41u);
  EXPECT_EQ(Console(), "~~");

  // Names of 255 bytes, the longest there are.
  peer_ = FramePeer(kData);
  for (int i = 0; i < 20; ++i) {
    std::string name = std::to_string(i);
    MakeFile(name + std::string(255 - name.size(), 'M'));
  }
  EXPECT_EQ(List(), 1);
  frames = DataFrames();
  for (const FramePeer::Frame& f : frames) EXPECT_LE(f.length, 4096);
  EXPECT_EQ(Records().size(), 61u);
}

TEST_F(ListingTest, KeepAlivesWhileCountingNoneWhileSending) {
  for (const char* name : {"a", "b", "c"}) MakeFile(name);
  SteppingClock slow(port_, 400000);
  platform = &slow;
  // The mark is read at 0.4 s; then once after each of the five entries
  // (".", "..", a, b, c): 0.8, 1.2, 1.6, 2.0, 2.4 s. Two whole seconds pass.
  EXPECT_EQ(List(), 1);
  Strings replies = Replies();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], "WAIT");
  EXPECT_EQ(replies[1], "WAIT");
  EXPECT_EQ(replies[2].substr(0, 5), "SIZE ");
  EXPECT_EQ(Records().size(), 4u);

  // A keep-alive that does not get through ends the count: SIZE still goes
  // out with what was counted so far.
  peer_ = FramePeer(kData);
  peer_.Verdict([](const FramePeer::Frame& f) {
    return f.block == 0 && f.length == 4 ? kCodeEnded : kCodeGoOn;
  });
  EXPECT_EQ(List(), 1);
  replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0], "WAIT");
}

TEST_F(ListingTest, CtrlCOrARefusedFrameEndsTheListing) {
  for (int i = 0; i < 40; ++i) MakeFile(std::to_string(i) + std::string(100, 'c'));
  keyflag = 1;  // the client gets the abort frame in place of the first full frame
  EXPECT_EQ(List(), 0);
  std::vector<FramePeer::Frame> frames = DataFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].block, kAbortBlock);
  EXPECT_EQ(frames[0].length, 0);
  EXPECT_EQ(abortClicked, 1);
  EXPECT_EQ(blocktransfer, 0);

  keyflag = 0;
  peer_ = FramePeer(kData);
  peer_.Verdict([](const FramePeer::Frame& f) { return f.block == 1 ? kCodeEnded : kCodeGoOn; });
  EXPECT_EQ(List(), 0);
  EXPECT_EQ(DataFrames().size(), 1u);

  blocktransfer = 1;
  peer_ = FramePeer(kData);
  EXPECT_EQ(List(), 0);
  EXPECT_TRUE(peer_.frames().empty());
  blocktransfer = 0;
}

class ListSessionTest : public ServerSessionTest {};

TEST_F(ListSessionTest, ListingThroughTheCommandLoop) {
  EXPECT_EQ(Run({"LIST " + dir_.Client("")}), Replies{"SIZE 11"});
  ASSERT_EQ(Last().DataFrames().size(), 1u);
  const std::vector<uint8_t> dot = {'.', '\t', '0', '\t', '-', '1', '\t', '1', '6', '\r', '\n'};
  EXPECT_EQ(Last().DataFrames()[0].payload, dot);
  EXPECT_TRUE(Logged("OK\n"));
  EXPECT_EQ(Run({"LIST " + dir_.Client("missing")}), Replies{"DIR ERROR 2"});
}

}  // namespace
}  // namespace lpx
