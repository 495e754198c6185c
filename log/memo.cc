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

size_t ConsoleForm(uint8_t c, ConsoleEncoder encode, bool escape, uint8_t out[kMaxConsoleForm],
                   int32_t* columns) {
  size_t n = 1;
  out[0] = c;
  if (escape && (c < 0x20 || c == 0x7F)) {
    out[0] = '^';
    out[1] = c ^ 0x40;
    n = 2;
    ++*columns;
  } else if (encode != nullptr) {
    n = encode(c, out);
  }
  // A C1 control (0x80-0x9F, alone or as UTF-8) starts escape sequences
  // on some terminals too: shown as M-^ and its low seven bits' caret.
  const uint8_t last = out[n - 1];
  if (escape && last >= 0x80 && last <= 0x9F && (n == 1 || out[0] == 0xC2)) {
    memcpy(out, "M-^", 3);
    out[3] = static_cast<uint8_t>((last & 0x7F) ^ 0x40);
    n = 4;
    *columns += 3;
  }
  ++*columns;
  return n;
}

namespace {

// Writes a text through scratch, each byte in its console form; text whose
// converted form would not fit goes out in several pieces. Returns the
// columns it takes.
int32_t Emit(const char* text, bool convert, bool escape) {
  const ConsoleEncoder encode = convert ? consoleEncoder : nullptr;
  size_t fill = 0;
  int32_t columns = 0;
  for (size_t i = 0; text[i] != '\0'; ++i) {
    uint8_t bytes[kMaxConsoleForm];
    const size_t n = ConsoleForm(static_cast<uint8_t>(text[i]), encode, escape, bytes, &columns);
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
