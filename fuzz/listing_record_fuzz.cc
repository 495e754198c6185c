// Fuzz target: the listing record formatter with arbitrary names,
// directories, status records and record capacities.
//
// Input: byte 0 flags (bit 0 variant C, bit 1 the status query fails),
// bytes 1-2 the record's capacity (0..1279), bytes 3-6 the mode, 7-14 the
// size, 15-22 the modification time, then the directory, a zero byte, and
// the entry name.
//
// Checked: nothing is written past the capacity; the record is empty or
// exactly one line "name\tsize\ttime\tattr\r\n" with no other control
// byte, a size and an attribute byte in range; a name of at most 255 bytes
// always gets its record when the capacity is the listing's 1024 bytes.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert/variant.h"
#include "link/frame_format.h"
#include "service/disk.h"
#include "service/listing.h"

namespace lpx {
namespace {

void Require(bool condition) {
  if (!condition) abort();
}

struct stat given;
bool statusFails = false;

int GivenStatus(const char*, struct stat* status) {
  if (statusFails) return -1;
  *status = given;
  return 0;
}

uint64_t Decode64(const uint8_t* p) {
  return static_cast<uint64_t>(DecodeFixed32(p)) | static_cast<uint64_t>(DecodeFixed32(p + 4))
                                                       << 32;
}

bool Number(const std::string& field, bool maySign, uint64_t max) {
  size_t i = 0;
  if (maySign && !field.empty() && field[0] == '-') i = 1;
  if (i >= field.size() || field.size() - i > 10) return false;
  uint64_t value = 0;
  for (; i < field.size(); ++i) {
    if (field[i] < '0' || field[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(field[i] - '0');
  }
  return value <= max;
}

void CheckRecord(const char* record) {
  const std::string line(record);
  Require(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
  const std::string body = line.substr(0, line.size() - 2);
  std::string fields[4];
  int field = 0;
  for (char c : body) {
    Require(static_cast<uint8_t>(c) >= 0x20 || c == '\t');
    if (c == '\t') {
      ++field;
      Require(field < 4);
      continue;
    }
    fields[field].push_back(c);
  }
  Require(field == 3);
  Require(Number(fields[1], false, 4294967295u));
  Require(Number(fields[2], true, 2147483648u));
  Require(Number(fields[3], false, 255));
}

// The fixed part of an input: flags, capacity, mode, size and time.
constexpr size_t kFixedInput = 23;

void FormatOne(const uint8_t* data, size_t size) {
  variantC = (data[0] & 1) != 0;
  statusFails = (data[0] & 2) != 0;
  const size_t capacity = (data[1] | (data[2] << 8)) % 1280;
  given = {};
  given.st_mode = static_cast<mode_t>(DecodeFixed32(data + 3));
  given.st_size = static_cast<off_t>(Decode64(data + 7));
  given.st_mtime = static_cast<time_t>(Decode64(data + 15));

  const std::string rest(reinterpret_cast<const char*>(data + kFixedInput), size - kFixedInput);
  const size_t zero = rest.find('\0');
  const std::string dir = rest.substr(0, zero);
  std::string name = zero == std::string::npos ? std::string() : rest.substr(zero + 1);
  name.resize(strlen(name.c_str()));

  disk.pathStatus = GivenStatus;
  // The record ends where its allocation ends, so that a write past it is
  // caught even for a capacity of 0; the byte in front of it is a canary.
  char* block = static_cast<char*>(malloc(capacity + 1));
  block[0] = 'C';
  char* record = block + 1;
  if (capacity > 0) memset(record, 'Z', capacity);
  StoreStatus(record, capacity, dir.c_str(), name.data());
  if (capacity > 0) {
    Require(memchr(record, '\0', capacity) != nullptr);
    if (record[0] != '\0') CheckRecord(record);
    if (capacity == kRecordSize && name.size() <= 255) Require(record[0] != '\0');
  }
  Require(block[0] == 'C');
  free(block);
  ResetDiskOps();
  variantC = false;
}

}  // namespace
}  // namespace lpx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= lpx::kFixedInput) lpx::FormatOne(data, size);
  return 0;
}
