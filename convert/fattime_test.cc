#include "convert/fattime.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "platform/clock.h"

namespace lpx {
namespace {

// Packs FAT fields by hand: the seconds field is given as it is stored.
uint32_t Word(int year, int month, int day, int hour, int minute, int secondsField) {
  return static_cast<uint32_t>(secondsField | minute << 5 | hour << 11 | day << 16 | month << 21 |
                               ((year - 1980) & 0x7F) << 25);
}

// "YYYY-MM-DD hh:mm:ss" read as UTC, without the zone rules under test.
time_t Utc(const char* text) {
  struct tm fields = {};
  strptime(text, "%Y-%m-%d %H:%M:%S", &fields);
  return timegm(&fields);
}

// Runs in Berlin (UTC+1, UTC+2 in summer), started at 2026-12-31 00:00 UTC,
// so that FAT words are read within the 128 years that end 100000 s later,
// at 2027-01-01 03:46:40 UTC. Puts the zone and the start back afterwards.
class FatTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    time_a.time = Utc("2026-12-31 00:00:00");
  }
  void TearDown() override {
    hadTz_ ? setenv("TZ", savedTz_.c_str(), 1) : unsetenv("TZ");
    tzset();
    time_a = savedStart_;
  }

  const bool hadTz_ = getenv("TZ") != nullptr;
  const std::string savedTz_ = hadTz_ ? getenv("TZ") : "";
  const TimeB savedStart_ = time_a;
};

TEST_F(FatTimeTest, WordsAgainstTimes) {
  // The word; the time it is read as; a time it is written from.
  const std::tuple<uint32_t, const char*, const char*> kCases[] = {
      // The worked example, 12:34:56 summer time: seconds field 29, read as 55 s.
      {Word(2005, 6, 15, 12, 34, 29), "2005-06-15 10:34:55", "2005-06-15 10:34:56"},
      {Word(2098, 1, 1, 0, 0, 0), "1969-12-31 23:00:00", "1969-12-31 23:00:00"},  // wraps
      {Word(2005, 0, 15, 12, 0, 0), "2004-12-15 11:00:00", nullptr},  // month 0 carries over
      // The end of the year window; 2 s later the word is 128 years older.
      {Word(2027, 1, 1, 4, 46, 21), "2027-01-01 03:46:40", "2027-01-01 03:46:40"},
      {Word(2027, 1, 1, 4, 46, 22), "1899-01-01 03:46:42", nullptr},
      // 02:30 on 2026-03-29 does not exist (02:00 standard time becomes 03:00
      // summer time); it is read as standard time, which the clocks show as
      // 03:30 summer time.
      {Word(2026, 3, 29, 2, 30, 0), "2026-03-29 01:30:00", nullptr},
      {Word(2026, 3, 29, 3, 30, 0), "2026-03-29 01:30:00", "2026-03-29 01:30:00"},
      // 02:30 on 2026-10-25 happens twice (03:00 summer time becomes 02:00
      // standard time) and is read as the first.
      {Word(2026, 10, 25, 2, 30, 0), "2026-10-25 00:30:00", "2026-10-25 01:30:00"},
  };
  for (const auto& [word, readAs, writtenFrom] : kCases) {
    EXPECT_EQ(UXtime(word), Utc(readAs)) << readAs;
    if (writtenFrom == nullptr) continue;
    EXPECT_EQ(FATtime(Utc(writtenFrom)), word) << writtenFrom;
  }
}

// Every hour of 2026 and every seconds field come back as the same word, but
// for the hour skipped in spring. A daylight-saving flag carried over from
// the conversion before would put the hours after each change of season off.
TEST_F(FatTimeTest, EveryHourOfTheYearRoundTrips) {
  for (time_t t = Utc("2026-01-01 00:00:00"); t < Utc("2027-01-01 00:00:00"); t += 3600) {
    struct tm d;  // the hour's fields, taken as Berlin's wall clock
    gmtime_r(&t, &d);
    if (d.tm_mon == 2 && d.tm_mday == 29 && d.tm_hour == 2) continue;
    const uint32_t word =
        Word(2026, d.tm_mon + 1, d.tm_mday, d.tm_hour, 30, (d.tm_yday + d.tm_hour) % 32);
    ASSERT_EQ(FATtime(UXtime(word)), word) << d.tm_mon + 1 << "-" << d.tm_mday << " " << d.tm_hour;
  }
}

// The usual modes are in the listing's tests: a socket passes the directory
// test of the mode, a block device does not.
TEST(AttributeByteTest, SocketsAndDevices) {
  EXPECT_EQ(AttributeByte(S_IFSOCK | 0555, "s"), 17u);
  EXPECT_EQ(AttributeByte(S_IFBLK | 0755, "b"), 0u);
}

}  // namespace
}  // namespace lpx
