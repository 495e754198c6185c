#include "convert/fattime.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"

namespace lpx {
namespace {

// Packs FAT fields by hand: the seconds field is given as it is stored.
uint32_t Word(int year, int month, int day, int hour, int minute, int secondsField) {
  return static_cast<uint32_t>(secondsField) | static_cast<uint32_t>(minute) << 5 |
         static_cast<uint32_t>(hour) << 11 | static_cast<uint32_t>(day) << 16 |
         static_cast<uint32_t>(month) << 21 | static_cast<uint32_t>((year - 1980) & 0x7F) << 25;
}

time_t Utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return timegm(&t);
}

// Runs each test under a time zone of its choice and puts back the zone and
// the start time afterwards.
class FatTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) savedTz_ = tz;
    savedStart_ = time_a;
    ResetFatTimeState();
  }
  void TearDown() override {
    if (hadTz_) {
      setenv("TZ", savedTz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    time_a = savedStart_;
  }
  void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  // Local time in the zone in use: `offsetHours` east of UTC.
  time_t Local(int offsetHours, int year, int month, int day, int hour, int minute, int second) {
    return Utc(year, month, day, hour, minute, second) - offsetHours * 3600;
  }
  void StartAt(time_t t) { time_a.time = t; }

  bool hadTz_ = false;
  std::string savedTz_;
  TimeB savedStart_;
};

// The zone-independent cases, run in UTC and in Berlin (winter +1, summer +2).
struct Zone {
  const char* name;
  int winter;
  int summer;
};
const Zone kZones[] = {{"UTC", 0, 0}, {"Europe/Berlin", 1, 2}};

TEST_F(FatTimeTest, WorkedExample) {
  for (const Zone& z : kZones) {
    SCOPED_TRACE(z.name);
    UseZone(z.name);
    StartAt(Utc(2026, 3, 10, 12, 0, 0));
    uint32_t word = FATtime(Local(z.summer, 2005, 6, 15, 12, 34, 56));
    EXPECT_EQ(word & 0x1F, 29u);
    EXPECT_EQ((word >> 5) & 0x3F, 34u);
    EXPECT_EQ((word >> 11) & 0x1F, 12u);
    EXPECT_EQ((word >> 16) & 0x1F, 15u);
    EXPECT_EQ((word >> 21) & 0x0F, 6u);
    EXPECT_EQ(word >> 25, 25u);
    EXPECT_EQ(fat_time, word);
    EXPECT_EQ(UXtime(word), Local(z.summer, 2005, 6, 15, 12, 34, 55));
    EXPECT_EQ(ux_time.tm_sec, 55);
  }
}

TEST_F(FatTimeTest, YearsBefore1980Wrap) {
  for (const Zone& z : kZones) {
    SCOPED_TRACE(z.name);
    UseZone(z.name);
    StartAt(Utc(2026, 3, 10, 12, 0, 0));
    uint32_t word = FATtime(Local(z.winter, 1970, 1, 1, 0, 0, 0));
    EXPECT_EQ(word, Word(2098, 1, 1, 0, 0, 0));
    EXPECT_EQ(word >> 25, 118u);
    EXPECT_LT(static_cast<int32_t>(word), 0);
    EXPECT_EQ(UXtime(word), Local(z.winter, 1970, 1, 1, 0, 0, 0));
  }
}

TEST_F(FatTimeTest, YearWindowEndsAboutADayAfterTheStart) {
  for (const Zone& z : kZones) {
    SCOPED_TRACE(z.name);
    UseZone(z.name);
    StartAt(Local(z.winter, 2026, 3, 10, 12, 0, 0));
    EXPECT_EQ(UXtime(Word(2030, 1, 1, 0, 0, 0)), Local(z.winter, 1902, 1, 1, 0, 0, 0));
    EXPECT_EQ(UXtime(Word(2026, 3, 10, 13, 0, 0)), Local(z.winter, 2026, 3, 10, 13, 0, 0));
    // Start + 100000 s is 2026-03-11 15:46:40 (seconds field 21); 15:46:42
    // (field 22) lies beyond and goes back 128 years.
    EXPECT_EQ(UXtime(Word(2026, 3, 11, 15, 46, 21)), Local(z.winter, 2026, 3, 11, 15, 46, 40));
    EXPECT_EQ(UXtime(Word(2026, 3, 11, 15, 46, 22)), Local(z.winter, 1898, 3, 11, 15, 46, 42));
    EXPECT_EQ(UXtime(Word(1980, 1, 1, 0, 0, 0)), Local(z.winter, 1980, 1, 1, 0, 0, 0));
    EXPECT_EQ(UXtime(Word(2027, 1, 1, 0, 0, 0)), Local(z.winter, 1899, 1, 1, 0, 0, 0));
  }
}

TEST_F(FatTimeTest, SecondsFields) {
  UseZone("UTC");
  StartAt(Utc(2026, 3, 10, 12, 0, 0));
  const int toField[][2] = {{0, 0}, {1, 0}, {2, 1}, {30, 16}, {58, 30}, {59, 31}};
  for (const auto& [seconds, field] : toField) {
    EXPECT_EQ(FATtime(Utc(2020, 5, 5, 5, 5, seconds)) & 0x1F, static_cast<uint32_t>(field))
        << seconds;
  }
  const int fromField[][2] = {{1, 2}, {15, 29}, {16, 30}, {30, 57}, {31, 59}};
  for (const auto& [field, seconds] : fromField) {
    EXPECT_EQ(UXtime(Word(2020, 5, 5, 5, 5, field)), Utc(2020, 5, 5, 5, 5, seconds)) << field;
  }
  for (int field = 0; field < 32; ++field) {
    EXPECT_EQ(FATtime(UXtime(Word(2020, 5, 5, 5, 5, field))), Word(2020, 5, 5, 5, 5, field));
  }
}

TEST_F(FatTimeTest, OutOfRangeFieldsCarryOver) {
  for (const Zone& z : kZones) {
    SCOPED_TRACE(z.name);
    UseZone(z.name);
    StartAt(Utc(2026, 3, 10, 12, 0, 0));
    EXPECT_EQ(UXtime(Word(2005, 0, 15, 12, 0, 0)), Local(z.winter, 2004, 12, 15, 12, 0, 0));
    EXPECT_EQ(UXtime(Word(2005, 3, 0, 12, 0, 0)), Local(z.winter, 2005, 2, 28, 12, 0, 0));
    EXPECT_EQ(UXtime(Word(2005, 13, 1, 12, 0, 0)), Local(z.winter, 2006, 1, 1, 12, 0, 0));
    EXPECT_EQ(UXtime(Word(2005, 1, 10, 12, 60, 0)), Local(z.winter, 2005, 1, 10, 13, 0, 0));
    EXPECT_EQ(UXtime(Word(2005, 1, 10, 24, 0, 0)), Local(z.winter, 2005, 1, 11, 0, 0, 0));
  }
}

TEST_F(FatTimeTest, SeasonOfThePreviousConversionDoesNotLeak) {
  UseZone("Europe/Berlin");
  StartAt(Utc(2026, 12, 31, 0, 0, 0));
  EXPECT_EQ(UXtime(Word(2026, 7, 1, 12, 0, 0)), Utc(2026, 7, 1, 10, 0, 0));
  EXPECT_EQ(UXtime(Word(2026, 1, 15, 12, 0, 0)), Utc(2026, 1, 15, 11, 0, 0));
  EXPECT_EQ(UXtime(Word(2026, 7, 1, 12, 0, 0)), Utc(2026, 7, 1, 10, 0, 0));
  FATtime(Utc(2026, 7, 1, 10, 0, 0));  // leaves a summer record behind
  EXPECT_EQ(UXtime(Word(2026, 1, 15, 12, 0, 0)), Utc(2026, 1, 15, 11, 0, 0));
}

TEST_F(FatTimeTest, EveryHourOfTheYearRoundTrips) {
  UseZone("Europe/Berlin");
  StartAt(Utc(2026, 12, 31, 0, 0, 0));
  for (time_t day = Utc(2026, 1, 1, 0, 0, 0); day < Utc(2027, 1, 1, 0, 0, 0); day += 86400) {
    struct tm d;
    gmtime_r(&day, &d);
    for (int hour = 0; hour < 24; ++hour) {
      bool springGap = d.tm_mon == 2 && d.tm_mday == 29 && hour == 2;
      if (springGap) continue;
      uint32_t word = Word(2026, d.tm_mon + 1, d.tm_mday, hour, 30, 15);
      ASSERT_EQ(FATtime(UXtime(word)), word) << d.tm_mon + 1 << "-" << d.tm_mday << " " << hour;
    }
  }
}

TEST_F(FatTimeTest, ChangesOfSeasonInBerlin) {
  UseZone("Europe/Berlin");
  StartAt(Utc(2026, 12, 31, 0, 0, 0));
  // Spring, 2026-03-29: 02:00 standard time becomes 03:00 summer time.
  EXPECT_EQ(UXtime(Word(2026, 3, 29, 1, 59, 30)), Utc(2026, 3, 29, 0, 59, 57));
  EXPECT_EQ(UXtime(Word(2026, 3, 29, 3, 0, 0)), Utc(2026, 3, 29, 1, 0, 0));
  // 02:30 does not exist; it is read as standard time, which the clocks
  // show as 03:30 summer time, and so comes back an hour later.
  EXPECT_EQ(UXtime(Word(2026, 3, 29, 2, 30, 0)), Utc(2026, 3, 29, 1, 30, 0));
  EXPECT_EQ(FATtime(Utc(2026, 3, 29, 1, 30, 0)), Word(2026, 3, 29, 3, 30, 0));
  // Autumn, 2026-10-25: 03:00 summer time becomes 02:00 standard time;
  // 02:30 happens twice and is read as the first.
  EXPECT_EQ(UXtime(Word(2026, 10, 25, 1, 30, 0)), Utc(2026, 10, 24, 23, 30, 0));
  EXPECT_EQ(UXtime(Word(2026, 10, 25, 2, 30, 0)), Utc(2026, 10, 25, 0, 30, 0));
  EXPECT_EQ(UXtime(Word(2026, 10, 25, 3, 30, 0)), Utc(2026, 10, 25, 2, 30, 0));
  EXPECT_EQ(FATtime(Utc(2026, 10, 25, 1, 30, 0)), Word(2026, 10, 25, 2, 30, 0));
}

TEST(AttributeByteTest, FromModeAndName) {
  EXPECT_EQ(AttributeByte(S_IFREG | 0644, "a"), 32u);
  EXPECT_EQ(AttributeByte(S_IFREG | 0755, "a"), 0u);
  EXPECT_EQ(AttributeByte(S_IFREG | 0444, "a"), 33u);
  EXPECT_EQ(AttributeByte(S_IFDIR | 0755, "d"), 16u);
  EXPECT_EQ(AttributeByte(S_IFDIR | 0555, "d"), 17u);
  EXPECT_EQ(AttributeByte(S_IFSOCK | 0755, "s"), 16u);
  EXPECT_EQ(AttributeByte(S_IFBLK | 0755, "b"), 0u);
  EXPECT_EQ(AttributeByte(S_IFREG | 0644, ".profile"), 34u);
  EXPECT_EQ(AttributeByte(S_IFREG | 0644, "/home/u/.profile"), 32u);
  EXPECT_EQ(AttributeByte(S_IFDIR | 0755, nullptr), 16u);
}

}  // namespace
}  // namespace lpx
