// The command loop: waits for the client's busy line, receives one command
// message, echoes it, dispatches it on its command key, and keeps the state
// that command sequences (PUT/APUT, REST, TIME, ATTR, SIZE; RNFR, RNTO)
// build up between commands.
#include "service/command_loop.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "convert/charset.h"
#include "convert/path.h"
#include "link/command.h"
#include "link/port.h"
#include "log/console.h"
#include "log/memo.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "service/text_count.h"
#include "service/transfer_state.h"

namespace lpx {

char recName[kNameStateSize];
char renamedFrom[kNameStateSize];
int32_t restartOffset = 0;
int32_t remoteOffset = 0;
int32_t fileTime = -1;
int32_t fileAttr = -1;
int textMode = 0;
int8_t lastResult = 0;

namespace {

char s[kCommandBufferSize];        // the command line being handled
bool renameSourceRefused = false;  // the last RNFR named a path that does not fit

// Every argument of a received line fits the name buffers, so a pending
// upload name is never cut.
static_assert(kCommandBufferSize <= kNameStateSize);

// A resumed upload restarts at least this far before the end of what is
// stored, on a boundary of kRestartGranule bytes.
constexpr int64_t kRestartOverlap = 4096;
constexpr int64_t kRestartGranule = 1024;

// The first and third characters as signed bytes. Characters behind the
// terminator count as 0, so a short line never reads what an earlier,
// longer line left in the buffer.
constexpr int CommandKey(const char* line) {
  int first = static_cast<signed char>(line[0]);
  int third = (line[0] != '\0' && line[1] != '\0') ? static_cast<signed char>(line[2]) : 0;
  return first + third;
}

// TIME and ATTR lines, and any other line with their keys, are not echoed.
constexpr int kTimeKey = CommandKey("TIME ");
constexpr int kAttrKey = CommandKey("ATTR ");

bool CopyText(char* destination, size_t size, const char* text) {
  size_t length = strlen(text);
  if (length >= size) {
    destination[0] = '\0';
    return false;
  }
  memcpy(destination, text, length + 1);
  return true;
}

// Turns a handler's "exchange completed" flag into the last result.
int8_t ExchangeResult(int completed) { return completed ? 1 : -1; }

void LogTransferOutcome(bool ok, const char* failure) {
  if (ok) {
    AddToMemoOkay();
  } else {
    AddToMemo(failure);
  }
}

void ClearUploadState() {
  textMode = 0;
  recName[0] = '\0';
  fileTime = -1;
  fileAttr = -1;
  restartOffset = 0;
  remoteOffset = 0;
}

// --- The commands ---------------------------------------------------------
// Each receives the rest of the line after its command text.

// A new session starts as on a freshly started server: nothing that an
// earlier client left behind (a restart offset, a rename source, a pending
// upload with its time, attributes and text mode, the code page detection)
// acts on this client's commands.
void CommandConnect(const char*) {
  ResetCommandState();
  int delivered = ServerSignalConnectOK();
  lastResult = ExchangeResult(delivered);
  if (delivered) AddToMemo("ION ESTABLISHED\t\t\t\tOK");
}

void CommandList(const char* path) {
  textMode = 0;
  int completed = ServerListDirectory(path);
  lastResult = ExchangeResult(completed);
  LogTransferOutcome(completed, "\nLIST FAILED");
  abortClicked = 0;
}

void Download(const char* path, int text) {
  int completed = ServerUploadFile(path, restartOffset, text);
  restartOffset = 0;
  remoteOffset = 0;
  lastResult = ExchangeResult(completed);
  LogTransferOutcome(completed, "\nDOWNLOAD FAILED");
  abortClicked = 0;
}

void CommandGet(const char* path) { Download(path, 0); }
void CommandAget(const char* path) { Download(path, 1); }

void PendUpload(const char* path, int text) {
  CopyText(recName, sizeof recName, path);  // always fits, see the static_assert
  fileTime = -1;
  fileAttr = -1;
  textMode = text;
  // A new upload starts at its beginning unless a "REST ?" follows: offsets
  // left over from an earlier client that stopped after its REST would
  // otherwise place this upload's data at a stranger's offset.
  restartOffset = 0;
  remoteOffset = 0;
}

void CommandPut(const char* path) { PendUpload(path, 0); }

void CommandAput(const char* path) {
  PendUpload(path, 1);
  DOSmode = 0;
}

void CommandTime(const char* value) { fileTime = StrToInt(value); }
void CommandAttr(const char* value) { fileAttr = StrToInt(value); }

// REST with "?": where the pending upload resumes. Replies "REST=n" with the
// wire offset, or "REST ERROR 2".
void AnswerRestartQuestion() {
  if (recName[0] == '\0') {
    RemoteSendCommand(kReplyRestError);
    return;
  }
  const char* local = FormatUnixName(recName);
  ci = 0;
  // Only a regular file can be resumed; anything else (a FIFO would block
  // the server until a writer came) counts as not there.
  fi = local != nullptr ? disk.openRead(local, &fprops) : nullptr;
  if (fi == nullptr) {
    RemoteSendCommand(kReplyRestError);
    return;
  }

  int64_t offset =
      (static_cast<int64_t>(fprops.st_size) - kRestartOverlap) & ~(kRestartGranule - 1);
  if (offset < 0) offset = 0;
  int32_t local32 = -1;  // a stored file beyond 32-bit offsets cannot resume
  int32_t remote32 = -1;
  if (offset <= INT32_MAX) {
    local32 = static_cast<int32_t>(offset);
    remote32 = local32;
    if (textMode && local32 != 0) {
      remote32 = GetRestartAtRemote(local32);
      // The count ends on a character boundary: in UTF-8 that can lie a few
      // bytes past the requested offset, and the upload must resume there.
      long position = ftell(fi);
      if (position < 0 || position > INT32_MAX) remote32 = -1;
      local32 = static_cast<int32_t>(position);
    }
  }
  fclose(fi);
  fi = nullptr;

  if (remote32 < 0) {
    restartOffset = 0;
    remoteOffset = 0;
    RemoteSendCommand(kReplyRestError);
    return;
  }
  restartOffset = local32;
  remoteOffset = remote32;
  char reply[32];
  int n = snprintf(reply, sizeof reply, "%s%lu", kReplyRestAt,
                   static_cast<unsigned long>(remoteOffset));
  if (n < 0 || static_cast<size_t>(n) >= sizeof reply) return;
  RemoteSendCommand(reply);
}

void CommandRest(const char* argument) {
  if (argument[0] == '?') {
    AnswerRestartQuestion();
    return;
  }
  // An offset that is not a whole number, or a negative one, fetches from
  // the start.
  int32_t offset = StrToInt(argument);
  restartOffset = offset < 0 ? 0 : offset;
}

void CommandSize(const char* value) {
  int failed = ReceiveData(recName, StrToInt(value), fileTime, fileAttr, restartOffset,
                           remoteOffset, textMode);
  lastResult = failed == 0 ? 1 : -1;
  LogTransferOutcome(failed == 0, "\nUPLOAD FAILED");
  ClearUploadState();
  abortClicked = 0;
}

void CommandDelete(const char* path) { lastResult = ExchangeResult(ServerDeleteFile(path)); }

void CommandMakeDirectory(const char* path) {
  lastResult = ExchangeResult(ServerCreateDirectory(FormatUnixName(path)));
}

void CommandRemoveDirectory(const char* path) {
  lastResult = ExchangeResult(ServerRemoveEmptyDirectory(path));
}

void CommandRenameFrom(const char* path) {
  const char* local = FormatUnixName(path);
  renameSourceRefused = local == nullptr || !CopyText(renamedFrom, sizeof renamedFrom, local);
  if (renameSourceRefused) renamedFrom[0] = '\0';
}

void CommandRenameTo(const char* path) {
  if (renamedFrom[0] == '\0' && !renameSourceRefused) {
    lastResult = -1;
    return;
  }
  // A refused source reaches the handler as nullptr and gets its error reply.
  const char* from = renameSourceRefused ? nullptr : renamedFrom;
  lastResult = ExchangeResult(ServerRenameFile(from, FormatUnixName(path)));
}

// --- The command table ----------------------------------------------------

struct Command {
  const char* text;  // the full command text, trailing blank included
  int key;
  void (*run)(const char* argument);
};

constexpr Command kCommands[] = {
    {"CONNECT", CommandKey("CONNECT"), CommandConnect},
    {"LIST ", CommandKey("LIST "), CommandList},
    {"GET ", CommandKey("GET "), CommandGet},
    {"AGET ", CommandKey("AGET "), CommandAget},
    {"PUT ", CommandKey("PUT "), CommandPut},
    {"APUT ", CommandKey("APUT "), CommandAput},
    {"TIME ", CommandKey("TIME "), CommandTime},
    {"ATTR ", CommandKey("ATTR "), CommandAttr},
    {"REST ", CommandKey("REST "), CommandRest},
    {"SIZE ", CommandKey("SIZE "), CommandSize},
    {"DEL ", CommandKey("DEL "), CommandDelete},
    {"MD ", CommandKey("MD "), CommandMakeDirectory},
    {"RD ", CommandKey("RD "), CommandRemoveDirectory},
    {"RNFR ", CommandKey("RNFR "), CommandRenameFrom},
    {"RNTO ", CommandKey("RNTO "), CommandRenameTo},
};

constexpr bool KeysAreDistinct() {
  for (const Command& a : kCommands) {
    for (const Command& b : kCommands) {
      if (&a != &b && a.key == b.key) return false;
    }
  }
  return true;
}
static_assert(KeysAreDistinct(), "the dispatcher branches on the key alone");
static_assert(CommandKey("CONNECT") == 145 && CommandKey("MD ") == 109 &&
              CommandKey("SIZE ") == 173 && kTimeKey == 161 && kAttrKey == 149);

const Command* FindCommand(const char* line) {
  const int key = CommandKey(line);
  for (const Command& command : kCommands) {
    if (command.key != key) continue;
    size_t length = strlen(command.text);
    return strncmp(line, command.text, length) == 0 ? &command : nullptr;
  }
  return nullptr;
}

// A line that is no command, or no line at all: say so, show the client the
// connection-error signal, and go on (or stop after a Ctrl/C).
void RecoverFromUnknownCommand() {
  AddToMemo("\nStill trying...");
  if (s[0] != '\0') {
    // Outside the log's conversion and column count.
    ConsoleWrite(" [", 2);
    PrintClientText(s);
    AddToMemo("]");
  }
  SignalConnectionError();
  WritePort(static_cast<uint16_t>(portaddr), 0);
  abortClicked = keyflag;
}

void HandleCommandLine() {
  const int key = CommandKey(s);
  if (s[0] != '\0' && key != kTimeKey && key != kAttrKey) {
    AddToMemo("\n");
    AddClientTextToMemo(s);
  }
  const Command* command = FindCommand(s);
  if (command == nullptr) {
    RecoverFromUnknownCommand();
    return;
  }
  command->run(s + strlen(command->text));
}

}  // namespace

void ResetCommandState() {
  ClearUploadState();
  DOSmode = 0;
  renamedFrom[0] = '\0';
  renameSourceRefused = false;
  lastResult = 0;
  s[0] = '\0';
}

int32_t StrToInt(const char* text) {
  // Read as a 32-bit strtoul would: a magnitude beyond 32 bits saturates to
  // 4294967295, a minus sign negates modulo 2^32.
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (*end != '\0') return -1;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  unsigned long long magnitude = negative ? 0ULL - value : value;
  uint32_t result = UINT32_MAX;
  if (errno != ERANGE && magnitude <= UINT32_MAX) {
    result = static_cast<uint32_t>(magnitude);
    if (negative) result = 0U - result;
  }
  return static_cast<int32_t>(result);
}

int32_t GetRestartAtRemote(int32_t n) {
  TextCount count = StartTextCount();
  // With ci at EOF the file was read to its end already: nothing to count.
  if (ci != EOF && n > 0 && !CountText(&count, static_cast<uint64_t>(n), kWholeFile)) return -1;
  return count.wire <= INT32_MAX ? static_cast<int32_t>(count.wire) : -1;
}

void DoServer() {
  ResetCommandState();
  SendDisableInterrupts();
  WritePort(static_cast<uint16_t>(portaddr), 0);
  abortClicked = 0;

  while (!abortClicked) {
    s[0] = '\0';
    if (WaitForStatusBit()) {
      lastResult = static_cast<int8_t>(ReceiveCommandString(s));
      if (!abortClicked) HandleCommandLine();
      s[0] = '\0';
    }
    if (lastResult == -1) WritePort(static_cast<uint16_t>(portaddr), 0);
  }
}

}  // namespace lpx
