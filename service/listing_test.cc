#include "service/listing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "convert/variant.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "testing/server_session.h"

namespace lpx {

using Records = std::multiset<std::string>;

// The record of an entry that Given() made.
static std::string Record(std::string name, const char* size = "0", const char* attr = "32") {
  return name + "\t" + size + "\t852452445\t" + attr + "\r\n";
}

static int opened = 0;  // directories opened by an openDir that fails every second time

class ListingTest : public ServerSessionTest {
 protected:
  // Lists a directory; checks that SIZE announced what the frames carried,
  // and returns the records (a directory has an order of its own).
  Records List(const std::string& dir = "") {
    const Replies sent = Run({"LIST @" + dir});
    std::string data;
    for (size_t i = 1; i < sent.size(); ++i) data += sent[i].substr(1);
    EXPECT_EQ(sent[0], "SIZE " + std::to_string(data.size()));
    Records records;
    for (size_t at = 0, end; (end = data.find('\n', at)) != std::string::npos; at = end + 1)
      records.insert(data.substr(at, end + 1 - at));
    return records;
  }
};

TEST_F(ListingTest, EveryEntryHasItsRecordInBothVariants) {
  Given({"ro=1234567", ".hidden", "c/", "a\x80", "line\r\nbreak", "big"});
  ASSERT_EQ(chmod(dir_.Local("ro").c_str(), 0444), 0);
  ASSERT_EQ(symlink("nowhere", dir_.Local(".dangling").c_str()), 0);
  ASSERT_EQ(truncate(dir_.Local("big").c_str(), 4294967296LL + 5), 0);
  Given({"big"});
  EXPECT_EQ(List(),
            (Records{".\t0\t-1\t16\r\n", Record("ro", "7", "33"), Record(".hidden", "0", "34"),
                     Record("c", "0", "16"), Record("a\xA4"), Record("line~~break"),
                     Record("big", "4294967295"), ".dangling\t0\t-1\t35\r\n"}));
  // In UTF-8 names are decoded, and the directory is a hidden one, with a time.
  variantC = true;
  Given({"c/caf\xC3\xA9", "c/\xE2\x82\xAC", "c/\xD0\x96x", "c/."});
  EXPECT_EQ(List("c"),
            (Records{Record(".", "0", "18"), Record("caf\xE9"), Record("\x80"), Record("~x")}));
}

TEST_F(ListingTest, FramesCarryWholeRecordsUpToTheFirstPast3896Bytes) {
  // ".": 11 bytes; 33 records of 117 (names of 100) and one of 28: 3900, past
  // 3896 only with the last: one full frame (with its mark), no empty one.
  for (int i = 0; i < 33; ++i) Given({std::to_string(100 + i) + std::string(97, 'n')});
  Given({"abcdefghijk"});
  EXPECT_EQ(Run({"LIST @"}).size(), 2u);
  // Records of 258 (names of 241): 15 (3881 with ".") are not past 3896, but
  // a 16th would pass 4096, so the frame goes out before it.
  Given({"long/"});
  for (int i = 0; i < 40; ++i) Given({"long/" + std::to_string(100 + i) + std::string(238, 'L')});
  const Replies sent = Run({"LIST @long"});
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], "SIZE 10331");
  for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(sent[i].size() <= 4097 && sent[i].back() == '\n');
  const std::string console = Console();
  EXPECT_EQ(std::count(console.begin(), console.end(), '~'), 3);  // none for a last frame
}

TEST_F(ListingTest, KeepAlivesWhileCountingNoneWhileSending) {
  Given({"a", "b", "c"});
  // The mark is read at 0.4 s, then after each of ".", "..", a, b and c:
  // 0.8, 1.2, 1.6, 2.0, 2.4 s. Two whole seconds pass.
  port_.SetClockStepUs(400000);
  EXPECT_THAT(Run({"LIST @"}), ::testing::ElementsAre("WAIT", "WAIT", "SIZE 65", ::testing::_));
  // A keep-alive that does not get through ends the count; SIZE follows.
  Client().AnswerReply("WAIT", 14);
  EXPECT_EQ(Run({"LIST @"}).size(), 3u);  // WAIT, SIZE, the frame
}

// A frame the client refuses ends the listing; a directory that cannot be
// read again after SIZE, or Ctrl/C, ends it with the abort frame.
TEST_F(ListingTest, AListingThatCannotGoOnIsEnded) {
  for (int i = 0; i < 40; ++i) Given({std::to_string(i) + std::string(100, 'c')});
  Client().Verdict([](const FramePeer::Frame& f) {
    return f.block == 1 ? kCodeEnded : FramePeer::DefaultVerdict(f);
  });
  EXPECT_EQ(Run({"LIST @"}).size(), 2u);  // SIZE, and frame 1 that the client refused
  EXPECT_THAT(Console(), ::testing::HasSubstr("\nLIST FAILED"));
  disk.openDir = [](const char* path) { return ++opened % 2 == 0 ? nullptr : opendir(path); };
  EXPECT_EQ(Run({"LIST @"}).back(), "#!");
  ResetDiskOps();
  ClientModel& client = Client();
  keyflag = 1;  // the abort frame goes in place of the first full frame
  ServerListDirectory(Expand("@").c_str());
  EXPECT_EQ(client.frames().size() == 2 ? client.frames()[1].block : 0, -1);  // after SIZE
}

TEST(StoreStatusTest, RecordsThatDoNotFitAreNeverCut) {
  char name[] = "plain", record[kRecordSize], small[8], none[1] = {'Z'};
  // The joined path does not fit the 750 bytes of the working buffer; cut,
  // it would name a directory ("/tmp//////...").
  StoreStatus(record, sizeof record, ("/tmp" + std::string(746, '/')).c_str(), name);
  EXPECT_STREQ(record, "plain\t0\t-1\t33\r\n");
  StoreStatus(small, sizeof small, "/", name);
  EXPECT_STREQ(small, "");
  StoreStatus(none, 0, "/", name);
  EXPECT_EQ(none[0], 'Z');
}

}  // namespace lpx
