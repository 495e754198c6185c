#include "convert/fattime.h"

#include "platform/clock.h"

namespace lpx {

struct tm ux_time;
uint32_t fat_time = 0;

namespace {

// A FAT word read as a time more than this far after the start time is
// taken to lie 128 years earlier, so the 7-bit year field covers the 128
// years that end about a day after the start.
constexpr int64_t kYearWindowLead = 100000;
constexpr int kYearFieldSpan = 128;
constexpr int kFatYearBase = 80;  // 1980 in years since 1900

// Fills the date and time members of ux_time from `word`, `yearShift` years
// moved. Daylight-saving time is left for mktime to settle from the date: the
// flag of an earlier conversion would put a winter time an hour off after a
// summer one and the reverse.
void FillUxTime(uint32_t word, int yearShift) {
  uint32_t secondsField = word & 0x1F;
  ux_time.tm_sec = static_cast<int>((secondsField * 59 + 15) / 31);
  ux_time.tm_min = static_cast<int>((word >> 5) & 0x3F);
  ux_time.tm_hour = static_cast<int>((word >> 11) & 0x1F);
  ux_time.tm_mday = static_cast<int>((word >> 16) & 0x1F);
  ux_time.tm_mon = static_cast<int>((word >> 21) & 0x0F) - 1;
  ux_time.tm_year = static_cast<int>(word >> 25) + kFatYearBase + yearShift;
  ux_time.tm_isdst = -1;
}

}  // namespace

void ResetFatTimeState() {
  ux_time = {};
  fat_time = 0;
}

uint32_t FATtime(time_t t) {
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) {
    // Only a time whose year does not fit an int gets here; it has no
    // FAT form, and the zero word at least stays a valid number.
    fat_time = 0;
    return fat_time;
  }
  ux_time = local;
  uint32_t secondsField = static_cast<uint32_t>(local.tm_sec * 31 + 27) / 59;
  uint32_t yearField = static_cast<uint32_t>(local.tm_year - kFatYearBase) & 0x7F;
  fat_time = secondsField | static_cast<uint32_t>(local.tm_min) << 5 |
             static_cast<uint32_t>(local.tm_hour) << 11 |
             static_cast<uint32_t>(local.tm_mday) << 16 |
             static_cast<uint32_t>(local.tm_mon + 1) << 21 | yearField << 25;
  return fat_time;
}

time_t UXtime(uint32_t word) {
  fat_time = word;
  FillUxTime(word, 0);
  time_t result = mktime(&ux_time);
  if (result > time_a.time + kYearWindowLead) {
    FillUxTime(word, -kYearFieldSpan);
    result = mktime(&ux_time);
  }
  return result;
}

unsigned AttributeByte(mode_t mode, const char* name) {
  unsigned attributes = 0;
  if ((mode & 0x6000) == 0x4000) attributes |= kAttrDirectory;  // also true of sockets
  if ((mode & 0200) == 0) attributes |= kAttrReadOnly;
  if ((mode & 0100) == 0) attributes |= kAttrArchive;
  if (name != nullptr && name[0] == '.') attributes |= kAttrHidden;
  return attributes;
}

}  // namespace lpx
