#include "service/disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace lpx {

namespace {

// Opens a regular file and nothing else. The type is looked at before the
// open: a FIFO would block the open, a terminal would become the controlling
// terminal of a server that has none, and some devices act on being opened.
// Should the path change between the look and the open, O_NONBLOCK and
// O_NOCTTY keep the open harmless, and fstat must find the very file looked
// at (or, with O_CREAT, a file this call created). O_NONBLOCK is cleared
// again for the reads and writes.
int OpenRegularFd(const char* path, int flags, struct stat* status) {
  struct stat seen;
  const bool missing = stat(path, &seen) != 0;
  if (missing ? errno != ENOENT || (flags & O_CREAT) == 0 : !S_ISREG(seen.st_mode)) return -1;
  flags = missing ? flags | O_EXCL : flags & ~O_CREAT;
  const int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  const int kept = fcntl(fd, F_GETFL);
  if (fstat(fd, status) != 0 || !S_ISREG(status->st_mode) ||
      (!missing && (status->st_dev != seen.st_dev || status->st_ino != seen.st_ino)) || kept < 0 ||
      fcntl(fd, F_SETFL, kept & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

FILE* RealOpenRead(const char* path, struct stat* status) {
  const int fd = OpenRegularFd(path, O_RDONLY, status);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

FILE* RealOpenWrite(const char* path, bool resume) {
  struct stat status;
  const int fd = OpenRegularFd(path, resume ? O_RDWR : O_WRONLY | O_CREAT, &status);
  if (fd < 0) return nullptr;
  if (!resume && ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, resume ? "r+b" : "wb");
  if (file == nullptr) close(fd);
  return file;
}

int RealTruncateFile(FILE* file, off_t length) {
  return fflush(file) != 0 ? -1 : ftruncate(fileno(file), length);
}
int RealFileStatus(FILE* file, struct stat* status) { return fstat(fileno(file), status); }
int RealPathStatus(const char* path, struct stat* status) { return stat(path, status); }
DIR* RealOpenDir(const char* path) { return opendir(path); }
struct dirent* RealReadDir(DIR* dir) {
  return readdir(dir);
}
int RealCloseDir(DIR* dir) { return closedir(dir); }
int RealSetTimes(const char* path, const struct utimbuf* times) { return utime(path, times); }
mode_t RealSetUmask(mode_t mask) { return umask(mask); }
int RealMakeDir(const char* path, mode_t mode) { return mkdir(path, mode); }
int RealChangeDir(const char* path) { return chdir(path); }
int RealRemoveFile(const char* path) { return remove(path); }
int RealRemoveDir(const char* path) { return rmdir(path); }
int RealRenamePath(const char* from, const char* to) { return rename(from, to); }

constexpr DiskOps kReal = {
    RealOpenRead, RealOpenWrite, RealTruncateFile, RealFileStatus, RealPathStatus,
    RealOpenDir,  RealReadDir,   RealCloseDir,     RealSetTimes,   RealSetUmask,
    RealMakeDir,  RealChangeDir, RealRemoveFile,   RealRemoveDir,  RealRenamePath,
};

}  // namespace

// Both constant-initialized: usable before any constructor runs.
const DiskOps kRealDisk = kReal;
DiskOps disk = kReal;

void ResetDiskOps() { disk = kRealDisk; }

}  // namespace lpx
