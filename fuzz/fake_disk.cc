#include "fuzz/fake_disk.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "service/disk.h"

namespace lpx {

namespace {

enum class Kind : uint8_t {
  kMissing,
  kDirectory,
  kFifo,
  kText,
  kBinary,
  kHuge,
  kGrow,
  kReadError,
  kDiskFull
};

constexpr uint64_t kHugeStatusSize = 5000000000ull;
constexpr uint64_t kFailAfter = 100;

// Text with everything a text transfer meets: line ends of both kinds,
// the euro sign in both sets, Latin-1 and code page 437 bytes, UTF-8
// sequences whole and broken, a stray lead byte before a line feed.
constexpr char kText[] =
    "first line\n"
    "dos line\r\n"
    "euro \x80 and \xA4, e acute \xE9, cp437 \x82\x84\x94\n"
    "utf-8 caf\xC3\xA9 \xE2\x82\xAC \xE2\x82 broken \xC3\n"
    "lone continuation \xBF\xBF end\n"
    "\n\n\r\r\n"
    "last line without end";
constexpr size_t kTextLength = sizeof kText - 1;

struct FakeFile {
  bool inUse = false;
  FILE* stream = nullptr;
  Kind kind = Kind::kMissing;
  uint64_t pos = 0;
  uint64_t length = 0;      // bytes the stream holds
  uint64_t statusSize = 0;  // what its status says
  uint32_t seed = 0;
  struct stat status = {};
};

struct FakeDir {
  bool inUse = false;
  size_t next = 0;
};

// --- Fake state (reset by InstallFakeDisk) --------------------------------
FakeFile files[8];               // open streams
FakeDir dirs[4];                 // open directory listings
struct dirent entry;             // the entry readDir hands out
std::vector<std::string> extra;  // names listed after the fixed ones
mode_t mask = 022;               // the process's file creation mask
FakeDiskCounts counts;           // what the code did

const char* const kFixedEntries[] = {
    ".",
    "..",
    "a.txt",
    "sub",
    ".hidden",
    "x-gone.txt",
    "big.huge",
    "p.fifo",
    "nl\nname",
    "euro\x80\xA4.txt",
    "caf\xC3\xA9\xE2\x82\xAC.bin",
};

uint32_t Hash(const char* text) {
  uint32_t h = 2166136261u;
  for (const char* p = text; *p != '\0'; ++p) {
    h ^= static_cast<uint8_t>(*p);
    h *= 16777619u;
  }
  return h;
}

const char* LastComponent(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

bool EndsWith(const char* text, const char* suffix) {
  const size_t n = strlen(text);
  const size_t m = strlen(suffix);
  return n >= m && memcmp(text + n - m, suffix, m) == 0;
}

Kind KindOf(const char* path) {
  const char* name = LastComponent(path);
  if (name[0] == 'x') return Kind::kMissing;
  if (EndsWith(name, ".txt")) return Kind::kText;
  if (EndsWith(name, ".bin")) return Kind::kBinary;
  if (EndsWith(name, ".huge")) return Kind::kHuge;
  if (EndsWith(name, ".grow")) return Kind::kGrow;
  if (EndsWith(name, ".err")) return Kind::kReadError;
  if (EndsWith(name, ".full")) return Kind::kDiskFull;
  if (EndsWith(name, ".fifo")) return Kind::kFifo;
  return Kind::kDirectory;
}

bool IsRegular(Kind kind) {
  return kind != Kind::kMissing && kind != Kind::kDirectory && kind != Kind::kFifo;
}

uint64_t ContentLength(Kind kind, const char* path) {
  switch (kind) {
    case Kind::kText:
      return kTextLength;
    case Kind::kBinary: {
      for (const char* p = LastComponent(path); *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') return 1000u * (*p - '0') + (*p - '0');
      }
      return 300;
    }
    case Kind::kHuge:
      return 100;
    case Kind::kGrow:
      return 500;
    case Kind::kReadError:
    case Kind::kDiskFull:
      return 200;
    default:
      return 0;
  }
}

// Times a listing must cope with: the epoch, before 1980, the FAT range's
// ends, after 2038, far beyond any calendar, and whatever the hash gives.
int64_t TimeFor(uint32_t h) {
  static constexpr int64_t kTimes[] = {
      0,          -1,         315532800,           4354819199,    2147483647,
      2147483648, 1768478400, 67767976233532799LL, INT64_MIN / 2, 1000000000};
  const uint32_t pick = h % 12;
  if (pick < sizeof kTimes / sizeof kTimes[0]) return kTimes[pick];
  return static_cast<int64_t>(static_cast<int32_t>(h)) * 997;
}

bool FillStatus(const char* path, struct stat* status) {
  const Kind kind = KindOf(path);
  if (kind == Kind::kMissing) {
    errno = ENOENT;
    return false;
  }
  const uint32_t h = Hash(path);
  *status = {};
  const mode_t permissions = static_cast<mode_t>(h >> 8) & 07777;
  const mode_t type = kind == Kind::kDirectory ? S_IFDIR : kind == Kind::kFifo ? S_IFIFO : S_IFREG;
  status->st_mode = type | permissions;
  uint64_t size = ContentLength(kind, path);
  if (kind == Kind::kHuge) size = kHugeStatusSize;
  if (kind == Kind::kGrow) size = 10;
  if (kind == Kind::kDirectory) size = 4096;
  status->st_size = static_cast<off_t>(size);
  const int64_t when = TimeFor(h);
  status->st_mtime = static_cast<time_t>(when);
  status->st_nlink = 1;
  return true;
}

uint8_t ByteAt(const FakeFile& file, uint64_t i) {
  if (file.kind == Kind::kText) return static_cast<uint8_t>(kText[i % kTextLength]);
  return static_cast<uint8_t>(i * 131 + file.seed);
}

ssize_t CookieRead(void* cookie, char* buffer, size_t size) {
  FakeFile& file = *static_cast<FakeFile*>(cookie);
  if (file.kind == Kind::kReadError && file.pos >= kFailAfter) {
    errno = EIO;
    return -1;
  }
  size_t n = 0;
  while (n < size && file.pos < file.length)
    buffer[n++] = static_cast<char>(ByteAt(file, file.pos++));
  return static_cast<ssize_t>(n);
}

ssize_t CookieWrite(void* cookie, const char* /*buffer*/, size_t size) {
  FakeFile& file = *static_cast<FakeFile*>(cookie);
  if (file.kind == Kind::kDiskFull && file.pos + size > kFailAfter) {
    errno = ENOSPC;
    return -1;
  }
  file.pos += size;
  if (file.pos > file.length) file.length = file.pos;
  counts.bytesWritten += static_cast<int>(size);
  return static_cast<ssize_t>(size);
}

int CookieSeek(void* cookie, off64_t* offset, int whence) {
  FakeFile& file = *static_cast<FakeFile*>(cookie);
  int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<int64_t>(file.pos);
  if (whence == SEEK_END) base = static_cast<int64_t>(file.length);
  const int64_t target = base + *offset;
  if (target < 0) {
    errno = EINVAL;
    return -1;
  }
  file.pos = static_cast<uint64_t>(target);
  *offset = target;
  return 0;
}

int CookieClose(void* cookie) {
  FakeFile& file = *static_cast<FakeFile*>(cookie);
  file.inUse = false;
  file.stream = nullptr;
  ++counts.closed;
  return 0;
}

FILE* OpenStream(const char* path, Kind kind, bool forWriting, bool keepContent) {
  FakeFile* file = nullptr;
  for (FakeFile& slot : files) {
    if (!slot.inUse) {
      file = &slot;
      break;
    }
  }
  if (file == nullptr) {
    errno = EMFILE;
    return nullptr;
  }
  *file = FakeFile{};
  file->kind = kind;
  file->seed = Hash(path);
  file->length = keepContent ? ContentLength(kind, path) : 0;
  FillStatus(path, &file->status);
  cookie_io_functions_t io = {CookieRead, CookieWrite, CookieSeek, CookieClose};
  FILE* stream = fopencookie(file, forWriting ? (keepContent ? "r+" : "w") : "r", io);
  if (stream == nullptr) return nullptr;
  file->inUse = true;
  file->stream = stream;
  ++counts.opened;
  return stream;
}

FILE* FakeOpenRead(const char* path, struct stat* status) {
  const Kind kind = KindOf(path);
  if (!IsRegular(kind)) {
    errno = kind == Kind::kMissing ? ENOENT : EISDIR;
    return nullptr;
  }
  FILE* stream = OpenStream(path, kind, false, true);
  if (stream != nullptr) FillStatus(path, status);
  return stream;
}

FILE* FakeOpenWrite(const char* path, bool resume) {
  const Kind kind = KindOf(path);
  if (!IsRegular(kind)) {
    errno = kind == Kind::kMissing ? EACCES : EISDIR;
    return nullptr;
  }
  return OpenStream(path, kind, true, resume);
}

int FakeTruncateFile(FILE* stream, off_t length) {
  for (FakeFile& file : files) {
    if (!file.inUse || file.stream != stream || fflush(stream) != 0) continue;
    file.length = static_cast<uint64_t>(length);
    return 0;
  }
  errno = EBADF;
  return -1;
}

int FakeFileStatus(FILE* stream, struct stat* status) {
  for (FakeFile& file : files) {
    if (!file.inUse || file.stream != stream) continue;
    *status = file.status;
    status->st_size = static_cast<off_t>(file.length);
    if (file.kind == Kind::kHuge) status->st_size = static_cast<off_t>(kHugeStatusSize);
    return 0;
  }
  errno = EBADF;
  return -1;
}

int FakePathStatus(const char* path, struct stat* status) {
  return FillStatus(path, status) ? 0 : -1;
}

DIR* FakeOpenDir(const char* path) {
  if (KindOf(path) != Kind::kDirectory) {
    errno = ENOTDIR;
    return nullptr;
  }
  for (FakeDir& dir : dirs) {
    if (dir.inUse) continue;
    dir = FakeDir{true, 0};
    ++counts.opened;
    return reinterpret_cast<DIR*>(&dir);
  }
  errno = EMFILE;
  return nullptr;
}

struct dirent* FakeReadDir(DIR* handle) {
  FakeDir& dir = *reinterpret_cast<FakeDir*>(handle);
  const size_t fixed = sizeof kFixedEntries / sizeof kFixedEntries[0];
  const char* name = nullptr;
  if (dir.next < fixed) {
    name = kFixedEntries[dir.next];
  } else if (dir.next - fixed < extra.size()) {
    name = extra[dir.next - fixed].c_str();
  } else {
    return nullptr;
  }
  ++dir.next;
  entry = {};
  const size_t length = strnlen(name, sizeof entry.d_name - 1);
  memcpy(entry.d_name, name, length);
  entry.d_name[length] = '\0';
  return &entry;
}

int FakeCloseDir(DIR* handle) {
  reinterpret_cast<FakeDir*>(handle)->inUse = false;
  ++counts.closed;
  return 0;
}

int Mutation(bool ok) {
  if (!ok) {
    errno = EACCES;
    return -1;
  }
  ++counts.mutations;
  return 0;
}

int FakeSetTimes(const char* path, const struct utimbuf*) {
  return Mutation(KindOf(path) != Kind::kMissing);
}
mode_t FakeSetUmask(mode_t newMask) {
  const mode_t old = mask;
  mask = newMask & 0777;
  return old;
}
int FakeMakeDir(const char* path, mode_t) { return Mutation(KindOf(path) == Kind::kDirectory); }
int FakeChangeDir(const char* path) { return KindOf(path) == Kind::kDirectory ? 0 : -1; }
int FakeRemoveFile(const char* path) { return Mutation(KindOf(path) != Kind::kMissing); }
int FakeRemoveDir(const char* path) { return Mutation(KindOf(path) == Kind::kDirectory); }
int FakeRenamePath(const char* from, const char* to) {
  return Mutation(KindOf(from) != Kind::kMissing && LastComponent(to)[0] != 'x');
}

constexpr DiskOps kFakeDisk = {
    FakeOpenRead, FakeOpenWrite, FakeTruncateFile, FakeFileStatus, FakePathStatus,
    FakeOpenDir,  FakeReadDir,   FakeCloseDir,     FakeSetTimes,   FakeSetUmask,
    FakeMakeDir,  FakeChangeDir, FakeRemoveFile,   FakeRemoveDir,  FakeRenamePath,
};

}  // namespace

void InstallFakeDisk(const std::vector<std::string>& extraNames) {
  for (FakeFile& file : files) {
    // A stream the code left open is a finding of its own (the fuzz target
    // checks the counts); close it here so that it does not pile up.
    if (file.inUse && file.stream != nullptr) fclose(file.stream);
    file = FakeFile{};
  }
  for (FakeDir& dir : dirs) dir = FakeDir{};
  extra = extraNames;
  mask = 022;
  counts = FakeDiskCounts{};
  disk = kFakeDisk;
}

const FakeDiskCounts& FakeDiskCountsNow() { return counts; }

}  // namespace lpx
