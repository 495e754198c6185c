#include "client/listing_table.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/localtext.h"
#include "convert/fattime.h"

namespace lpx {

namespace {

// Parses a whole decimal field [begin, end) with an optional leading '-'.
bool ParseDecimal(const char* begin, const char* end, int64_t* value) {
  bool negative = false;
  if (begin < end && *begin == '-') {
    negative = true;
    ++begin;
  }
  if (begin == end || end - begin > 10) return false;
  int64_t v = 0;
  for (const char* p = begin; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
  }
  *value = negative ? -v : v;
  return true;
}

// The position of the last tab in [begin, end), or null.
const char* LastTab(const char* begin, const char* end) {
  for (const char* p = end; p > begin; --p) {
    if (p[-1] == '\t') return p - 1;
  }
  return nullptr;
}

}  // namespace

bool ParseListingRecord(const char* record, size_t length, ListingEntry* entry) {
  const char* end = record + length;
  const char* tabs[3];
  for (int i = 0; i < 3; ++i) {
    tabs[i] = LastTab(record, end);
    if (tabs[i] == nullptr) return false;
    end = tabs[i];
  }
  // tabs[2] ends the name, tabs[1] the size, tabs[0] the time.
  int64_t size = 0, time = 0, attributes = 0;
  if (!ParseDecimal(tabs[2] + 1, tabs[1], &size) || size < 0 || size > UINT32_MAX) return false;
  if (!ParseDecimal(tabs[1] + 1, tabs[0], &time) || time < INT32_MIN || time > UINT32_MAX) {
    return false;
  }
  if (!ParseDecimal(tabs[0] + 1, record + length, &attributes) || attributes < 0 ||
      attributes > 255) {
    return false;
  }
  entry->name.assign(record, static_cast<size_t>(tabs[2] - record));
  entry->size = static_cast<uint32_t>(size);
  entry->hasTime = time != -1;
  entry->fatTime = static_cast<uint32_t>(time);
  entry->attributes = static_cast<unsigned>(attributes);
  return true;
}

bool ParseListing(const std::string& listing, std::vector<ListingEntry>* entries) {
  size_t start = 0;
  while (start < listing.size()) {
    const size_t crlf = listing.find("\r\n", start);
    if (crlf == std::string::npos) return false;
    ListingEntry entry;
    if (!ParseListingRecord(listing.data() + start, crlf - start, &entry)) return false;
    entries->push_back(std::move(entry));
    start = crlf + 2;
  }
  return true;
}

std::string AttributeLetters(unsigned attributes) {
  std::string letters = "----";
  if (attributes & kAttrDirectory) letters[0] = 'd';
  if (attributes & kAttrReadOnly) letters[1] = 'r';
  if (attributes & kAttrHidden) letters[2] = 'h';
  if (attributes & kAttrArchive) letters[3] = 'a';
  return letters;
}

std::string FormatFatTime(uint32_t word) {
  const time_t t = UXtime(word);
  struct tm local {};
  char text[32];
  if (localtime_r(&t, &local) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "(no valid date)     ";
  }
  return text;
}

std::string FormatListingTable(std::vector<ListingEntry> entries) {
  std::sort(entries.begin(), entries.end(), [](const ListingEntry& a, const ListingEntry& b) {
    if ((a.name == ".") != (b.name == ".")) return a.name == ".";
    return a.name < b.name;
  });
  std::string table = "attr         size  date       time      name\n";
  uint64_t bytes = 0;
  unsigned directories = 0, files = 0;
  for (const ListingEntry& e : entries) {
    const std::string name = ShownText(e.name);
    const std::string when = e.hasTime ? FormatFatTime(e.fatTime) : std::string(19, ' ');
    char line[128];
    const int n = snprintf(line, sizeof line, "%s %12" PRIu32 "  %s  ",
                           AttributeLetters(e.attributes).c_str(), e.size, when.c_str());
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) continue;  // cannot happen: fixed widths
    table += line;
    table += name;
    table += '\n';
    if (e.name == ".") continue;
    if (e.attributes & kAttrDirectory) {
      ++directories;
    } else {
      ++files;
      bytes += e.size;
    }
  }
  char summary[128];
  const int n =
      snprintf(summary, sizeof summary, "%u director%s, %u file%s, %" PRIu64 " bytes\n",
               directories, directories == 1 ? "y" : "ies", files, files == 1 ? "" : "s", bytes);
  if (n > 0 && static_cast<size_t>(n) < sizeof summary) table += summary;
  return table;
}

}  // namespace lpx
