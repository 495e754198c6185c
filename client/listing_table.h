// The listing records of a LIST reply, parsed and shown as a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lpx {

struct ListingEntry {
  std::string name;      // client bytes, as the server sent it
  uint32_t size = 0;     // 0 for directories
  uint32_t fatTime = 0;  // FAT date/time word
  bool hasTime = true;   // false for the "-1" of the directory's own "." record
  unsigned attributes = 0;
};

// Parses one record without its CR LF: name, size, time and attributes
// separated by tabs. The three numbers are taken from the right, so a tab
// inside the name stays part of the name. False when the record is malformed.
bool ParseListingRecord(const char* record, size_t length, ListingEntry* entry);

// Splits a whole listing (records ended by CR LF) into entries. False when
// a record is malformed or the last one lacks its CR LF.
bool ParseListing(const std::string& listing, std::vector<ListingEntry>* entries);

// "d", "r", "h", "a" for the directory, read-only, hidden and archive bits,
// '-' where a bit is clear: "d---", "-r-a".
std::string AttributeLetters(unsigned attributes);

// The FAT word as local "YYYY-MM-DD HH:MM:SS" (the 7-bit year read within
// the 128 years that end a day after the program started).
std::string FormatFatTime(uint32_t word);

// The table: a header line, one line per entry ("." first, then by name),
// and a summary line. Names are shown in the local character set, control
// bytes escaped (ShownText).
std::string FormatListingTable(std::vector<ListingEntry> entries);

}  // namespace lpx
