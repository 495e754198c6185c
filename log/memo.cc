#include "log/memo.h"

#include <cstring>

#include "log/console.h"

namespace lpx {

char scratch[kScratchSize];
volatile sig_atomic_t atmLen = 0;
volatile sig_atomic_t atmNL = 1;
ConsoleEncoder consoleEncoder = nullptr;

void ResetMemoState() {
  atmLen = 0;
  atmNL = 1;
  scratch[0] = '\0';
}

namespace {

// Writes a text through scratch: converted for the console when `convert`,
// control bytes as caret escapes when `escape`; text whose converted form
// would not fit goes out in several pieces. Returns the columns it takes.
int32_t Emit(const char* text, bool convert, bool escape) {
  size_t fill = 0;
  int32_t columns = 0;
  for (size_t i = 0; text[i] != '\0'; ++i) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    uint8_t bytes[3] = {c};
    size_t n = 1;
    if (escape && (c < 0x20 || c == 0x7F)) {
      bytes[0] = '^';
      bytes[1] = c ^ 0x40;
      n = 2;
      ++columns;
    } else if (convert && consoleEncoder != nullptr) {
      n = consoleEncoder(c, bytes);
    }
    ++columns;
    if (fill + n > kScratchSize) {
      ConsoleWrite(scratch, fill);
      fill = 0;
    }
    memcpy(scratch + fill, bytes, n);
    fill += n;
  }
  ConsoleWrite(scratch, fill);
  if (fill < kScratchSize) scratch[fill] = '\0';
  return columns;
}

}  // namespace

void AddToMemo(const char* text) {
  if (text[0] == '\n') {
    atmLen = -1;
    if (atmNL) {
      ++text;
      atmLen = 0;
    }
  }
  atmNL = 0;
  atmLen = atmLen + Emit(text, true, false);
}

void AddClientTextToMemo(const char* text) {
  atmNL = 0;
  atmLen = atmLen + Emit(text, true, true);
}

void PrintClientText(const char* text) { Emit(text, false, true); }

void AddToMemoOkay() {
  int32_t n = kOkColumn - (atmLen % kScreenWidth);
  atmLen = 0;
  atmNL = 1;
  if (n < 1) n = 1;
  char line[kOkColumn + 4];
  memset(line, ' ', static_cast<size_t>(n));
  memcpy(line + n, "OK\n", 3);
  ConsoleWrite(line, static_cast<size_t>(n) + 3);
}

}  // namespace lpx
