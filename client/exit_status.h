// The client's exit statuses, one per kind of outcome (the manual page
// describes each).
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

}  // namespace lpx
