#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "convert/variant.h"
#include "link/frame_format.h"
#include "service/handlers.h"
#include "testing/server_session.h"
#include "testing/transfer_support.h"

namespace lpx {
namespace {

using Strings = std::vector<std::string>;

// Dates a file 2005-06-15 12:34:56 local time: FAT word 852452445.
bool SetTime(const std::string& path) {
  struct utimbuf times;
  times.actime = times.modtime = LocalTime(2005, 6, 15, 12, 34, 56);
  return utime(path.c_str(), &times) == 0 && chmod(path.c_str(), 0644) == 0;
}

class SenderTest : public TransferTest {
 protected:
  // A file dated 2005-06-15 12:34:56 local time: FAT word 852452445.
  void MakeFile(const std::string& name, const std::string& bytes, mode_t mode = 0644) {
    WriteFile(name, bytes);
    ASSERT_EQ(chmod(Path(name).c_str(), mode), 0);
    SetModTime(name, LocalTime(2005, 6, 15, 12, 34, 56));
  }
  int Get(const std::string& name, int32_t restart = 0) {
    return ServerUploadFile(Path(name).c_str(), restart, 0);
  }
  int AGet(const std::string& name, int32_t restart = 0) {
    return ServerUploadFile(Path(name).c_str(), restart, 1);
  }
  std::vector<int32_t> FrameLengths() const {
    std::vector<int32_t> out;
    for (const FramePeer::Frame& f : DataFrames()) out.push_back(f.length);
    return out;
  }
  std::vector<int32_t> FrameBlocks() const {
    std::vector<int32_t> out;
    for (const FramePeer::Frame& f : DataFrames()) out.push_back(f.block);
    return out;
  }
};

TEST_F(SenderTest, EmptyFileIsDescribedThenSentAsOneEmptyFrame) {
  MakeFile("empty", "");
  EXPECT_EQ(Get("empty"), 1);
  EXPECT_EQ(Replies(), (Strings{"TIME 852452445", "ATTR 32", "SIZE 0"}));
  EXPECT_EQ(FrameBlocks(), (std::vector<int32_t>{1}));
  EXPECT_EQ(FrameLengths(), (std::vector<int32_t>{0}));
  EXPECT_EQ(blocktransfer, 0);
  EXPECT_EQ(fi, nullptr);
}

TEST_F(SenderTest, FullFramesAreFollowedByAnEmptyOne) {
  std::string bytes(8192, 'x');
  bytes[0] = '\r';
  bytes[4096] = '\n';
  MakeFile("f", bytes);
  EXPECT_EQ(Get("f"), 1);
  EXPECT_EQ(Replies().back(), "SIZE 8192");
  EXPECT_EQ(FrameBlocks(), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(FrameLengths(), (std::vector<int32_t>{4096, 4096, 0}));
  EXPECT_EQ(Data(), bytes);  // binary: nothing converted
}

TEST_F(SenderTest, BinaryRestartEchoesTheOffsetAndSendsTheRest) {
  MakeFile("f", "0123456789");
  EXPECT_EQ(Get("f", 4), 1);
  EXPECT_EQ(Replies(), (Strings{"REST 4", "TIME 852452445", "ATTR 32", "SIZE 10"}));
  EXPECT_EQ(Data(), "456789");

  for (int32_t offset : {10, 11, 2000000000}) {
    peer_ = FramePeer(kData);
    EXPECT_EQ(Get("f", offset), 1) << offset;
    EXPECT_EQ(Replies().back(), "SIZE 10");
    EXPECT_EQ(FrameLengths(), (std::vector<int32_t>{0})) << offset;
  }
}

TEST_F(SenderTest, TextModeSendsCrLfAndCountsTwoPerLineFeed) {
  MakeFile("t", "a\nb\n");
  EXPECT_EQ(AGet("t"), 1);
  EXPECT_EQ(Replies().back(), "SIZE 6");
  EXPECT_EQ(Data(), "a\r\nb\r\n");

  peer_ = FramePeer(kData);
  MakeFile("dos", "x\r\ny\r\n");
  EXPECT_EQ(AGet("dos"), 1);
  EXPECT_EQ(Replies().back(), "SIZE 8");
  EXPECT_EQ(Data(), "x\r\r\ny\r\r\n");

  peer_ = FramePeer(kData);  // the euro exchange, in text mode only
  MakeFile("e", "\x80\xA4");
  EXPECT_EQ(AGet("e"), 1);
  EXPECT_EQ(Data(), "\xA4\x80");
  peer_ = FramePeer(kData);
  EXPECT_EQ(Get("e"), 1);
  EXPECT_EQ(Data(), "\x80\xA4");
}

TEST_F(SenderTest, TextRestartMapsWireOffsetsToLocalPositions) {
  MakeFile("t", "ab\ncd\n");  // wire: a b CR LF c d CR LF, 8 bytes
  // Offset 3 falls between the CR and the LF: the LF comes first.
  EXPECT_EQ(AGet("t", 3), 1);
  EXPECT_EQ(Replies(), (Strings{"REST 3", "TIME 852452445", "ATTR 32", "SIZE 8"}));
  EXPECT_EQ(Data(), "\ncd\r\n");

  peer_ = FramePeer(kData);
  EXPECT_EQ(AGet("t", 4), 1);  // just after the LF
  EXPECT_EQ(Data(), "cd\r\n");

  for (int32_t offset : {8, 9, 100000}) {  // at or beyond the end: nothing is sent
    peer_ = FramePeer(kData);
    EXPECT_EQ(AGet("t", offset), 1);
    EXPECT_EQ(Replies().back(), "SIZE 8");
    EXPECT_EQ(FrameLengths(), (std::vector<int32_t>{0})) << offset;
  }
}

TEST_F(SenderTest, CrLfSplitAcrossAFrameBoundary) {
  // 4095 bytes, then a LF: the CR ends frame 1, the LF opens frame 2.
  MakeFile("t", std::string(4095, 'z') + "\nq");
  EXPECT_EQ(AGet("t"), 1);
  EXPECT_EQ(Replies().back(), "SIZE 4098");
  EXPECT_EQ(FrameLengths(), (std::vector<int32_t>{4096, 2}));
  EXPECT_EQ(DataFrames()[0].payload.back(), '\r');
  EXPECT_EQ(DataFrames()[1].payload, (std::vector<uint8_t>{'\n', 'q'}));
}

TEST_F(SenderTest, VariantCDecodesUtf8AndCountsCharacters) {
  variantC = true;
  // e-acute, euro, a Cyrillic letter, LF: four characters, five wire bytes.
  MakeFile("u", "\xC3\xA9\xE2\x82\xAC\xD0\x96\n");
  EXPECT_EQ(AGet("u"), 1);
  EXPECT_EQ(Replies().back(), "SIZE 5");
  EXPECT_EQ(Data(), "\xE9\x80~\r\n");
  // Offset 2 ends after the euro sign (local byte 5): the rest follows.
  peer_ = FramePeer(kData);
  EXPECT_EQ(AGet("u", 2), 1);
  EXPECT_EQ(Data(), "~\r\n");
}

TEST_F(SenderTest, VariantCKeepsTheLineFeedAfterAStrayLatin1Byte) {
  variantC = true;
  // A Latin-1 e-acute is no UTF-8: it becomes '~', and the line feed behind
  // it must still break the line.
  MakeFile("l", "caf\xE9\nx\xE2\x82\n");
  EXPECT_EQ(AGet("l"), 1);
  EXPECT_EQ(Replies().back(), "SIZE 10");
  EXPECT_EQ(Data(), "caf~\r\nx~\r\n");
}

TEST_F(SenderTest, AttributesFollowTheModeAndThePathText) {
  MakeFile("ro", "", 0444);
  MakeFile("exe", "", 0755);
  EXPECT_EQ(Get("ro"), 1);
  EXPECT_EQ(Replies()[1], "ATTR 33");
  peer_ = FramePeer(kData);
  EXPECT_EQ(Get("exe"), 1);
  EXPECT_EQ(Replies()[1], "ATTR 0");

  // The hidden bit comes from the path text, not from the file's name: a
  // full path to .profile has none, a path text that begins with "." has.
  MakeFile(".profile", "");
  peer_ = FramePeer(kData);
  EXPECT_EQ(Get(".profile"), 1);
  EXPECT_EQ(Replies()[1], "ATTR 32");
  peer_ = FramePeer(kData);
  const std::string dotted = "." + Path(".profile");  // maps to "/." + path
  EXPECT_EQ(ServerUploadFile(dotted.c_str(), 0, 0), 1);
  EXPECT_EQ(Replies()[1], "ATTR 34");
}

TEST_F(SenderTest, KeepAlivesOnlyWhileCountingForATextRestart) {
  MakeFile("t", std::string(4 * 32768, 'w'));
  SteppingClock slow(port_, 600000);
  platform = &slow;
  // The clock is read for the mark and after every 32768 bytes: at 0.6 s,
  // 1.2 s, 1.8 s, 2.4 s and 3.0 s; a whole second passes three times.
  EXPECT_EQ(AGet("t", 1), 1);
  EXPECT_EQ(Replies(), (Strings{"REST 1", "TIME 852452445", "ATTR 32", "WAIT", "WAIT", "WAIT",
                                "SIZE 131072"}));
  peer_ = FramePeer(kData);
  EXPECT_EQ(AGet("t"), 1);  // from the start: none
  EXPECT_EQ(Replies().size(), 3u);
  peer_ = FramePeer(kData);
  EXPECT_EQ(Get("t", 1), 1);  // binary: none
  EXPECT_EQ(Replies().size(), 4u);
}

TEST_F(SenderTest, WhatCannotBeSentGetsFileError) {
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  for (const char* name : {"missing", "sub"}) {
    peer_ = FramePeer(kData);
    EXPECT_EQ(Get(name), 1) << name;
    EXPECT_EQ(Replies(), (Strings{"FILE ERROR 2"})) << name;
    EXPECT_TRUE(DataFrames().empty());
  }
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);  // would wait for a writer
  peer_ = FramePeer(kData);
  EXPECT_EQ(Get("fifo"), 1);
  EXPECT_EQ(Replies(), (Strings{"FILE ERROR 2"}));
}

TEST_F(SenderTest, SizeBeyondThirtyTwoBitsIsRefused) {
  MakeFile("big", "");
  if (truncate(Path("big").c_str(), 4294967296LL) != 0) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(Get("big"), 1);
  EXPECT_EQ(Replies(), (Strings{"FILE ERROR 2"}));
  peer_ = FramePeer(kData);
  EXPECT_EQ(AGet("big"), 1);
  EXPECT_EQ(Replies(), (Strings{"FILE ERROR 2"}));
}

TEST_F(SenderTest, ProgressMarkBeforeEveryTwentyFifthFrame) {
  MakeFile("f", std::string(50 * 4096, 'p'));
  std::vector<size_t> marksSeen;  // "~" on the console when each frame arrived
  peer_.OnFrame([&](const FramePeer::Frame& f) {
    if (f.block > 0) marksSeen.push_back(Console().size());
  });
  EXPECT_EQ(Get("f"), 1);
  ASSERT_EQ(marksSeen.size(), 51u);
  EXPECT_EQ(marksSeen[23], 0u);  // frame 24
  EXPECT_EQ(marksSeen[24], 1u);  // frame 25
  EXPECT_EQ(marksSeen[48], 1u);  // frame 49
  EXPECT_EQ(marksSeen[49], 2u);  // frame 50
  EXPECT_EQ(Console(), "~~");
}

TEST_F(SenderTest, FailuresStopTheTransfer) {
  MakeFile("f", std::string(3 * 4096, 'k'));
  keyflag = 1;  // Ctrl/C: noticed after the first frame
  EXPECT_EQ(Get("f"), 0);
  EXPECT_EQ(FrameBlocks(), (std::vector<int32_t>{1}));
  EXPECT_EQ(blocktransfer, 0);
  EXPECT_EQ(fi, nullptr);

  keyflag = 0;
  peer_ = FramePeer(kData);
  peer_.Verdict([](const FramePeer::Frame& f) { return f.block == 2 ? kCodeEnded : kCodeGoOn; });
  EXPECT_EQ(Get("f"), 0);
  EXPECT_EQ(FrameBlocks(), (std::vector<int32_t>{1, 2}));

  peer_ = FramePeer(kData);
  peer_.Verdict([](const FramePeer::Frame& f) {
    return f.payload == std::vector<uint8_t>{'A', 'T', 'T', 'R', ' ', '3', '2'} ? kCodeEnded
                                                                                : kCodeGoOn;
  });
  EXPECT_EQ(Get("f"), 0);  // no SIZE after an undelivered reply, no frames
  EXPECT_EQ(Replies(), (Strings{"TIME 852452445", "ATTR 32"}));
  EXPECT_TRUE(DataFrames().empty());

  blocktransfer = 1;
  peer_ = FramePeer(kData);
  EXPECT_EQ(Get("f"), 0);
  EXPECT_TRUE(peer_.frames().empty());
  blocktransfer = 0;
}

class DownloadSessionTest : public ServerSessionTest {};

TEST_F(DownloadSessionTest, RestartedGetThroughTheCommandLoop) {
  ASSERT_TRUE(dir_.Write("f", "0123456789"));
  ASSERT_TRUE(SetTime(dir_.Local("f")));
  EXPECT_EQ(Run({"REST 4", "GET " + dir_.Client("f")}),
            (Replies{"REST 4", "TIME 852452445", "ATTR 32", "SIZE 10"}));
  ASSERT_EQ(Last().DataFrames().size(), 1u);
  EXPECT_EQ(Last().DataFrames()[0].block, 1);
  const std::vector<uint8_t> rest = {'4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Last().DataFrames()[0].payload, rest);
  EXPECT_TRUE(Logged("OK\n"));

  // The offset is used up: the next GET sends the whole file.
  EXPECT_EQ(Run({"GET " + dir_.Client("missing")}), Replies{"FILE ERROR 2"});
}

}  // namespace
}  // namespace lpx
