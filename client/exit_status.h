// The client's exit statuses, one per kind of outcome, described once for
// the help text and the manual page.
#pragma once

namespace lpx {

enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,           // bad command line
  kExitLocal = 2,           // a local file cannot be read or written
  kExitNoPort = 3,          // the port (or the simulated cable) cannot be opened
  kExitNoServer = 4,        // the server does not answer
  kExitTimeout = 5,         // the server stopped answering during an exchange
  kExitLink = 6,            // the link failed: frame refused, aborted or out of step
  kExitProtocol = 7,        // a reply the client does not understand
  kExitIncomplete = 8,      // fewer or more bytes arrived than announced
  kExitFileError = 10,      // "FILE ERROR 2"
  kExitListError = 11,      // "DIR ERROR 2"
  kExitMkdirError = 12,     // "DIR ERROR 1"
  kExitRmdirError = 13,     // "DIR ERROR 20"
  kExitRenameError = 14,    // "RENAME ERROR 2"
  kExitStoreRefused = 15,   // the server refused to store an upload
  kExitResumeRefused = 16,  // a resume does not fit what the far side holds
  kExitIsDirectory = 17,    // a get named a remote directory
  kExitInterrupted = 130,   // Ctrl/C
};

struct ExitStatusInfo {
  int status;
  const char* meaning;
};

// Every status with its meaning, in order, for --help and the manual page.
inline constexpr ExitStatusInfo kExitStatusTable[] = {
    {kExitOk, "success"},
    {kExitUsage, "bad command line"},
    {kExitLocal, "a local file cannot be read or written"},
    {kExitNoPort, "the port (or the simulated cable) cannot be opened"},
    {kExitNoServer, "the server does not answer (is lpxferd running on that port?)"},
    {kExitTimeout, "the server stopped answering in the middle of an exchange"},
    {kExitLink, "the link failed: a frame was refused, aborted or out of step"},
    {kExitProtocol, "the server sent a reply the client does not understand"},
    {kExitIncomplete, "fewer or more bytes arrived than the server announced"},
    {kExitFileError, "FILE ERROR 2: no such remote file, not readable, or not deletable"},
    {kExitListError, "DIR ERROR 2: the remote directory cannot be listed"},
    {kExitMkdirError, "DIR ERROR 1: the remote directory cannot be created"},
    {kExitRmdirError, "DIR ERROR 20: the remote directory cannot be removed"},
    {kExitRenameError, "RENAME ERROR 2: the remote rename failed"},
    {kExitStoreRefused, "the server could not store the upload"},
    {kExitResumeRefused, "resume refused: the two sides' copies differ"},
    {kExitIsDirectory, "the remote path is a directory"},
    {kExitInterrupted, "interrupted by Ctrl/C"},
};

}  // namespace lpx
