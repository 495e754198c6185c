// Where console output goes: standard output, or a test's capture buffer.
#pragma once

#include <cstddef>
#include <string>

namespace lpx {

// Writes bytes to the console (fd 1, retrying on EINTR and short writes).
void ConsoleWrite(const char* bytes, size_t n);

// Formats into a bounded local buffer and writes it; output that would not
// fit is cut at the buffer's size (console text only, never data).
void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The file descriptor console bytes go to (async-signal-safe to use).
int ConsoleFd();

// Sends console bytes to `fd` instead of standard output. The client uses
// it so that the link's log lines go to its standard error, not into a
// listing it prints.
void ConsoleUseFd(int fd);

// Tests: capture console output into a string instead of fd 1.
void ConsoleCaptureStart();
std::string ConsoleCaptureTake();  // returns what was captured and clears it
void ConsoleCaptureStop();

}  // namespace lpx
