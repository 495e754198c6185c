#include "log/console.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace lpx {
namespace {
int consoleFd = STDOUT_FILENO;  // where console bytes go; a memfd while a test captures
}  // namespace

void ConsoleWrite(const char* bytes, size_t n) {
  while (n > 0) {
    ssize_t done = write(consoleFd, bytes, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return;  // output errors on the console are not reported
    }
    bytes += done;
    n -= static_cast<size_t>(done);
  }
}

void ConsolePrintf(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int len = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (len < 0) return;
  size_t n = static_cast<size_t>(len) < sizeof line ? static_cast<size_t>(len) : sizeof line - 1;
  ConsoleWrite(line, n);
}

int ConsoleFd() { return consoleFd; }

void ConsoleUseFd(int fd) { consoleFd = fd; }

void ConsoleCaptureStart() {
  if (consoleFd != STDOUT_FILENO) return;
  int fd = memfd_create("lpx-console", MFD_CLOEXEC);
  if (fd >= 0) consoleFd = fd;
}

std::string ConsoleCaptureTake() {
  std::string out;
  if (consoleFd == STDOUT_FILENO) return out;
  off_t end = lseek(consoleFd, 0, SEEK_END);
  if (end > 0) {
    out.resize(static_cast<size_t>(end));
    if (pread(consoleFd, out.data(), out.size(), 0) != end) out.clear();
  }
  if (ftruncate(consoleFd, 0) == 0) lseek(consoleFd, 0, SEEK_SET);
  return out;
}

void ConsoleCaptureStop() {
  if (consoleFd == STDOUT_FILENO) return;
  close(consoleFd);
  consoleFd = STDOUT_FILENO;
}

}  // namespace lpx
