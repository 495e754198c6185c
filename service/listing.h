// The directory listing: one record per entry, "name\tsize\ttime\tattr\r\n",
// counted in one pass and sent in numbered data frames in a second.
#pragma once

#include <cstddef>
#include <cstdint>

#include "convert/path.h"

namespace lpx {

// --- Listing buffers --------------------------------------------------------
constexpr size_t kRecordSize = 1024;
extern char inbuf[kRecordSize];      // the record just formatted
extern char dirname[kFilenameSize];  // local path of the directory being listed

// A frame is sent once its records fill more than this many bytes.
constexpr size_t kListingFrameThreshold = 3896;

// What a record carries for an entry whose status cannot be read (the
// status query failed, or the joined path does not fit `scratch`): no size,
// no time (-1, as the "." record), and read-only + archive, the look of a
// plain file that cannot be changed; the hidden bit still follows the name.
constexpr uint32_t kUnknownSize = 0;
constexpr int32_t kUnknownTime = -1;
constexpr unsigned kUnknownAttributes = 33;

// A size that does not fit the record's 32 bits is listed as this.
constexpr uint32_t kOversizeListed = 4294967295u;

// Formats the listing record of entry `name` of directory `dir` into
// `record` (capacity `size`), zero-terminated. The status is read from the
// joined path "dir/name" (a single slash after the root) into fprops, with
// symbolic links followed. The name is converted in place for the client
// (variants A and B: euro exchange; C: UTF-8 decoding) and every byte below
// 0x20 becomes '~', so a record is always exactly one line of four fields.
// Variants A and B give "." its own record (size 0, time -1, no hidden
// bit); variant C lists it as an ordinary hidden directory.
// A record that does not fit `record` leaves it empty.
// REQUIRES: `name` is zero-terminated.
void StoreStatus(char* record, size_t size, const char* dir, char* name);

}  // namespace lpx
