#include "client/transfer.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/exit_status.h"
#include "client/listing_table.h"
#include "client/localtext.h"
#include "client/options.h"
#include "client/progress.h"
#include "client/session.h"
#include "convert/fattime.h"
#include "link/command.h"
#include "link/port.h"

namespace lpx {

namespace {

constexpr size_t kPathSize = 1024;
// The server names a resume point at least 4096 and less than 5120 bytes
// before the end of what it holds.
constexpr uint64_t kResumeSpan = 5120;

// Closes a stdio file on every way out.
struct FileCloser {
  FILE* file = nullptr;
  ~FileCloser() {
    if (file != nullptr) fclose(file);
  }
};

// "KEY n" (the key with its blank or '='): the whole rest must be a decimal
// number up to `max`.
bool ReplyNumber(const char* reply, const char* key, uint64_t max, uint64_t* value) {
  const size_t keyLength = strlen(key);
  if (strncmp(reply, key, keyLength) != 0) return false;
  const char* p = reply + keyLength;
  if (*p == '\0') return false;
  uint64_t v = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > max) return false;
  }
  *value = v;
  return true;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Flushes, syncs and closes; false when any of it failed.
bool FinishFile(FileCloser* closer) {
  FILE* file = closer->file;
  closer->file = nullptr;
  bool ok = fflush(file) == 0;
  ok = fsync(fileno(file)) == 0 && ok;
  return fclose(file) == 0 && ok;
}

// The permissions a fetched file gets from its attribute byte: read-only
// takes the write bits away, a clear archive bit (an executable on the
// server) adds the execute bits; the umask applies.
mode_t ModeFromAttributes(unsigned attributes) {
  mode_t mode = 0666;
  if ((attributes & kAttrArchive) == 0) mode |= 0111;
  if (attributes & kAttrReadOnly) mode &= static_cast<mode_t>(~0222);
  const mode_t mask = umask(0);
  umask(mask);
  return mode & ~mask;
}

void PrintSummary(const char* verb, uint64_t bytes, double seconds, const char* from,
                  const char* to) {
  if (options.quiet) return;
  char rate[32];
  FormatRate(bytes, seconds, rate, sizeof rate);
  printf("%s %" PRIu64 " bytes in %.2f s (%s): %s -> %s\n", verb, bytes, seconds, rate, from, to);
  fflush(stdout);
}

// The replies before a fetch's data: "FILE ERROR 2", or REST, TIME, ATTR and
// finally SIZE (keep-alives are passed over by Reply).
struct FetchHeader {
  uint64_t size = 0;
  uint32_t fatTime = 0;
  bool hasTime = false;
  unsigned attributes = 0;
};

int ReceiveFetchHeader(const char* remote, FetchHeader* header) {
  char reply[kCommandBufferSize];
  for (;;) {
    if (int status = Reply("get", reply, sizeof reply)) return status;
    uint64_t value = 0;
    if (strcmp(reply, kReplyFileError) == 0) {
      Complain("%s: no such remote file, or it is not readable (FILE ERROR 2)", remote);
      return kExitFileError;
    }
    if (ReplyNumber(reply, kReplyRest, kMaxWireOffset, &value)) continue;
    if (ReplyNumber(reply, kReplyTime, UINT32_MAX, &value)) {
      header->fatTime = static_cast<uint32_t>(value);
      header->hasTime = true;
      continue;
    }
    if (ReplyNumber(reply, kReplyAttr, 255, &value)) {
      header->attributes = static_cast<unsigned>(value);
      continue;
    }
    if (ReplyNumber(reply, kReplySize, kMaxSizeReply, &value)) {
      header->size = value;
      return 0;
    }
    Complain("get: unexpected reply \"%s\"", reply);
    return kExitProtocol;
  }
}

// Where a fetch writes: the temporary file beside the target, or, when
// resuming, the partial file it continues.
struct FetchTarget {
  std::string target;
  std::string writePath;
  bool appending = false;  // continuing a partial file
  uint64_t offset = 0;     // wire offset to fetch from
};

int ChooseFetchTarget(const char* remote, const char* local, FetchTarget* t, FileCloser* file) {
  const char* base = PathBaseName(remote);
  struct stat st {};
  if (local == nullptr || (stat(local, &st) == 0 && S_ISDIR(st.st_mode))) {
    if (*base == '\0') {
      Complain("%s names no file", remote);
      return kExitUsage;
    }
    t->target = local == nullptr ? base : std::string(local) + "/" + base;
  } else {
    t->target = local;
  }
  const std::string part = t->target + kPartSuffix;
  t->writePath = part;
  if (options.offset >= 0) t->offset = static_cast<uint64_t>(options.offset);
  if (!options.resume) return 0;

  // Resuming continues the partial file a broken fetch left, or the target
  // itself when there is none.
  if (IsRegularFile(part)) {
    t->writePath = part;
  } else if (IsRegularFile(t->target)) {
    t->writePath = t->target;
  } else {
    return 0;  // nothing to continue: a whole fetch
  }
  file->file = fopen(t->writePath.c_str(), "r+b");
  if (file->file == nullptr) {
    Complain("%s: cannot open the local file to continue it (%s)", t->writePath.c_str(),
             strerror(errno));
    return kExitLocal;
  }
  t->appending = true;
  if (options.text) {
    uint64_t wire = 0, localBytes = 0;
    CountWireBytes(file->file, &wire, &localBytes);
    // A character cut short by the break is fetched again whole.
    if (ftruncate(fileno(file->file), static_cast<off_t>(localBytes)) != 0 ||
        fseeko(file->file, static_cast<off_t>(localBytes), SEEK_SET) != 0) {
      Complain("%s: cannot prepare the local file (%s)", t->writePath.c_str(), strerror(errno));
      return kExitLocal;
    }
    t->offset = wire;
  } else {
    if (fseeko(file->file, 0, SEEK_END) != 0) {
      Complain("%s: cannot prepare the local file (%s)", t->writePath.c_str(), strerror(errno));
      return kExitLocal;
    }
    t->offset = static_cast<uint64_t>(ftello(file->file));
  }
  return 0;
}

}  // namespace

int GetFile(const char* remote, const char* local) {
  char clientPath[kPathSize];
  if (!RemotePathToClient(remote, clientPath, sizeof clientPath)) {
    Complain("%s: the remote path is too long or has a character the far side cannot name", remote);
    return kExitUsage;
  }
  FileCloser file;
  FetchTarget t;
  if (int status = ChooseFetchTarget(remote, local, &t, &file)) return status;
  if (t.offset > kMaxWireOffset) {
    Complain("%s: offset %" PRIu64 " is beyond what the protocol can name", remote, t.offset);
    return kExitUsage;
  }

  if (t.offset > 0) {
    if (int status = Command("REST %" PRIu64, t.offset)) return status;
  }
  if (int status = Command("%s%s", options.text ? "AGET " : "GET ", clientPath)) return status;
  FetchHeader header;
  if (int status = ReceiveFetchHeader(remote, &header)) return status;

  int status = 0;
  if (!t.appending) {
    file.file = fopen(t.writePath.c_str(), "wb");
    if (file.file == nullptr) {
      Complain("%s: cannot create the local file (%s)", t.writePath.c_str(), strerror(errno));
      status = kExitLocal;
    }
  }
  const uint64_t expected = header.size >= t.offset ? header.size - t.offset : 0;
  Progress progress;
  progress.Start(PathBaseName(remote), expected, options.progress);
  TextWriter writer{file.file};
  uint64_t received = 0;
  for (int32_t block = 1;; ++block) {
    // Refusing the next frame (code 13) stops the server's sending at once.
    const bool refuse = status != 0 || keyflag;
    const LinkResult result = ReceiveFrame(refuse ? kAbortBlock : block, kDataFrameBudgetMs);
    if (refuse) {
      if (status == 0) status = kExitInterrupted;
      break;
    }
    if (result != LinkResult::kOk) {
      status = LinkFailure("get", result);
      break;
    }
    const int32_t length = FrameLength(indbuf);
    if (received + static_cast<uint64_t>(length) > expected) {
      Complain("get: the server sent more than the %" PRIu64 " bytes it announced", expected);
      status = kExitIncomplete;
    } else {
      const uint8_t* payload = FramePayload(indbuf);
      const bool written = options.text ? writer.Write(payload, static_cast<size_t>(length))
                                        : fwrite(payload, 1, static_cast<size_t>(length),
                                                 file.file) == static_cast<size_t>(length);
      if (!written) {
        Complain("%s: cannot write the local file (%s)", t.writePath.c_str(), strerror(errno));
        status = kExitLocal;
      }
      received += static_cast<uint64_t>(length);
      progress.Add(static_cast<uint64_t>(length));
    }
    if (static_cast<size_t>(length) < kFileFramePayload) break;  // the last frame
  }
  progress.Finish();

  if (status == kExitInterrupted) Complain("get: interrupted");
  if (status == 0 && received != expected) {
    Complain("get: %" PRIu64 " of the %" PRIu64 " announced bytes arrived", received, expected);
    status = kExitIncomplete;
  }
  if (file.file != nullptr) {
    // A CR held back for its LF is written only at the true end of the
    // text: a broken fetch drops it, so that a resume counts it again and
    // the LF that follows it still meets it.
    const bool finished = (!options.text || status != 0 || writer.Finish()) && FinishFile(&file);
    if (!finished && status == 0) {
      Complain("%s: cannot write the local file (%s)", t.writePath.c_str(), strerror(errno));
      status = kExitLocal;
    }
  }
  if (status == 0 && (header.attributes & kAttrDirectory)) {
    Complain("%s: the remote path is a directory", remote);
    status = kExitIsDirectory;
  }
  if (status == 0 && header.size < t.offset) {
    if (t.appending) {
      Complain("%s: the local file (%" PRIu64 " bytes) is longer than the remote one (%" PRIu64
               " bytes); nothing was changed",
               t.writePath.c_str(), t.offset, header.size);
      status = kExitResumeRefused;
    } else {
      Complain("%s: offset %" PRIu64 " lies beyond the end of the file (%" PRIu64 " bytes)", remote,
               t.offset, header.size);
      status = kExitUsage;
    }
  }
  if (status != 0) {
    const bool keep = t.appending || (received > 0 && options.offset < 0 &&
                                      status != kExitIsDirectory && status != kExitUsage);
    if (!t.appending && !keep) {
      unlink(t.writePath.c_str());
    } else if (!t.appending) {
      Complain("the %" PRIu64 " bytes fetched so far are kept in %s; 'get -c' continues them",
               received, t.writePath.c_str());
    }
    return status;
  }

  chmod(t.writePath.c_str(), ModeFromAttributes(header.attributes));
  if (header.hasTime) {
    struct utimbuf times;
    times.actime = times.modtime = UXtime(header.fatTime);
    utime(t.writePath.c_str(), &times);
  }
  if (t.writePath != t.target && rename(t.writePath.c_str(), t.target.c_str()) != 0) {
    Complain("%s: cannot rename the fetched file to %s (%s); it is kept as %s", t.writePath.c_str(),
             t.target.c_str(), strerror(errno), t.writePath.c_str());
    return kExitLocal;
  }
  PrintSummary("received", received, progress.Seconds(), remote, t.target.c_str());
  return 0;
}

int FetchListing(const char* clientDir, const char* shown, std::string* listing, bool* missing) {
  if (missing != nullptr) *missing = false;
  if (int status = Command("LIST %s", clientDir)) return status;
  char reply[kCommandBufferSize];
  if (int status = Reply("list", reply, sizeof reply)) return status;
  if (strcmp(reply, kReplyListError) == 0 && missing != nullptr) {
    *missing = true;
    return 0;
  }
  if (strcmp(reply, kReplyListError) == 0) {
    Complain("%s: the remote directory cannot be listed (DIR ERROR 2)", shown);
    return kExitListError;
  }
  uint64_t size = 0;
  if (!ReplyNumber(reply, kReplySize, kMaxSizeReply, &size)) {
    Complain("list: unexpected reply \"%s\"", reply);
    return kExitProtocol;
  }
  for (int32_t block = 1; listing->size() < size; ++block) {
    const LinkResult result = ReceiveFrame(block, kDataFrameBudgetMs);
    if (result != LinkResult::kOk) return LinkFailure("list", result);
    listing->append(reinterpret_cast<const char*>(FramePayload(indbuf)),
                    static_cast<size_t>(FrameLength(indbuf)));
  }
  return 0;
}

int RemoteEntrySize(const char* directory, const char* name, bool* found, uint32_t* size) {
  *found = false;
  std::string listing;
  bool missing = false;
  if (int status = FetchListing(directory, directory, &listing, &missing)) return status;
  if (missing) return 0;
  std::vector<ListingEntry> entries;
  if (!ParseListing(listing, &entries)) {
    Complain("list: the listing of %s is malformed", directory);
    return kExitProtocol;
  }
  for (const ListingEntry& e : entries) {
    if (e.name == name) {
      *found = true;
      *size = e.size;
    }
  }
  return 0;
}

namespace {

// Sends the abort frame that ends an upload early; the server answers 13.
void SendAbortFrame() {
  SetFrameLength(databuf, 0);
  SetFrameBlock(databuf, kAbortBlock);
  SendFrame(databuf, nullptr);
}

// Fills `out` with up to `want` wire bytes of the local file. Returns how
// many it got.
size_t ReadWire(FileCloser* file, WireReader* reader, uint8_t* out, size_t want) {
  if (!options.text) return fread(out, 1, want, file->file);
  size_t n = 0;
  while (n < want) {
    const int byte = reader->Next();
    if (byte < 0) break;
    out[n++] = static_cast<uint8_t>(byte);
  }
  return n;
}

// Splits a client path at its last backslash into directory and name.
void SplitClientPath(const char* clientPath, std::string* directory, std::string* name) {
  const std::string path(clientPath);
  const size_t cut = path.find_last_of('\\');
  *name = cut == std::string::npos ? path : path.substr(cut + 1);
  *directory = cut == std::string::npos ? "" : path.substr(0, cut);
}

// With "REST ?" the server names where it resumes; a binary file on the far
// side that is longer than the local one would keep its tail, so that case
// is ruled out with a listing.
int CheckResumePoint(const char* local, const char* clientPath, uint64_t wireSize,
                     uint64_t remoteOffset) {
  if (remoteOffset >= wireSize) {
    Complain(
        "%s: the remote copy is longer than the local file; not resumed (put without -c "
        "replaces it)",
        local);
    return kExitResumeRefused;
  }
  if (options.text || remoteOffset + kResumeSpan <= wireSize) return 0;
  std::string directory, name;
  SplitClientPath(clientPath, &directory, &name);
  bool found = false;
  uint32_t remoteSize = 0;
  if (int status = RemoteEntrySize(directory.c_str(), name.c_str(), &found, &remoteSize)) {
    return status;
  }
  if (found && remoteSize > wireSize) {
    Complain("%s: the remote copy (%" PRIu32 " bytes) is longer than the local file (%" PRIu64
             " bytes); not resumed (put without -c replaces it)",
             local, remoteSize, wireSize);
    return kExitResumeRefused;
  }
  return 0;
}

// The server answers the last frame of an upload with its verdict, but a
// refusal (13) stands on the line only for the microseconds until the
// server goes back to its command loop and drives its lines to 0, and an
// empty file travels in no frame at all. So the client looks at the
// server's listing: the file must be there, and in binary mode with the
// size that was sent (in text mode the server's character set decides the
// size).
int VerifyStored(const char* clientPath, const char* shown, int64_t wantSize) {
  std::string directory, name;
  SplitClientPath(clientPath, &directory, &name);
  bool found = false;
  uint32_t size = 0;
  if (int status = RemoteEntrySize(directory.c_str(), name.c_str(), &found, &size)) return status;
  if (!found) {
    Complain("%s: the server did not store the file (no write permission, or its disk is full)",
             shown);
    return kExitStoreRefused;
  }
  if (wantSize >= 0 && size != static_cast<uint64_t>(wantSize)) {
    Complain("%s: the server holds %" PRIu32 " bytes, not the %" PRId64
             " that were sent (its disk is full?)",
             shown, size, wantSize);
    return kExitStoreRefused;
  }
  return 0;
}

}  // namespace

int PutFile(const char* local, const char* remote) {
  FileCloser file;
  file.file = fopen(local, "rb");
  struct stat st {};
  if (file.file == nullptr || fstat(fileno(file.file), &st) != 0) {
    Complain("%s: cannot read the local file (%s)", local, strerror(errno));
    return kExitLocal;
  }
  if (!S_ISREG(st.st_mode)) {
    Complain("%s: not a regular file", local);
    return kExitLocal;
  }
  std::string remotePath(remote);
  if (remotePath.empty() || remotePath.back() == '/' || remotePath.back() == '\\') {
    remotePath += PathBaseName(local);
  }
  char clientPath[kPathSize];
  if (!RemotePathToClient(remotePath.c_str(), clientPath, sizeof clientPath)) {
    Complain("%s: the remote path is too long or has a character the far side cannot name",
             remotePath.c_str());
    return kExitUsage;
  }

  WireReader reader{file.file};
  uint64_t wireSize = static_cast<uint64_t>(st.st_size);
  if (options.text) {
    wireSize = 0;
    while (reader.Next() >= 0) ++wireSize;
    rewind(file.file);
    reader = WireReader{file.file};
  }
  if (wireSize > kMaxWireOffset) {
    Complain("%s: too large for the cable's protocol (at most 2 GiB)", local);
    return kExitLocal;
  }

  if (int status = Command("%s%s", options.text ? "APUT " : "PUT ", clientPath)) return status;
  uint64_t remoteOffset = 0;
  if (options.resume) {
    if (int status = Command("REST ?")) return status;
    char reply[kCommandBufferSize];
    if (int status = Reply("put", reply, sizeof reply)) return status;
    if (strcmp(reply, kReplyRestError) != 0 &&
        !ReplyNumber(reply, kReplyRestAt, kMaxWireOffset, &remoteOffset)) {
      Complain("put: unexpected reply \"%s\"", reply);
      return kExitProtocol;
    }
    if (remoteOffset > 0) {
      if (int status = CheckResumePoint(local, clientPath, wireSize, remoteOffset)) {
        // "REST ?" left the server's two restart offsets set, and the next
        // upload, by any client, would start from them. A SIZE equal to the
        // offset clears them and touches no file.
        Command("SIZE %" PRIu64, remoteOffset);
        return status;
      }
    }
  }
  if (int status = Command("TIME %" PRIu32, FATtime(st.st_mtime))) return status;
  if (int status = Command("ATTR %u", AttributeByte(st.st_mode, PathBaseName(local)))) {
    return status;
  }
  if (int status = Command("SIZE %" PRIu64, wireSize)) return status;

  // The data goes on from the wire offset the server named.
  if (!options.text) {
    if (fseeko(file.file, static_cast<off_t>(remoteOffset), SEEK_SET) != 0) {
      SendAbortFrame();
      Complain("%s: cannot read the local file (%s)", local, strerror(errno));
      return kExitLocal;
    }
  } else {
    for (uint64_t i = 0; i < remoteOffset; ++i) reader.Next();
  }
  if (remoteOffset > 0 && !options.quiet) {
    printf("resuming at byte %" PRIu64 " of %" PRIu64 "\n", remoteOffset, wireSize);
    fflush(stdout);
  }

  const uint64_t total = wireSize - remoteOffset;
  Progress progress;
  progress.Start(PathBaseName(local), total, options.progress);
  uint64_t sent = 0;
  int status = 0;
  for (int32_t block = 1; sent < total; ++block) {
    if (keyflag) {
      SendAbortFrame();
      status = kExitInterrupted;
      Complain("put: interrupted; 'put -c' resumes");
      break;
    }
    const size_t want =
        static_cast<size_t>(total - sent < kFileFramePayload ? total - sent : kFileFramePayload);
    const size_t got = ReadWire(&file, &reader, FramePayload(databuf), want);
    if (got != want) {
      SendAbortFrame();
      Complain("%s: the local file changed while it was sent", local);
      status = kExitLocal;
      break;
    }
    SetFrameLength(databuf, static_cast<int32_t>(got));
    SetFrameBlock(databuf, block);
    const LinkResult result = SendFrame(databuf, nullptr);
    if (result == LinkResult::kRefused && block == 1 && remoteOffset > 0) {
      Complain(
          "%s: the server's copy differs from the local file where they overlap; not "
          "resumed (put without -c replaces it)",
          local);
      status = kExitResumeRefused;
      break;
    }
    if (result == LinkResult::kRefused) {
      Complain(
          "%s: the server could not store the file (no write permission, or its disk is "
          "full)",
          remotePath.c_str());
      status = kExitStoreRefused;
      break;
    }
    if (result != LinkResult::kOk) {
      status = LinkFailure("put", result);
      break;
    }
    sent += got;
    progress.Add(got);
  }
  progress.Finish();
  if (status != 0) return status;
  if (int check = VerifyStored(clientPath, remotePath.c_str(),
                               options.text ? -1 : static_cast<int64_t>(wireSize))) {
    return check;
  }
  PrintSummary("sent", sent, progress.Seconds(), local, remotePath.c_str());
  return 0;
}

}  // namespace lpx
