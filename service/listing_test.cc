#include "service/listing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "convert/variant.h"
#include "link/port.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "testing/server_session.h"
#include "testing/stepping_clock.h"

namespace lpx {
namespace {

// The record of an entry that Given() made.
std::string Record(const std::string& name, const char* size = "0", const char* attr = "32",
                   const char* time = "852452445") {
  return name + "\t" + size + "\t" + time + "\t" + attr + "\r\n";
}

class ListingTest : public ServerSessionTest {
 protected:
  // Lists the test directory, checks that SIZE announced what the frames
  // carried, and returns the records (a directory has its own order).
  std::multiset<std::string> List() {
    const Replies sent = Run({"LIST @"});
    std::string data;
    for (size_t i = 1; i < sent.size(); ++i) data += sent[i].substr(1);
    EXPECT_EQ(sent[0], "SIZE " + std::to_string(data.size()));
    std::multiset<std::string> records;
    for (size_t at = 0, end; (end = data.find('\n', at)) != std::string::npos; at = end + 1)
      records.insert(data.substr(at, end + 1 - at));
    return records;
  }
  size_t Marks() {
    const std::string console = Console();
    return std::count(console.begin(), console.end(), '~');
  }
};

TEST_F(ListingTest, EveryEntryHasItsRecord) {
  Given({"rw=12345", "rwx=123456", "ro=1234567", ".hidden", "sub/", ".git/", "a\x80", "b\xA4",
         "tab\there", "line\r\nbreak", "big"});
  ASSERT_EQ(chmod(dir_.Local("rwx").c_str(), 0755) | chmod(dir_.Local("ro").c_str(), 0444), 0);
  ASSERT_EQ(symlink("nowhere", dir_.Local(".dangling").c_str()), 0);
  ASSERT_EQ(truncate(dir_.Local("big").c_str(), 4294967296LL + 5), 0);
  Given({"big"});
  EXPECT_EQ(List(),
            (std::multiset<std::string>{
                ".\t0\t-1\t16\r\n",  // the directory itself: no time, never hidden
                Record("rw", "5"), Record("rwx", "6", "0"), Record("ro", "7", "33"),
                Record(".hidden", "0", "34"), Record("sub", "0", "16"), Record(".git", "0", "18"),
                Record("a\xA4"), Record("b\x80"), Record("tab~here"), Record("line~~break"),
                Record("big", "4294967295"), Record(".dangling", "0", "35", "-1")}));
  EXPECT_EQ(Marks(), 0u);  // no mark for the last frame
}

TEST_F(ListingTest, VariantCDecodesNamesAndListsItselfAsAHiddenDirectory) {
  variantC = true;
  Given({"caf\xC3\xA9", "\xE2\x82\xAC", "\xD0\x96x", "."});
  EXPECT_EQ(List(), (std::multiset<std::string>{Record(".", "0", "18"), Record("caf\xE9"),
                                                Record("\x80"), Record("~x")}));
}

TEST_F(ListingTest, FramesCarryWholeRecordsUpToTheFirstPast3896Bytes) {
  // ".": 11 bytes; 33 records of 117 (names of 100) and one of 28: 3900, past
  // 3896 only with the last: one full frame, and no empty one after it.
  for (int i = 0; i < 33; ++i) Given({std::to_string(100 + i) + std::string(97, 'n')});
  Given({"abcdefghijk"});
  EXPECT_EQ(Run({"LIST @"}).size(), 2u);
  EXPECT_EQ(Marks(), 1u);
  // Records of 258 (names of 241): 15 (3881 with ".") are not past 3896, but
  // a 16th would pass 4096, so the frame goes out before it.
  Given({"long/"});
  for (int i = 0; i < 40; ++i) Given({"long/" + std::to_string(100 + i) + std::string(238, 'L')});
  const Replies sent = Run({"LIST @long"});
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], "SIZE 10331");
  for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(sent[i].size() <= 4097 && sent[i].back() == '\n');
}

TEST_F(ListingTest, KeepAlivesWhileCountingNoneWhileSending) {
  Given({"a", "b", "c"});
  // The mark is read at 0.4 s, then after each of ".", "..", a, b and c:
  // 0.8, 1.2, 1.6, 2.0, 2.4 s. Two whole seconds pass.
  SteppingClock slow(port_, 400000);
  platform = &slow;
  EXPECT_THAT(Run({"LIST @"}), ::testing::ElementsAre("WAIT", "WAIT", "SIZE 65", ::testing::_));
  // A keep-alive that does not get through ends the count; SIZE follows.
  Client().AnswerReply("WAIT", 14);
  EXPECT_THAT(Run({"LIST @"}),
              ::testing::ElementsAre("WAIT", ::testing::StartsWith("SIZE "), ::testing::_));
}

TEST_F(ListingTest, WhatCannotBeListedEndsTheListing) {
  Given({"f"});
  EXPECT_EQ(Run({"LIST @missing"}), Replies{"DIR ERROR 2"});
  // A directory that cannot be read again after SIZE: the abort frame.
  disk.openDir = [](const char* path) {
    static int calls = 0;
    return ++calls % 2 == 0 ? nullptr : opendir(path);
  };
  EXPECT_EQ(Run({"LIST @"}), (Replies{"SIZE 29", "#!"}));
  EXPECT_THAT(Console(), ::testing::HasSubstr("\nLIST FAILED"));
}

TEST_F(ListingTest, CtrlCOrARefusedFrameEndsTheListing) {
  for (int i = 0; i < 40; ++i) Given({std::to_string(i) + std::string(100, 'c')});
  Client().AnswerData(1, 13);
  EXPECT_EQ(Run({"LIST @"}).size(), 2u);  // SIZE and the refused frame
  EXPECT_THAT(Console(), ::testing::HasSubstr("\nLIST FAILED"));
  ClientModel& client = Client();
  keyflag = 1;  // the abort frame goes in place of the first full frame
  ServerListDirectory(Expand("@").c_str());
  ASSERT_EQ(client.DataFrames().size(), 1u);
  EXPECT_EQ(client.DataFrames()[0].block, -1);
}

// A record that would be wrong is never sent cut.
TEST(StoreStatusTest, RecordsThatDoNotFitAreNeverCut) {
  char name[] = "plain", record[kRecordSize], small[8], none[1] = {'Z'};
  // The joined path does not fit the 750 bytes of the working buffer.
  StoreStatus(record, sizeof record, ("/" + std::string(745, 'd')).c_str(), name);
  EXPECT_STREQ(record, "plain\t0\t-1\t33\r\n");
  StoreStatus(small, sizeof small, "/", name);
  EXPECT_STREQ(small, "");
  StoreStatus(none, 0, "/", name);
  EXPECT_EQ(none[0], 'Z');
}

}  // namespace
}  // namespace lpx
