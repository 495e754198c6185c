#include "service/listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "convert/charset.h"
#include "convert/fattime.h"
#include "convert/variant.h"
#include "link/command.h"
#include "link/frame.h"
#include "link/port.h"
#include "log/memo.h"
#include "platform/clock.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "service/transfer_state.h"

namespace lpx {

char inbuf[kRecordSize];
char dirname[kFilenameSize];

namespace {

// The longest name a directory entry can carry, and the room the other
// fields of a record take at most ("\t4294967295\t-2147483648\t255\r\n").
constexpr size_t kMaxEntryName = 255;
constexpr size_t kMaxRecordFields = 30;
static_assert(kMaxEntryName + kMaxRecordFields < kRecordSize, "every entry name fits a record");
static_assert(kRecordSize < kMaxPayload, "a record always fits an empty frame");

struct EntryStatus {
  uint32_t size;
  int32_t time;
  unsigned attributes;
};

// Joins the directory and the name into scratch: a single slash between
// them, none added after the root. False when the path does not fit.
bool JoinPath(const char* dir, const char* name) {
  const size_t dirLength = strlen(dir);
  const char* prefix = dir[0] == '/' ? "" : "/";
  int n;
  if (dirLength > 0 && dir[dirLength - 1] == '/') {
    n = snprintf(scratch, kScratchSize, "%s%s%s", prefix, dir, name);
  } else {
    n = snprintf(scratch, kScratchSize, "%s%s/%s", prefix, dir, name);
  }
  return n >= 0 && static_cast<size_t>(n) < kScratchSize;
}

// Converts the name for the client and keeps control bytes out of it, so
// that a tab, CR or LF cannot split the record.
void ConvertName(char* name) {
  if (variantC) {
    DecodeUTF8InPlace(name);
  } else {
    FromUTF8(name);
  }
  for (char* p = name; *p != '\0'; ++p) {
    if (static_cast<uint8_t>(*p) < 0x20) *p = '~';
  }
}

EntryStatus StatusFor(bool readable, const char* clientName) {
  const unsigned hidden = (clientName[0] == '.') ? kAttrHidden : 0;
  if (!readable) return {kUnknownSize, kUnknownTime, kUnknownAttributes | hidden};
  EntryStatus status;
  status.attributes = AttributeByte(fprops.st_mode, clientName);
  const uint64_t size = static_cast<uint64_t>(fprops.st_size);
  if (status.attributes & kAttrDirectory) {
    status.size = 0;
  } else {
    status.size = size > kOversizeListed ? kOversizeListed : static_cast<uint32_t>(size);
  }
  status.time = static_cast<int32_t>(FATtime(fprops.st_mtime));
  return status;
}

bool FormatRecord(char* record, size_t size, const char* name, const EntryStatus& s) {
  const int n = snprintf(record, size, "%s\t%" PRIu32 "\t%" PRId32 "\t%u\r\n", name, s.size, s.time,
                         s.attributes);
  return n >= 0 && static_cast<size_t>(n) < size;
}

bool IsDotDot(const char* name) { return strcmp(name, "..") == 0; }

// Formats the record of one directory entry into inbuf. The name is copied
// first: StoreStatus converts it in place.
void FormatEntry(const char* entryName) {
  char name[kMaxEntryName + 1];
  const size_t length = strnlen(entryName, sizeof name);
  if (length >= sizeof name) {
    inbuf[0] = '\0';
    return;
  }
  memcpy(name, entryName, length + 1);
  StoreStatus(inbuf, sizeof inbuf, dirname, name);
}

// Sends the abort frame (length 0, block -1) that ends a listing early; the
// client's answer does not matter any more.
void SendAbortFrame() {
  SetFrameLength(databuf, 0);
  SetFrameBlock(databuf, kAbortBlock);
  UploadBlock(databuf);
}

// Sends the records gathered in databuf as data frame `block`, unless the
// operator pressed Ctrl/C, in which case the client gets the abort frame.
// Returns true when the client took the frame.
bool SendFullFrame(size_t fill, int32_t* block) {
  abortClicked = keyflag;
  if (abortClicked) {
    SendAbortFrame();
    return false;
  }
  SetFrameBlock(databuf, *block);
  SetFrameLength(databuf, static_cast<int32_t>(fill));
  const bool taken = UploadBlock(databuf) == LinkResult::kOk;
  ++*block;
  AddToMemo("~");
  return taken;
}

// Counting pass over an open directory whose first entry is `entry`: the
// total length of all records, with a "WAIT" whenever a further whole
// second passed. A keep-alive that is not delivered ends the count early.
uint32_t CountListing(DIR* dir, struct dirent* entry) {
  int64_t mark = ElapsedSeconds();
  uint32_t total = 0;
  bool alive = true;
  for (; entry != nullptr && alive; entry = disk.readDir(dir)) {
    if (!IsDotDot(entry->d_name)) {
      FormatEntry(entry->d_name);
      total += static_cast<uint32_t>(strlen(inbuf));
    }
    const int64_t now = ElapsedSeconds();
    if (now > mark) {
      mark = now;
      alive = RemoteSendCommand(kReplyWait) != 0;
    }
  }
  return total;
}

// Sending pass: records packed whole into frames 1, 2, 3, ...; a frame goes
// out once it holds more than kListingFrameThreshold bytes, or earlier when
// the next record would carry it past the payload size. Returns 1 when
// every frame was taken.
int SendListing(DIR* dir, struct dirent* entry) {
  uint8_t* payload = FramePayload(databuf);
  size_t fill = 0;
  int32_t block = 1;
  bool good = true;
  for (; entry != nullptr && good; entry = disk.readDir(dir)) {
    if (IsDotDot(entry->d_name)) continue;
    FormatEntry(entry->d_name);
    const size_t length = strlen(inbuf);
    if (length == 0) continue;
    if (fill + length > kMaxPayload) {
      good = SendFullFrame(fill, &block);
      fill = 0;
      if (!good) break;
    }
    memcpy(payload + fill, inbuf, length);
    fill += length;
    if (fill > kListingFrameThreshold) {
      good = SendFullFrame(fill, &block);
      fill = 0;
    }
  }
  if (good && fill > 0) {
    SetFrameBlock(databuf, block);
    SetFrameLength(databuf, static_cast<int32_t>(fill));
    good = UploadBlock(databuf) == LinkResult::kOk;
  }
  return good ? 1 : 0;
}

// Opens the directory and reads its first entry; nullptr (and the
// directory closed) when either fails.
struct dirent* OpenListing(DIR** dir) {
  *dir = disk.openDir(dirname);
  if (*dir == nullptr) return nullptr;
  struct dirent* first = disk.readDir(*dir);
  if (first == nullptr) {
    disk.closeDir(*dir);
    *dir = nullptr;
  }
  return first;
}

}  // namespace

void StoreStatus(char* record, size_t size, const char* dir, char* name) {
  const bool readable = JoinPath(dir, name) && disk.pathStatus(scratch, &fprops) == 0;
  if (!variantC && strcmp(name, ".") == 0) {
    // The directory itself: never hidden, and no time.
    EntryStatus status = StatusFor(readable, "");
    if (!FormatRecord(record, size, name, {0, -1, status.attributes}) && size > 0) {
      record[0] = '\0';
    }
    return;
  }
  ConvertName(name);
  if (FormatRecord(record, size, name, StatusFor(readable, name))) return;
  if (FormatRecord(record, size, name, StatusFor(false, name))) return;
  if (size > 0) record[0] = '\0';
}

int ServerListDirectory(const char* clientPath) {
  if (blocktransfer) return 0;
  const char* mapped = FormatUnixName(clientPath);
  if (mapped == nullptr) return RemoteSendCommand(kReplyListError);
  memcpy(dirname, mapped, strlen(mapped) + 1);  // both hold kFilenameSize

  DIR* dir = nullptr;
  struct dirent* entry = OpenListing(&dir);
  if (entry == nullptr) return RemoteSendCommand(kReplyListError);
  const uint32_t total = CountListing(dir, entry);
  disk.closeDir(dir);

  char reply[32];
  snprintf(reply, sizeof reply, "%s%" PRIu32, kReplySize, total);
  if (!RemoteSendCommand(reply)) return 0;
  if (total == 0) return 1;

  abortClicked = 0;
  const LinkBusy busy;
  int result;
  entry = OpenListing(&dir);
  if (entry == nullptr) {
    // The client was promised data that cannot be read now: end its
    // receive at once rather than leave it waiting for frames.
    SendAbortFrame();
    result = 0;
  } else {
    result = SendListing(dir, entry);
    disk.closeDir(dir);
  }
  return result;
}

}  // namespace lpx
