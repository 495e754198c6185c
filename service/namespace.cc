// The namespace operations: MD, DEL, RD, RNTO, and the answer to CONNECT.
// Each makes one file system call and sends one reply; a failure also gets a
// console line. The cause the system gives is not examined.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "convert/path.h"
#include "link/command.h"
#include "log/memo.h"
#include "service/disk.h"
#include "service/handlers.h"

namespace lpx {

namespace {

// A path whose local form does not fit the server's buffers reaches the
// handlers as nullptr; it is refused, never cut.
void PathTooLong() { AddToMemo("\nPath too long -- refused"); }

}  // namespace

void NoWritePermission() { AddToMemo("\nProbably no write permission in parent directory"); }

int ServerSignalConnectOK() { return RemoteSendCommand(kReplyConnected); }

int ServerCreateDirectory(const char* localPath) {
  if (localPath == nullptr) {
    PathTooLong();
    return RemoteSendCommand(kReplyMkdirError);
  }
  // The owner always gets write and search permission, whatever the mask
  // says. The mask can only be read by setting it, so it is put back at once.
  const mode_t mask = disk.setUmask(0);
  const int made = disk.makeDir(localPath, static_cast<mode_t>((0777 & ~mask) | 0300));
  disk.setUmask(mask);
  // Entering the new directory changes nothing for later commands: every
  // path the server uses is absolute.
  if (made != 0 || disk.changeDir(localPath) != 0) {
    AddToMemo("\n(a) No write permission in parent directory, or");
    AddToMemo("\n(b) File exists but is not a directory");
    return RemoteSendCommand(kReplyMkdirError);
  }
  return RemoteSendCommand(kReplyOk);
}

namespace {

// Removes what `clientPath` names with `remove` and answers "OK" or
// `errorReply`.
int RemoveAndReply(const char* clientPath, int (*remove)(const char*), const char* errorReply) {
  const char* local = FormatUnixName(clientPath);
  if (local == nullptr) {
    PathTooLong();
    return RemoteSendCommand(errorReply);
  }
  if (remove(local) != 0) {
    NoWritePermission();
    return RemoteSendCommand(errorReply);
  }
  return RemoteSendCommand(kReplyOk);
}

}  // namespace

int ServerDeleteFile(const char* clientPath) {
  return RemoveAndReply(clientPath, disk.removeFile, kReplyFileError);
}

int ServerRemoveEmptyDirectory(const char* clientPath) {
  return RemoveAndReply(clientPath, disk.removeDir, kReplyRmdirError);
}

int ServerRenameFile(const char* localFrom, const char* localTo) {
  if (localFrom == nullptr || localTo == nullptr) {
    PathTooLong();
    return RemoteSendCommand(kReplyRenameError);
  }
  if (disk.renamePath(localFrom, localTo) != 0) {
    NoWritePermission();
    return RemoteSendCommand(kReplyRenameError);
  }
  return RemoteSendCommand(kReplyOk);
}

}  // namespace lpx
