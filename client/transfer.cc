#include "client/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

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
// A continued fetch asks for this many bytes before the end of the partial
// file once more, and goes on only when they match what it holds: a file
// that changed on the server, or a partial file of another, shows there.
// One full frame.
constexpr uint64_t kCheckSpan = 4096;
// The most a listing may announce. Records take about 40 bytes, 290 at
// most (a name of 255 bytes), so 64 MiB hold some 1.6 million entries, at
// least 230,000; at the cable's 90 KB/s they take twelve minutes to come.
// A larger SIZE is a broken or hostile server, whose listing would
// otherwise fill the client's memory with up to 4 GiB.
constexpr uint64_t kMaxListingBytes = uint64_t{64} << 20;

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

// A regular file itself, not a symbolic link to one.
bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Opens the partial file of a fetch: never through a symbolic link (one
// planted there would have the fetch write wherever it points), and not
// inherited by programs the client might start.
FILE* OpenPartial(const std::string& path, int flags, const char* mode) {
  const int fd = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
  FILE* file = fd >= 0 ? fdopen(fd, mode) : nullptr;
  if (file == nullptr && fd >= 0) close(fd);
  return file;
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

// The replies before a fetch's data: kReplyFileError, or REST, TIME, ATTR and
// finally SIZE (keep-alives are passed over by Reply).
struct FetchHeader {
  uint64_t size = 0;
  uint32_t fatTime = 0;
  bool hasTime = false;
  unsigned attributes = 0;
};

// A REST reply must name the offset asked for, once, and comes when one
// was asked for and only then: a server that resumes elsewhere (one that
// kept an earlier client's offset) would put its bytes at the wrong place.
int ReceiveFetchHeader(const char* remote, uint64_t offset, FetchHeader* header) {
  char reply[kCommandBufferSize];
  bool restNamed = false;
  for (;;) {
    if (int status = Reply("get", reply, sizeof reply)) return status;
    uint64_t value = 0;
    if (strcmp(reply, kReplyFileError) == 0) {
      Complain("%s: no such remote file, or it is not readable (FILE ERROR 2)", remote);
      return kExitFileError;
    }
    if (ReplyNumber(reply, kReplyRest, kMaxWireOffset, &value)) {
      if (value == offset && offset > 0 && !restNamed) {
        restNamed = true;
        continue;
      }
      Complain("%s: the server would send from byte %" PRIu64 ", not from byte %" PRIu64
               " as asked",
               remote, value, offset);
      return kExitProtocol;
    }
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
      if (offset > 0 && !restNamed) {
        Complain("%s: the server did not confirm the offset %" PRIu64 " asked for", remote, offset);
        return kExitProtocol;
      }
      header->size = value;
      return 0;
    }
    return UnexpectedReply("get", reply);
  }
}

// One fetch: where it writes, what the server announced, and how far it got.
// A continued fetch asks for the last `held` bytes of the partial file once
// more; they are compared, not written.
struct Fetch {
  const char* remote = nullptr;  // as the user typed it
  std::string target;            // the local file it ends as
  std::string writePath;         // the partial file
  bool appending = false;        // continuing a partial file
  uint64_t offset = 0;           // wire offset the partial file ends at, or -o
  uint64_t from = 0;             // wire offset asked for: offset less the held bytes
  std::string held;              // the wire bytes of the partial file from `from`
  uint64_t keep = 0;             // its local bytes of whole characters, kept
  bool ready = false;            // the file is positioned for the new bytes
  FetchHeader header;
  FileCloser file;
  TextWriter writer;
  Progress progress;  // its count is the bytes received

  uint64_t Expected() const { return header.size >= from ? header.size - from : 0; }
  uint64_t Received() const { return progress.done; }
  // The bytes the file gained.
  uint64_t Added() const { return Received() > held.size() ? Received() - held.size() : 0; }
};

// Reads the wire bytes [from, offset) of the partial file into held: in
// text mode as an upload would send them (LF as CR LF, client bytes).
bool ReadHeldBytes(Fetch* f) {
  FILE* file = f->file.file;
  f->held.resize(f->offset - f->from);
  if (!options.text) {
    return fseeko(file, static_cast<off_t>(f->from), SEEK_SET) == 0 &&
           fread(f->held.data(), 1, f->held.size(), file) == f->held.size();
  }
  rewind(file);
  WireReader reader{file};
  for (uint64_t i = 0; i < f->from; ++i) reader.Next();
  for (char& c : f->held) {
    const int byte = reader.Next();
    if (byte < 0) return false;
    c = static_cast<char>(byte);
  }
  return true;
}

// Resuming continues the partial file a broken fetch left, never the
// target (a finished file, perhaps of another origin): with none, the
// fetch is a whole one. Nothing in the file changes before the server has
// shown that it holds the same bytes.
int OpenResumePoint(Fetch* f) {
  if (!IsRegularFile(f->writePath)) return 0;
  FILE* file = f->file.file = OpenPartial(f->writePath, O_RDWR, "r+b");
  if (file == nullptr) {
    Complain("%s: cannot open the local file to continue it (%s)", f->writePath.c_str(),
             strerror(errno));
    return kExitLocal;
  }
  f->appending = true;
  bool ready = true;
  if (options.text) {
    // A character cut short by the break is fetched again whole.
    CountWireBytes(file, &f->offset, &f->keep);
  } else if ((ready = fseeko(file, 0, SEEK_END) == 0)) {
    f->offset = f->keep = static_cast<uint64_t>(ftello(file));
  }
  f->from = f->offset - std::min(f->offset, kCheckSpan);
  if (!ready || !ReadHeldBytes(f)) {
    Complain("%s: cannot read the local file (%s)", f->writePath.c_str(), strerror(errno));
    return kExitLocal;
  }
  return 0;
}

// The target is `local`, or the remote name in the directory `local` or in
// the working directory; the fetch writes the partial file beside it.
int ChooseFetchTarget(const char* local, Fetch* f) {
  const char* base = PathBaseName(f->remote);
  struct stat st {};
  if (local == nullptr || (stat(local, &st) == 0 && S_ISDIR(st.st_mode))) {
    if (*base == '\0') {
      Complain("%s names no file", f->remote);
      return kExitUsage;
    }
    f->target = local == nullptr ? base : std::string(local) + "/" + base;
  } else {
    f->target = local;
  }
  f->writePath = f->target + kPartSuffix;
  if (options.offset >= 0) f->offset = f->from = static_cast<uint64_t>(options.offset);
  return options.resume ? OpenResumePoint(f) : 0;
}

// REST with the offset when there is one, GET or AGET, and the replies
// before the data.
int RequestFetch(const char* clientPath, Fetch* f) {
  if (f->from > kMaxWireOffset) {
    Complain("%s: offset %" PRIu64 " is beyond what the protocol can name", f->remote, f->from);
    return kExitUsage;
  }
  if (f->from > 0) {
    if (int status = Command("REST %" PRIu64, f->from)) return status;
  }
  if (int status = Command("%s%s", options.text ? "AGET " : "GET ", clientPath)) return status;
  return ReceiveFetchHeader(f->remote, f->from, &f->header);
}

// Compares the first fetched bytes of a continued fetch with those the
// partial file holds; once all matched, cuts the file to its whole
// characters and stands at its end. Takes the compared bytes off `payload`.
int MatchHeldBytes(Fetch* f, const uint8_t** payload, size_t* n) {
  if (f->Received() < f->held.size()) {
    const size_t count = std::min<size_t>(*n, f->held.size() - f->Received());
    const bool same = memcmp(*payload, f->held.data() + f->Received(), count) == 0;
    f->progress.Add(count);
    *payload += count;
    *n -= count;
    if (!same) {
      Complain("%s: the partial file %s differs from the server's copy before byte %" PRIu64
               "; not continued (it is kept; get without -c fetches the whole file)",
               f->remote, f->writePath.c_str(), f->offset);
      return kExitResumeRefused;
    }
  }
  if (f->ready || f->Received() < f->held.size()) return 0;
  f->ready = ftruncate(fileno(f->file.file), static_cast<off_t>(f->keep)) == 0 &&
             fseeko(f->file.file, static_cast<off_t>(f->keep), SEEK_SET) == 0;
  if (f->ready) return 0;
  Complain("%s: cannot prepare the local file (%s)", f->writePath.c_str(), strerror(errno));
  return kExitLocal;
}

// Writes the payload of the frame in indbuf, `length` bytes, and counts it.
int WriteFetchedFrame(Fetch* f, int32_t length) {
  size_t n = static_cast<size_t>(length);
  if (f->Received() + n > f->Expected()) {
    Complain("get: the server sent more than the %" PRIu64 " bytes it announced", f->Expected());
    return kExitIncomplete;
  }
  const uint8_t* payload = FramePayload(indbuf);
  if (int status = MatchHeldBytes(f, &payload, &n)) {
    f->progress.Add(n);
    return status;
  }
  const bool written =
      options.text ? f->writer.Write(payload, n) : fwrite(payload, 1, n, f->file.file) == n;
  int status = 0;
  if (!written) {
    Complain("%s: cannot write the local file (%s)", f->writePath.c_str(), strerror(errno));
    status = kExitLocal;
  }
  f->progress.Add(n);
  return status;
}

// Receives the data frames into the file, up to the last one (shorter than
// a full frame). After a failure, or on Ctrl/C, the next frame is refused:
// code 13 stops the server's sending at once.
int ReceiveFetchedFrames(Fetch* f) {
  int status = 0;
  if (!f->appending) {
    f->file.file = OpenPartial(f->writePath, O_WRONLY | O_CREAT | O_TRUNC, "wb");
    f->ready = true;
    if (f->file.file == nullptr) {
      Complain("%s: cannot create the local file (%s)", f->writePath.c_str(), strerror(errno));
      status = kExitLocal;
    }
  }
  f->writer.file = f->file.file;
  f->progress.Start(PathBaseName(f->remote), f->Expected(), options.progress);
  for (int32_t block = 1;; ++block) {
    const bool refuse = status != 0 || keyflag;
    const LinkResult result = ReceiveFrame(refuse ? kAbortBlock : block, kDataFrameBudgetMs);
    if (refuse) return status != 0 ? status : kExitInterrupted;
    if (result != LinkResult::kOk) return LinkFailure("get", result);
    const int32_t length = FrameLength(indbuf);
    status = WriteFetchedFrame(f, length);
    if (static_cast<size_t>(length) < kFileFramePayload) return status;
  }
}

// Flushes, gives a whole fetch its permissions and time (through the
// descriptor: the path might name another file by now), syncs and closes;
// false when any of it failed.
bool FinishFile(Fetch* f, bool whole) {
  FILE* file = std::exchange(f->file.file, nullptr);
  const int fd = fileno(file);
  bool ok = fflush(file) == 0;
  if (whole) {
    fchmod(fd, ModeFromAttributes(f->header.attributes));
    const time_t when = UXtime(f->header.fatTime);
    const struct timespec times[2] = {{when, 0}, {when, 0}};
    if (f->header.hasTime) futimens(fd, times);
  }
  ok = fsync(fd) == 0 && ok;
  return fclose(file) == 0 && ok;
}

// Closes the file. A CR held back for its LF is written only at the true end
// of the text: a broken fetch drops it, so that a resume counts it again and
// the LF that follows it still meets it.
int CloseFetchedFile(Fetch* f, int status) {
  if (f->file.file == nullptr) return status;
  const bool finished =
      (!options.text || status != 0 || f->writer.Finish()) && FinishFile(f, status == 0);
  if (!finished && status == 0) {
    Complain("%s: cannot write the local file (%s)", f->writePath.c_str(), strerror(errno));
    return kExitLocal;
  }
  return status;
}

// What arrived against what was announced and asked for.
int CheckFetched(Fetch* f, int status) {
  if (status == kExitInterrupted) Complain("get: interrupted");
  if (status == 0 && f->Received() != f->Expected()) {
    Complain("get: %" PRIu64 " of the %" PRIu64 " announced bytes arrived", f->Received(),
             f->Expected());
    status = kExitIncomplete;
  }
  if (status == 0 && (f->header.attributes & kAttrDirectory)) {
    Complain("%s: the remote path is a directory", f->remote);
    status = kExitIsDirectory;
  } else if (status == 0 && f->header.size < f->offset && f->appending) {
    Complain("%s: the local file (%" PRIu64 " bytes) is longer than the remote one (%" PRIu64
             " bytes); nothing was changed",
             f->writePath.c_str(), f->offset, f->header.size);
    status = kExitResumeRefused;
  } else if (status == 0 && f->header.size < f->offset) {
    Complain("%s: offset %" PRIu64 " lies beyond the end of the file (%" PRIu64 " bytes)",
             f->remote, f->offset, f->header.size);
    status = kExitUsage;
  }
  return CloseFetchedFile(f, status);
}

// After a failure a new partial file is kept when it holds bytes of a whole
// fetch that 'get -c' can continue, else removed; a continued one stays.
void KeepOrRemovePartial(const Fetch& f, int status) {
  if (f.appending) return;
  if (f.Received() == 0 || options.offset >= 0 || status == kExitIsDirectory ||
      status == kExitUsage) {
    unlink(f.writePath.c_str());
    return;
  }
  Complain("the %" PRIu64 " bytes fetched so far are kept in %s; 'get -c' continues them",
           f.Received(), f.writePath.c_str());
}

// Gives the fetched file its name.
int PutFetchedFileInPlace(Fetch* f) {
  if (rename(f->writePath.c_str(), f->target.c_str()) != 0) {
    Complain("%s: cannot rename the fetched file to %s (%s); it is kept as %s",
             f->writePath.c_str(), f->target.c_str(), strerror(errno), f->writePath.c_str());
    return kExitLocal;
  }
  PrintSummary("received", f->Added(), f->progress.Seconds(), f->remote, f->target.c_str());
  return 0;
}

}  // namespace

int GetFile(const char* remote, const char* local) {
  char clientPath[kPathSize];
  if (!RemotePathToClient(remote, clientPath, sizeof clientPath)) {
    Complain("%s: the remote path is too long or has a character the far side cannot name", remote);
    return kExitUsage;
  }
  uint64_t bytes = 0;
  return FetchFile(clientPath, remote, local, &bytes);
}

int FetchFile(const char* clientPath, const char* remote, const char* local, uint64_t* bytes) {
  Fetch f;
  f.remote = remote;
  if (int status = ChooseFetchTarget(local, &f)) return status;
  if (int status = RequestFetch(clientPath, &f)) return status;
  int status = ReceiveFetchedFrames(&f);
  f.progress.Finish();
  status = CheckFetched(&f, status);
  if (status != 0) {
    KeepOrRemovePartial(f, status);
    return status;
  }
  status = PutFetchedFileInPlace(&f);
  if (status == 0) *bytes += f.Added();
  return status;
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
  if (!ReplyNumber(reply, kReplySize, kMaxSizeReply, &size)) return UnexpectedReply("list", reply);
  if (size > kMaxListingBytes) {
    ReceiveFrame(kAbortBlock, kDataFrameBudgetMs);  // code 13 stops the server's sending
    Complain("%s: the server announces a listing of %" PRIu64
             " bytes, more than the client takes (%" PRIu64 ")",
             shown, size, kMaxListingBytes);
    return kExitProtocol;
  }
  for (int32_t block = 1; listing->size() < size; ++block) {
    const LinkResult result = ReceiveFrame(block, kDataFrameBudgetMs);
    if (result != LinkResult::kOk) return LinkFailure("list", result);
    // Every frame of a listing holds a record at least: an empty one
    // would never bring its end nearer.
    if (FrameLength(indbuf) == 0) {
      Complain("%s: the listing stopped short of the %" PRIu64 " bytes announced", shown, size);
      return kExitProtocol;
    }
    listing->append(reinterpret_cast<const char*>(FramePayload(indbuf)),
                    static_cast<size_t>(FrameLength(indbuf)));
  }
  return 0;
}

void SplitClientPath(const char* clientPath, std::string* directory, std::string* name) {
  const std::string path(clientPath);
  const size_t cut = path.find_last_of('\\');
  *name = cut == std::string::npos ? path : path.substr(cut + 1);
  *directory = cut == std::string::npos ? "" : path.substr(0, cut);
}

int ListRemote(const char* clientDir, std::vector<ListingEntry>* entries, bool* missing) {
  std::string listing;
  if (int status = FetchListing(clientDir, clientDir, &listing, missing)) return status;
  if (!ParseListing(listing, entries)) {
    Complain("list: the listing of %s is malformed", clientDir);
    return kExitProtocol;
  }
  return 0;
}

int RemoteEntrySize(const char* directory, const char* name, bool* found, uint32_t* size) {
  *found = false;
  bool missing = false;
  std::vector<ListingEntry> entries;
  if (int status = ListRemote(directory, &entries, &missing)) return status;
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

}  // namespace

// The server answers the last frame of an upload with its verdict, but a
// refusal (13) stands on the line only for the microseconds until the
// server goes back to its command loop and drives its lines to 0, and an
// empty file travels in no frame at all. So the client looks at the
// server's listing: the file must be there, and in binary mode with the
// size that was sent (in text mode the server's character set decides the
// size).
bool ShowsStored(const std::vector<ListingEntry>& entries, const StoredFile& stored) {
  std::string directory, name;
  SplitClientPath(stored.clientPath.c_str(), &directory, &name);
  const ListingEntry* found = nullptr;
  for (const ListingEntry& e : entries) {
    if (e.name == name) found = &e;
  }
  const char* shown = stored.remotePath.c_str();
  if (found == nullptr) {
    Complain("%s: the server did not store the file (no write permission, or its disk is full)",
             shown);
    return false;
  }
  if (stored.wantSize >= 0 && found->size != static_cast<uint64_t>(stored.wantSize)) {
    Complain("%s: the server holds %" PRIu32 " bytes, not the %" PRId64
             " that were sent (its disk is full?)",
             shown, found->size, stored.wantSize);
    return false;
  }
  return true;
}

namespace {

// One store: the local file, its size on the wire, and where it goes.
struct Store {
  const char* local = nullptr;
  std::string remotePath;  // as the user typed it, a directory with the local name added
  char clientPath[kPathSize] = {};
  FileCloser file;
  WireReader reader;
  struct stat st {};
  uint64_t wireSize = 0;
  uint64_t remoteOffset = 0;  // where the server resumes
};

// Opens the local file and names the remote one.
int OpenStore(const char* local, const char* remote, Store* s) {
  s->local = local;
  s->file.file = fopen(local, "rb");
  if (s->file.file == nullptr || fstat(fileno(s->file.file), &s->st) != 0) {
    Complain("%s: cannot read the local file (%s)", local, strerror(errno));
    return kExitLocal;
  }
  if (!S_ISREG(s->st.st_mode)) {
    Complain("%s: not a regular file", local);
    return kExitLocal;
  }
  s->remotePath = remote;
  if (s->remotePath.empty() || IsPathSeparator(s->remotePath.back())) {
    s->remotePath += PathBaseName(local);
  }
  if (!RemotePathToClient(s->remotePath.c_str(), s->clientPath, sizeof s->clientPath)) {
    Complain("%s: the remote path is too long or has a character the far side cannot name",
             s->remotePath.c_str());
    return kExitUsage;
  }
  return 0;
}

// The size on the wire: the file's, or in text mode its count with CR LF
// line ends and client bytes.
int CountStore(Store* s) {
  s->reader = WireReader{s->file.file};
  s->wireSize = static_cast<uint64_t>(s->st.st_size);
  if (options.text) {
    s->wireSize = 0;
    while (s->reader.Next() >= 0) ++s->wireSize;
    rewind(s->file.file);
    s->reader = WireReader{s->file.file};
  }
  if (s->wireSize > kMaxWireOffset) {
    Complain("%s: too large for the cable's protocol (at most 2 GiB)", s->local);
    return kExitLocal;
  }
  return 0;
}

// "REST ?" after PUT or APUT: the server names where it resumes.
int NegotiateResume(Store* s) {
  if (int status = Command("REST ?")) return status;
  char reply[kCommandBufferSize];
  if (int status = Reply("put", reply, sizeof reply)) return status;
  if (strcmp(reply, kReplyRestError) != 0 &&
      !ReplyNumber(reply, kReplyRestAt, kMaxWireOffset, &s->remoteOffset)) {
    return UnexpectedReply("put", reply);
  }
  if (s->remoteOffset == 0) return 0;
  const int status = CheckResumePoint(s->local, s->clientPath, s->wireSize, s->remoteOffset);
  // "REST ?" left the server's two restart offsets set, and the next upload,
  // by any client, would start from them. A SIZE equal to the offset clears
  // them and touches no file.
  if (status != 0) Command("SIZE %" PRIu64, s->remoteOffset);
  return status;
}

// PUT or APUT, the resume point when resuming, TIME, ATTR and SIZE; then
// the local file is read on from the resume point.
int AnnounceStore(Store* s) {
  if (int status = Command("%s%s", options.text ? "APUT " : "PUT ", s->clientPath)) return status;
  if (options.resume) {
    if (int status = NegotiateResume(s)) return status;
  }
  if (int status = Command("TIME %" PRIu32, FATtime(s->st.st_mtime))) return status;
  if (int status = Command("ATTR %u", AttributeByte(s->st.st_mode, PathBaseName(s->local)))) {
    return status;
  }
  if (int status = Command("SIZE %" PRIu64, s->wireSize)) return status;
  if (!options.text) {
    if (fseeko(s->file.file, static_cast<off_t>(s->remoteOffset), SEEK_SET) != 0) {
      SendAbortFrame();
      Complain("%s: cannot read the local file (%s)", s->local, strerror(errno));
      return kExitLocal;
    }
  } else {
    for (uint64_t i = 0; i < s->remoteOffset; ++i) s->reader.Next();
  }
  if (s->remoteOffset > 0 && !options.quiet) {
    printf("resuming at byte %" PRIu64 " of %" PRIu64 "\n", s->remoteOffset, s->wireSize);
    fflush(stdout);
  }
  return 0;
}

// The status of a data frame the server did not take.
int StoreFrameFailure(const Store& s, LinkResult result, int32_t block) {
  if (result == LinkResult::kRefused && block == 1 && s.remoteOffset > 0) {
    Complain(
        "%s: the server's copy differs from the local file where they overlap; not "
        "resumed (put without -c replaces it)",
        s.local);
    return kExitResumeRefused;
  }
  if (result == LinkResult::kRefused) {
    Complain(
        "%s: the server could not store the file (no write permission, or its disk is "
        "full)",
        s.remotePath.c_str());
    return kExitStoreRefused;
  }
  return LinkFailure("put", result);
}

// Sends the file from the resume point in data frames, counting them in
// `progress`. Ctrl/C, or a file that changed, ends the upload with the
// abort frame.
int SendStoredFrames(Store* s, Progress* progress) {
  const uint64_t total = s->wireSize - s->remoteOffset;
  for (int32_t block = 1; progress->done < total; ++block) {
    if (keyflag) {
      SendAbortFrame();
      Complain("put: interrupted; 'put -c' resumes");
      return kExitInterrupted;
    }
    const uint64_t left = total - progress->done;
    const size_t want = static_cast<size_t>(left < kFileFramePayload ? left : kFileFramePayload);
    const size_t got = ReadWire(&s->file, &s->reader, FramePayload(databuf), want);
    if (got != want) {
      SendAbortFrame();
      Complain("%s: the local file changed while it was sent", s->local);
      return kExitLocal;
    }
    SetFrameLength(databuf, static_cast<int32_t>(got));
    SetFrameBlock(databuf, block);
    const LinkResult result = SendFrame(databuf, nullptr);
    if (result != LinkResult::kOk) return StoreFrameFailure(*s, result, block);
    progress->Add(got);
  }
  return 0;
}

}  // namespace

int PutFile(const char* local, const char* remote) {
  StoredFile stored;
  if (int status = StoreFile(local, remote, &stored)) return status;
  std::string directory, name;
  SplitClientPath(stored.clientPath.c_str(), &directory, &name);
  std::vector<ListingEntry> entries;
  bool missing = false;
  if (int status = ListRemote(directory.c_str(), &entries, &missing)) return status;
  if (!ShowsStored(entries, stored)) return kExitStoreRefused;
  PrintSummary("sent", stored.bytes, stored.seconds, local, stored.remotePath.c_str());
  return 0;
}

int StoreFile(const char* local, const char* remote, StoredFile* stored) {
  Store s;
  if (int status = OpenStore(local, remote, &s)) return status;
  if (int status = CountStore(&s)) return status;
  if (int status = AnnounceStore(&s)) return status;
  Progress progress;
  progress.Start(PathBaseName(local), s.wireSize - s.remoteOffset, options.progress);
  const int status = SendStoredFrames(&s, &progress);
  progress.Finish();
  if (status != 0) return status;
  stored->clientPath = s.clientPath;
  stored->remotePath = s.remotePath;
  // An empty file is empty in every character set: a text store is checked
  // by its size then too (a refused one leaves the old file listed).
  const bool anySize = options.text && s.wireSize > 0;
  stored->wantSize = anySize ? -1 : static_cast<int64_t>(s.wireSize);
  stored->bytes = progress.done;
  stored->seconds = progress.Seconds();
  return 0;
}

void PrintSentLine(const char* local, const StoredFile& stored) {
  PrintSummary("sent", stored.bytes, stored.seconds, local, stored.remotePath.c_str());
}

}  // namespace lpx
