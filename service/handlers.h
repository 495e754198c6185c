// The command handlers the loop dispatches to. Unless said otherwise they
// return non-zero when the exchange with the client completed (also with an
// error reply) and 0 when the link failed.
#pragma once

#include <cstdint>

namespace lpx {

// LIST: keep-alives while counting, "SIZE n", then numbered data frames.
int ServerListDirectory(const char* clientPath);

// GET (text 0) and AGET (text 1): REST/TIME/ATTR/SIZE replies, then frames.
int ServerUploadFile(const char* clientPath, int32_t restart, int text);

// SIZE: receives the upload. 0 on success; 6 link busy; 1 nothing to
// receive but cannot create, or size equal to a non-zero remote offset;
// otherwise the failing reception's LinkResult as a number.
int ReceiveData(const char* clientPath, int32_t size, int32_t time, int32_t attr, int32_t offset,
                int32_t remote, int text);

// The namespace handlers reply "OK" or their one error reply and return
// whether the reply was delivered. A local path given as nullptr (its mapping
// did not fit) is refused with the error reply.
int ServerSignalConnectOK();
int ServerCreateDirectory(const char* localPath);
int ServerDeleteFile(const char* clientPath);
int ServerRemoveEmptyDirectory(const char* clientPath);
int ServerRenameFile(const char* localFrom, const char* localTo);
void NoWritePermission();

}  // namespace lpx
