// No allocation while serving: this program brings its own malloc, calloc,
// realloc and free (forwarding to the C library's) and counts every call the server makes
// while it serves a session of every command against the client model on
// the fake port. The harness's own work (the fake port and the client
// model, which run inside the platform calls) is not counted.
//
// The C library allocates a FILE when the server opens a stream and a DIR
// when it opens a directory; every stream gets a buffer of the test's own
// at its open, so that its first read or write allocates nothing more. The
// count must therefore be exactly one per open: anything beyond is an
// allocation in the server's paths.
//
// Not built under AddressSanitizer, which brings its own allocator.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "service/disk.h"
#include "shell/startup.h"
#include "testing/server_session.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
}

namespace lpx {
namespace {

// Plain globals: nothing in here may allocate.
bool counting = false;   // inside the window that is counted
bool inHarness = false;  // the fake port or the client model runs
int allocations = 0;
int streamsOpened = 0;
int directoriesOpened = 0;
char buffers[4][BUFSIZ];  // the server holds one stream at a time

// Marks the harness's own work for as long as it lives.
struct Harness {
  Harness() { inHarness = true; }
  ~Harness() { inHarness = false; }
};

// The fake port, and the client model behind it, run outside the count (a
// temporary Harness lives to the end of its statement).
class HarnessPlatform final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  uint8_t In(uint16_t addr) override { return Harness(), PlatformWrapper::In(addr); }
  void Out(uint16_t addr, uint8_t value) override { Harness(), PlatformWrapper::Out(addr, value); }
  void SleepUs(uint32_t us) override { Harness(), PlatformWrapper::SleepUs(us); }
};

FILE* Buffered(FILE* file) {
  if (file != nullptr) setvbuf(file, buffers[streamsOpened++ % 4], _IOFBF, BUFSIZ);
  return file;
}
FILE* OpenRead(const char* path, struct stat* st) { return Buffered(kRealDisk.openRead(path, st)); }
FILE* OpenWrite(const char* path, bool resume) {
  return Buffered(kRealDisk.openWrite(path, resume));
}
DIR* OpenDir(const char* path) {
  DIR* dir = kRealDisk.openDir(path);
  directoriesOpened += dir != nullptr;
  return dir;
}

// Runs the server with the count on, every stream on a buffer of the test's own.
class ServeAllocTest : public ServerSessionTest {
 protected:
  void Serve(ClientModel& client) override {
    LoadTimeZone();  // as start-up does before serving
    HarnessPlatform harness(&port_);
    platform = &harness;
    port_.SetRecording(false);
    disk.openRead = OpenRead;
    disk.openWrite = OpenWrite;
    disk.openDir = OpenDir;
    counting = true;
    client.RunServer();
    counting = false;
  }
};

TEST_F(ServeAllocTest, ASessionOfEveryCommandAllocatesOnlyAStreamOrDirectoryPerOpen) {
  Given({"get.bin=" + std::string(10000, 'b'), "text.txt=line one\nline \x80 two\n",
         "resume.bin=" + std::string(9000, 'r'), "old=old", "empty/"});
  // The resume sends the overlap from 4096 on.
  // clang-format off
  const Replies replies = Run({"CONNECT", "LIST @", "LIST @missing", "GET @get.bin", "REST 5000",
      "GET @get.bin", "AGET @text.txt", "REST 7", "AGET @text.txt", "GET @missing", "PUT @put.bin",
      "TIME 1234567890", "ATTR 32", "SIZE 5", "#hello", "APUT @put.txt", "SIZE 7",
      "#a\r\nb\x80\r\n", "PUT @resume.bin", "REST ?", "SIZE 9000", "#" + std::string(4096, 'r'),
      "#" + std::string(808, 'r'), "APUT @text.txt", "REST ?", "MD @made", "MD @made", "RD @empty",
      "RD @empty", "DEL @old", "DEL @old", "RNFR @put.bin", "RNTO @renamed.bin", "NOSUCH",
      "CONNECT"});
  // clang-format on

  // The session did what it says, so that the count covers every path.
  ASSERT_GE(replies.size(), 20u);
  EXPECT_EQ(replies.back(), "OK A");
  EXPECT_EQ(dir_.Read("renamed.bin"), "hello");
  EXPECT_EQ(dir_.Read("put.txt"), "a\nb\xA4\n");
  EXPECT_EQ(dir_.Read("resume.bin"), std::string(9000, 'r'));
  EXPECT_TRUE(dir_.Exists("made") && !dir_.Exists("empty"));
  EXPECT_TRUE(streamsOpened >= 8 && directoriesOpened >= 2) << streamsOpened << directoriesOpened;
  EXPECT_EQ(allocations, streamsOpened + directoriesOpened) << "allocations in the server's paths";
}

void* Counted(void* p) {
  if (counting && !inHarness) ++allocations;
  return p;
}

}  // namespace
}  // namespace lpx

extern "C" {
void* malloc(size_t size) { return lpx::Counted(__libc_malloc(size)); }
void* calloc(size_t count, size_t size) { return lpx::Counted(__libc_calloc(count, size)); }
void* realloc(void* p, size_t size) { return lpx::Counted(__libc_realloc(p, size)); }
void free(void* p) { __libc_free(p); }
}  // extern "C"
