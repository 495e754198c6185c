#include "client/listing_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/fake_port.h"
#include "testing/reset.h"

namespace lpx {
namespace {

class ListingTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform;
    platform = &port_;
    ResetAllState();
  }
  void TearDown() override { platform = saved_; }

  static ListingEntry Parse(const char* record) {
    ListingEntry entry;
    EXPECT_TRUE(ParseListingRecord(record, strlen(record), &entry)) << record;
    return entry;
  }
  static bool Fails(const char* record) {
    ListingEntry entry;
    return !ParseListingRecord(record, strlen(record), &entry);
  }

  FakePort port_;
  Platform* saved_ = nullptr;
};

// 2005-06-15 12:34:56 local: seconds field 29, minute 34, hour 12, day 15,
// month 6, year field 25; it reads back as 12:34:55.
constexpr uint32_t kJune2005 = 29u | 34u << 5 | 12u << 11 | 15u << 16 | 6u << 21 | 25u << 25;

TEST_F(ListingTableTest, ParsesTheFourFields) {
  ListingEntry e = Parse("report.txt\t1234\t-1\t33");
  EXPECT_EQ(e.name, "report.txt");
  EXPECT_EQ(e.size, 1234u);
  EXPECT_FALSE(e.hasTime);
  EXPECT_EQ(e.attributes, 33u);

  // A word with bit 31 set comes signed.
  e = Parse("old\t0\t-2147483648\t16");
  EXPECT_TRUE(e.hasTime);
  EXPECT_EQ(e.fatTime, 0x80000000u);
}

TEST_F(ListingTableTest, TabsInANameStayInTheName) {
  ListingEntry e = Parse("a\tb\t5\t0\t32");
  EXPECT_EQ(e.name, "a\tb");
  EXPECT_EQ(e.size, 5u);
}

TEST_F(ListingTableTest, RefusesMalformedRecords) {
  EXPECT_TRUE(Fails("name\t1\t2"));       // three fields
  EXPECT_TRUE(Fails("name\t1x\t2\t3"));   // not a number
  EXPECT_TRUE(Fails("name\t-1\t2\t3"));   // negative size
  EXPECT_TRUE(Fails("name\t1\t2\t256"));  // not an attribute byte
  EXPECT_TRUE(Fails("name\t99999999999\t2\t3"));
}

TEST_F(ListingTableTest, SplitsAListingAtCrLf) {
  std::vector<ListingEntry> entries;
  ASSERT_TRUE(ParseListing(".\t0\t-1\t16\r\nb\t7\t0\t32\r\n", &entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, "b");
  entries.clear();
  EXPECT_TRUE(ParseListing("", &entries));
  EXPECT_FALSE(ParseListing("b\t7\t0\t32", &entries));  // no CR LF at the end
}

TEST_F(ListingTableTest, AttributeLetters) {
  EXPECT_EQ(AttributeLetters(16), "d---");
  EXPECT_EQ(AttributeLetters(1 | 32), "-r-a");
  EXPECT_EQ(AttributeLetters(16 | 2), "d-h-");
  EXPECT_EQ(AttributeLetters(0), "----");
}

TEST_F(ListingTableTest, FormatsTheFatTimeAsLocalTime) {
  EXPECT_EQ(FormatFatTime(kJune2005), "2005-06-15 12:34:55");
}

TEST_F(ListingTableTest, TableHasTheDotFirstThenNamesAndASummary) {
  std::vector<ListingEntry> entries;
  const std::string listing = "zeta\t10\t" + std::to_string(kJune2005) +
                              "\t32\r\n.\t0\t-1\t16\r\nalpha\t0\t" + std::to_string(kJune2005) +
                              "\t16\r\n";
  ASSERT_TRUE(ParseListing(listing, &entries));
  EXPECT_EQ(FormatListingTable(entries),
            "attr         size  date       time      name\n"
            "d---            0                       .\n"
            "d---            0  2005-06-15 12:34:55  alpha\n"
            "---a           10  2005-06-15 12:34:55  zeta\n"
            "1 directory, 1 file, 10 bytes\n");
}

}  // namespace
}  // namespace lpx
