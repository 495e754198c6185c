#include "shell/signals.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "link/port.h"
#include "log/console.h"
#include "log/memo.h"
#include "platform/ppdev.h"

namespace lpx {
namespace {

// Only async-signal-safe calls below: write(2), _exit(2), no stdio, no
// scratch (the interrupted flow may be using it).
void SafeWrite(const char* text, size_t n) {
  int fd = ConsoleFd();
  while (n > 0) {
    ssize_t done = write(fd, text, n);
    if (done <= 0) {
      if (done < 0 && errno == EINTR) continue;
      return;
    }
    text += done;
    n -= static_cast<size_t>(done);
  }
}

void SafeWriteText(const char* text) { SafeWrite(text, strlen(text)); }

}  // namespace

void SignalHandler(int sig) {
  int saved_errno = errno;
  keyflag = 1;
  if (sig == SIGINT) {
    // Same bookkeeping as the console log: the leading line end is dropped
    // when the log stands at the start of a line.
    static const char kLine[] = "\n*** You pressed Ctrl/C";
    const char* text = atmNL ? kLine + 1 : kLine;
    atmNL = 0;
    atmLen = static_cast<sig_atomic_t>(sizeof kLine - 2);
    SafeWriteText(text);
    errno = saved_errno;
    return;
  }
  // The program ends below: a claimed ppdev port is given back first.
  ppdevPorts.ReleaseAll();
  if (sig == SIGSEGV) {
    SafeWriteText("\n\n*** Serious fault in LPXFERD !\n");
    _exit(1);
  }
  char line[48] = "\n*** Signal ";
  size_t n = strlen(line);
  char digits[12];
  size_t d = 0;
  unsigned value = static_cast<unsigned>(sig);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < sizeof digits);
  while (d > 0) line[n++] = digits[--d];
  static const char kTail[] = " received\n";
  memcpy(line + n, kTail, sizeof kTail);
  SafeWriteText(line);
  _exit(0);
}

void InstallSignalHandlers() {
  const int signals[] = {SIGSEGV, SIGHUP, SIGINT, SIGTERM};
  for (int sig : signals) {
    struct sigaction action {};
    action.sa_handler = SignalHandler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART. The platform's sleeps go on to their end after a
    // signal, and the polling loops look at keyflag after each one.
    action.sa_flags = 0;
    sigaction(sig, &action, nullptr);
  }
}

}  // namespace lpx
