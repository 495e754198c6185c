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
  kExitSomeFailed = 9,      // a many-file get or put: some files did not make it
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
  const char* brief;  // a word or two for the one-screen help
};

// Every status with its meaning, in order, for --help and the manual page.
inline constexpr ExitStatusInfo kExitStatusTable[] = {
    {kExitOk, "success", "ok"},
    {kExitUsage, "bad command line", "usage"},
    {kExitLocal, "a local file cannot be read or written", "local file"},
    {kExitNoPort, "the port (or the simulated cable) cannot be opened", "no port"},
    {kExitNoServer, "the server does not answer (is lpxferd running on that port?)", "no server"},
    {kExitTimeout, "the server stopped answering in the middle of an exchange", "time-out"},
    {kExitLink, "the link failed: a frame was refused, aborted or out of step", "link"},
    {kExitProtocol, "the server sent a reply the client does not understand", "protocol"},
    {kExitIncomplete, "fewer or more bytes arrived than the server announced", "incomplete"},
    {kExitSomeFailed, "many files: some did not make it (each is reported)", "some files failed"},
    {kExitFileError, "FILE ERROR 2: no such remote file, not readable, or not deletable",
     "FILE ERROR 2"},
    {kExitListError, "DIR ERROR 2: the remote directory cannot be listed", "DIR ERROR 2"},
    {kExitMkdirError, "DIR ERROR 1: the remote directory cannot be created", "DIR ERROR 1"},
    {kExitRmdirError, "DIR ERROR 20: the remote directory cannot be removed", "DIR ERROR 20"},
    {kExitRenameError, "RENAME ERROR 2: the remote rename failed", "RENAME ERROR 2"},
    {kExitStoreRefused, "the server could not store the upload", "not stored"},
    {kExitResumeRefused, "resume refused: the two sides' copies differ", "no resume"},
    {kExitIsDirectory, "the remote path is a directory", "a directory"},
    {kExitInterrupted, "interrupted by Ctrl/C", "Ctrl/C"},
};

}  // namespace lpx
