// FAT date/time words and DOS attribute bytes against Unix times and modes.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>

namespace lpx {

extern struct tm ux_time;  // broken-down local time of the last conversion
extern uint32_t fat_time;  // FAT word of the last conversion

// Attribute bits.
constexpr unsigned kAttrReadOnly = 1;
constexpr unsigned kAttrHidden = 2;
constexpr unsigned kAttrDirectory = 16;
constexpr unsigned kAttrArchive = 32;

void ResetFatTimeState();

// Unix time -> FAT date/time word (local time; seconds spread over 0..31;
// year field = low 7 bits of years since 1980).
uint32_t FATtime(time_t t);

// FAT date/time word -> Unix time (local time), reading the 7-bit year
// within the 128 years that end 100000 s after the program's start time
// (`time_a`). Out-of-range fields carry over as mktime does (month 0 is
// December of the year before, day 0 the last day of the month before).
// Daylight-saving time is settled by mktime from the date (never taken over
// from an earlier conversion), so a word read back with FATtime is the same
// word all year except in the hour skipped in spring: such a time does not
// exist and is read as the clocks before the change would show it (02:30
// becomes 03:30 summer time, the same instant as 02:30 standard time). A time
// in the hour repeated in autumn is read as the first of its two instants
// (summer time).
time_t UXtime(uint32_t word);

// The attribute byte of a Unix mode: 16 when (mode & 0x6000) == 0x4000,
// 1 when owner-write is clear, 32 when owner-execute is clear, 2 when
// `name` (the name the caller decides on; may be nullptr) begins with '.'.
unsigned AttributeByte(mode_t mode, const char* name);

}  // namespace lpx
