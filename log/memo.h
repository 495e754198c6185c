// The console log: messages with a column count, and "OK" in column 48.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace lpx {

// "OK" closes a console line in this column of an 80-column screen.
constexpr int32_t kOkColumn = 48;
constexpr int32_t kScreenWidth = 80;

constexpr size_t kScratchSize = 750;
extern char scratch[kScratchSize];  // shared working buffer of the program
// The two counters are also touched by the Ctrl/C handler, hence
// sig_atomic_t (a 32-bit int here).
extern volatile sig_atomic_t atmLen;  // characters on the current screen line
extern volatile sig_atomic_t atmNL;   // 1 when the log stands at the start of a line

// Turns one byte of the client's character set into the console's: at most
// three bytes into `out`, returns how many. Start-up sets it to the
// conversions' ClientByteToLocal; unset, bytes go out as they are.
using ConsoleEncoder = size_t (*)(uint8_t c, uint8_t out[3]);
extern ConsoleEncoder consoleEncoder;

void ResetMemoState();

// Appends a message. A leading line end is dropped when the log stands at
// the start of a line. The text is in the client's character set and is
// converted for the console (euro exchange, or UTF-8 in variant C); text
// that would not fit `scratch` after conversion is written in pieces, never
// past the buffer.
void AddToMemo(const char* text);

// Appends text that the client sent (a command line, a name) as AddToMemo
// does, but with every control byte (below 0x20, and 0x7F) shown as a
// caret escape: ^[ for ESC, ^J for a line feed, ^? for DEL. A client thus
// cannot move the operator's cursor or send the terminal commands; an
// escape counts two columns. Names on disk are not touched by this.
void AddClientTextToMemo(const char* text);

// Writes client text with the same escapes straight to the console,
// outside the log's character conversion and column count.
void PrintClientText(const char* text);

// The console form of the client byte `c`: converted by `encode` (null:
// the byte itself), and with `escape` every control byte as a caret escape
// as AddClientTextToMemo shows it. Writes at most kMaxConsoleForm bytes and
// returns how many; adds the columns it takes to *columns.
constexpr size_t kMaxConsoleForm = 4;
size_t ConsoleForm(uint8_t c, ConsoleEncoder encode, bool escape, uint8_t out[kMaxConsoleForm],
                   int32_t* columns);

// Closes the current line with "OK" in the OK column.
void AddToMemoOkay();

}  // namespace lpx
