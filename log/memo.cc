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

void AddToMemo(const char* text) {
  if (text[0] == '\n') {
    atmLen = -1;
    if (atmNL) {
      ++text;
      atmLen = 0;
    }
  }
  atmNL = 0;
  size_t len = strlen(text);
  atmLen = atmLen + static_cast<int32_t>(len);

  // Convert into scratch and write; a text whose converted form would not
  // fit goes out in several pieces.
  size_t fill = 0;
  for (size_t i = 0; i < len; ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    uint8_t bytes[3] = {c};
    const size_t n = consoleEncoder != nullptr ? consoleEncoder(c, bytes) : 1;
    if (fill + n > kScratchSize) {
      ConsoleWrite(scratch, fill);
      fill = 0;
    }
    memcpy(scratch + fill, bytes, n);
    fill += n;
  }
  ConsoleWrite(scratch, fill);
  if (fill < kScratchSize) scratch[fill] = '\0';
}

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
