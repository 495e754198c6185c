#include "client/listing_table.h"

#include <gtest/gtest.h>

#include "testing/reset.h"

namespace lpx {
namespace {

// The entry as "name|size|time|attributes" ("-" for no time), or "refused".
std::string Parsed(const std::string& record) {
  ListingEntry e;
  if (!ParseListingRecord(record.data(), record.size(), &e)) return "refused";
  const std::string time = e.hasTime ? std::to_string(e.fatTime) : "-";
  return e.name + "|" + std::to_string(e.size) + "|" + time + "|" + std::to_string(e.attributes);
}

// A time word with bit 31 set comes signed; a tab stays in the name.
TEST(ListingTableTest, ParsesTheFourFieldsFromTheRight) {
  const char* const kCases[][2] = {{"old\t1234\t-2147483648\t16", "old|1234|2147483648|16"},
                                   {"a\tb\t5\t0\t32", "a\tb|5|0|32"}};
  for (const auto& [record, parsed] : kCases) EXPECT_EQ(Parsed(record), parsed) << record;
  // Three fields, not a number, a negative size, no attribute byte, too large.
  for (const char* bad :
       {"n\t1\t2", "n\t1x\t2\t3", "n\t-1\t2\t3", "n\t1\t2\t256", "n\t99999999999\t2\t3"}) {
    EXPECT_EQ(Parsed(bad), "refused") << bad;
  }
}

// 2005-06-15 12:34:56 local: seconds field 29, minute 34, hour 12, day 15,
// month 6, year field 25; it reads back as 12:34:55. Control bytes in a
// name are shown escaped.
TEST(ListingTableTest, TableHasTheDotFirstThenNamesAndASummary) {
  ResetAllState();  // the start time decides the century of the FAT year
  const std::string t =
      "\t" + std::to_string(29u | 34u << 5 | 12u << 11 | 15u << 16 | 6u << 21 | 25u << 25) + "\t";
  std::vector<ListingEntry> entries;
  EXPECT_FALSE(ParseListing("zeta\t10\t0\t32", &entries));  // no CR LF at the end
  ASSERT_TRUE(ParseListing("zeta\t10" + t + "32\r\n.\t0\t-1\t16\r\nro\t5" + t +
                               "3\r\npl\x1B\x9B\t1" + t + "0\r\nalpha\t0" + t + "16\r\n",
                           &entries));
  EXPECT_EQ(FormatListingTable(entries),
            "attr         size  date       time      name\n"
            "d---            0                       .\n"
            "d---            0  2005-06-15 12:34:55  alpha\n"
            "----            1  2005-06-15 12:34:55  pl^[M-^[\n"  // no terminal control
            "-rh-            5  2005-06-15 12:34:55  ro\n"
            "---a           10  2005-06-15 12:34:55  zeta\n"
            "1 directory, 3 files, 16 bytes\n");
}

}  // namespace
}  // namespace lpx
