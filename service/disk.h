// The file-system seam of the service: every call the handlers make on
// paths, directories and the opening of files goes through `disk`, so that
// tests and fuzzers can put fakes in its place (nothing real is touched
// then). Reading and writing an open stream stays with the C library's
// stream functions, which also work on fmemopen streams.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

#include <cstdio>

namespace lpx {

struct DiskOps {
  // Opens a regular file for reading and fills `status` from it. Anything
  // else (a directory, a FIFO, a device) is refused with nullptr without
  // being opened: its size says nothing about what a read delivers, a FIFO
  // would block, and a device may act on the open.
  FILE* (*openRead)(const char* path, struct stat* status);
  // Opens a regular file for an upload: `resume` false creates it when
  // missing and empties it; `resume` true opens it for reading and writing
  // as it stands and never creates it. nullptr, without an open, for
  // anything else.
  FILE* (*openWrite)(const char* path, bool resume);
  // Flushes an open stream and sets its file's length (ftruncate).
  int (*truncateFile)(FILE* file, off_t length);
  // The status of an open stream (fstat of its descriptor).
  int (*fileStatus)(FILE* file, struct stat* status);
  // The status of a path, symbolic links followed (stat).
  int (*pathStatus)(const char* path, struct stat* status);
  DIR* (*openDir)(const char* path);
  struct dirent* (*readDir)(DIR* dir);
  int (*closeDir)(DIR* dir);
  int (*setTimes)(const char* path, const struct utimbuf* times);
  mode_t (*setUmask)(mode_t mask);
  int (*makeDir)(const char* path, mode_t mode);
  int (*changeDir)(const char* path);
  int (*removeFile)(const char* path);
  int (*removeDir)(const char* path);
  int (*renamePath)(const char* from, const char* to);
};

// The operations in use; the real ones unless a test replaced them.
extern DiskOps disk;

// The real operations.
extern const DiskOps kRealDisk;

// Puts the real operations back.
void ResetDiskOps();

}  // namespace lpx
