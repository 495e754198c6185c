// No allocation while serving: this program brings its own malloc, calloc,
// realloc, memalign and free (they forward to the C library's) and counts
// every call the server makes while it serves a session of every command
// against the client model on the fake port. What the harness does (the
// fake port, the client model, which run inside the platform calls) is not
// counted.
//
// The C library's streams allocate when a file or a directory is opened: a
// FILE and its buffer for fdopen, a DIR for opendir. Their sizes are
// measured first, and each counted allocation must be one of them, at most
// two per stream and one per directory that the server opened. Anything
// else is an allocation in the server's paths.
//
// Not built under AddressSanitizer, which brings its own allocator.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/disk.h"
#include "shell/startup.h"
#include "testing/server_session.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

// --- The count (plain globals: no allocation may happen in here) -----------
constexpr int kMaxRecorded = 256;
bool counting = false;        // inside the window that is counted
int harnessDepth = 0;         // > 0 while the harness runs
int allocations = 0;          // allocations counted
size_t sizes[kMaxRecorded];   // their sizes, as far as they fit
void* callers[kMaxRecorded];  // and their callers

void Count(size_t size, void* caller) {
  if (!counting || harnessDepth > 0) return;
  if (allocations < kMaxRecorded) {
    sizes[allocations] = size;
    callers[allocations] = caller;
  }
  ++allocations;
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  Count(size, __builtin_return_address(0));
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  Count(count * size, __builtin_return_address(0));
  return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
  Count(size, __builtin_return_address(0));
  return __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size) {
  Count(size, __builtin_return_address(0));
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void free(void* p) { __libc_free(p); }

}  // extern "C"

namespace lpx {
namespace {

// Marks the harness's own work, which runs inside the platform calls.
struct Harness {
  Harness() { ++harnessDepth; }
  ~Harness() { --harnessDepth; }
};

class CountingPlatform final : public PlatformWrapper {
 public:
  explicit CountingPlatform(FakePort& port) : PlatformWrapper(&port) {}
  uint8_t In(uint16_t addr) override {
    Harness h;
    return PlatformWrapper::In(addr);
  }
  void Out(uint16_t addr, uint8_t value) override {
    Harness h;
    PlatformWrapper::Out(addr, value);
  }
  bool Permit(uint16_t base) override {
    Harness h;
    return PlatformWrapper::Permit(base);
  }
  void SleepUs(uint32_t us) override {
    Harness h;
    PlatformWrapper::SleepUs(us);
  }
  TimeB Now() override {
    Harness h;
    return PlatformWrapper::Now();
  }
};

// Opens that may allocate, counted through the file-system seam.
int streamsOpened = 0;
int directoriesOpened = 0;

FILE* CountedOpenRead(const char* path, struct stat* status) {
  FILE* file = kRealDisk.openRead(path, status);
  if (file != nullptr) ++streamsOpened;
  return file;
}
FILE* CountedOpenWrite(const char* path, bool resume) {
  FILE* file = kRealDisk.openWrite(path, resume);
  if (file != nullptr) ++streamsOpened;
  return file;
}
DIR* CountedOpenDir(const char* path) {
  DIR* dir = kRealDisk.openDir(path);
  if (dir != nullptr) ++directoriesOpened;
  return dir;
}

class ServeAllocTest : public ServerSessionTest {
 protected:
  void SetUp() override {
    ServerSessionTest::SetUp();
    platform = &counting_;
    disk = kRealDisk;
    disk.openRead = CountedOpenRead;
    disk.openWrite = CountedOpenWrite;
    disk.openDir = CountedOpenDir;
  }

  // The sizes the C library allocates for a stream (FILE, buffer) and for
  // a directory, learnt from opening them as the server does.
  std::vector<size_t> StreamSizes() {
    EXPECT_TRUE(dir_.Write("probe", "probe"));
    const std::string path = dir_.Local("probe");
    Start();
    struct stat status;
    FILE* in = kRealDisk.openRead(path.c_str(), &status);
    if (in != nullptr) {
      getc(in);
      fclose(in);
    }
    FILE* out = kRealDisk.openWrite(path.c_str(), false);
    if (out != nullptr) {
      putc('x', out);
      fclose(out);
    }
    DIR* dir = kRealDisk.openDir(dir_.path().c_str());
    if (dir != nullptr) {
      readdir(dir);
      closedir(dir);
    }
    Stop();
    return Recorded();
  }

  void Start() {
    allocations = 0;
    counting = true;
  }
  void Stop() { counting = false; }
  std::vector<size_t> Recorded() const {
    const int n = allocations < kMaxRecorded ? allocations : kMaxRecorded;
    return std::vector<size_t>(sizes, sizes + n);
  }

  CountingPlatform counting_{port_};
};

TEST_F(ServeAllocTest, ASessionOfEveryCommandAllocatesOnlyForOpenedFiles) {
  const std::vector<size_t> allowed = StreamSizes();
  ASSERT_FALSE(allowed.empty());

  ASSERT_TRUE(dir_.Write("get.bin", std::string(10000, 'b')));
  ASSERT_TRUE(dir_.Write("text.txt", "line one\nline \x80 two\n"));
  ASSERT_TRUE(dir_.Write("resume.bin", std::string(9000, 'r')));
  ASSERT_TRUE(dir_.Write("old", "old"));
  ASSERT_TRUE(dir_.MakeDir("empty"));
  using Lines = std::vector<std::string>;
  auto send = [this](const Lines& lines) {
    for (const std::string& line : lines) Client().Send(line);
  };
  send({"CONNECT", "LIST " + dir_.Client(""), "LIST " + dir_.Client("missing"),
        "GET " + dir_.Client("get.bin"), "REST 5000", "GET " + dir_.Client("get.bin"),
        "AGET " + dir_.Client("text.txt"), "REST 7", "AGET " + dir_.Client("text.txt"),
        "GET " + dir_.Client("missing"), "PUT " + dir_.Client("put.bin"), "TIME 1234567890",
        "ATTR 32", "SIZE 5"});
  Client().SendData(1, "hello");
  send({"APUT " + dir_.Client("put.txt"), "SIZE 7"});
  Client().SendData(1, "a\r\nb\x80\r\n");
  send({"PUT " + dir_.Client("resume.bin"), "REST ?", "SIZE 9000"});
  Client().SendData(1, std::string(4096, 'r'));  // the overlap from 4096 on
  Client().SendData(2, std::string(808, 'r'));
  send({"APUT " + dir_.Client("text.txt"), "REST ?", "MD " + dir_.Client("made"),
        "MD " + dir_.Client("made"), "RD " + dir_.Client("empty"), "RD " + dir_.Client("empty"),
        "DEL " + dir_.Client("old"), "DEL " + dir_.Client("old"), "RNFR " + dir_.Client("put.bin"),
        "RNTO " + dir_.Client("renamed.bin"), "NOSUCH", "CONNECT"});

  LoadTimeZone();  // as start-up does before serving
  streamsOpened = 0;
  directoriesOpened = 0;
  keyflag = 0;
  Start();
  Client().RunServer();
  Stop();
  const Replies replies = Client().Replies();
  EXPECT_FALSE(Client().TimedOut());

  // The session did what it says, so that the count covers every path.
  ASSERT_GE(replies.size(), 20u);
  EXPECT_EQ(replies.back(), "OK A");
  EXPECT_EQ(dir_.Read("renamed.bin"), "hello");
  EXPECT_EQ(dir_.Read("put.txt"), "a\nb\xA4\n");
  EXPECT_EQ(dir_.Read("resume.bin"), std::string(9000, 'r'));
  EXPECT_TRUE(dir_.Exists("made"));
  EXPECT_FALSE(dir_.Exists("empty"));
  EXPECT_GE(streamsOpened, 8);
  EXPECT_GE(directoriesOpened, 2);

  const std::vector<size_t> seen = Recorded();
  std::string report;
  for (int i = 0; i < allocations && i < kMaxRecorded; ++i) {
    bool known = false;
    for (size_t size : allowed) known = known || size == seen[i];
    if (!known) {
      char line[96];
      snprintf(line, sizeof line, "\n  %zu bytes from %p", seen[i], callers[i]);
      report += line;
    }
  }
  EXPECT_TRUE(report.empty()) << "allocations in the server's paths:" << report;
  printf("served %zu replies: %d allocations, for %d streams and %d directories opened\n",
         replies.size(), allocations, streamsOpened, directoriesOpened);
  EXPECT_LE(allocations, 2 * streamsOpened + directoriesOpened)
      << streamsOpened << " streams, " << directoriesOpened << " directories";
}

}  // namespace
}  // namespace lpx
