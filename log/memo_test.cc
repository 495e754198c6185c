#include "log/memo.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "convert/variant.h"
#include "link/port.h"
#include "log/console.h"
#include "shell/signals.h"
#include "testing/reset.h"

namespace lpx {
namespace {

std::string Times(int n, const std::string& s) { return n > 0 ? s + Times(n - 1, s) : ""; }

// A step is "OK" for AddToMemoOkay, "^C" for Ctrl/C, or a text for
// AddToMemo. The Ctrl/C handler writes a static line: scratch may be in use
// by the flow it interrupts.
void Step(const std::string& step) {
  if (step == "OK") return AddToMemoOkay();
  if (step != "^C") return AddToMemo(step.c_str());
  scratch[0] = '#';
  SignalHandler(SIGINT);
  EXPECT_EQ(scratch[0], '#');
}

TEST(MemoTest, LineEndsColumnsConversionAndSignalLines) {
  const std::string ok = "OK\n", intr = "*** You pressed Ctrl/C";
  // Variant C (the console in UTF-8), the steps, the console output.
  const std::tuple<bool, std::vector<std::string>, std::string> cases[] = {
      // A leading line end is dropped at the start of a line only, and no
      // blank line follows an OK; "%" is no format; the euro exchange.
      {false, {"\nCONNECT", "OK", "\nLIST"}, "CONNECT" + Times(41, " ") + ok + "LIST"},
      {false, {"\n", "\nGET %s%n", "~\x80", "\nStill"}, "\nGET %s%n~\xA4\nStill"},
      // OK in column 48 of an 80-column screen, after one blank at least.
      {false, {Times(85, "y"), "OK"}, Times(85, "y") + Times(43, " ") + ok},
      {false, {Times(48, "z"), "OK"}, Times(48, "z") + " " + ok},
      // UTF-8, where the column counts characters, and longer than scratch.
      {true, {"\x80\xE9", "OK"}, "\xE2\x82\xAC\xC3\xA9" + Times(46, " ") + ok},
      {true, {Times(600, "\x80")}, Times(600, "\xE2\x82\xAC")},
      // Ctrl/C keeps the log's bookkeeping.
      {false, {"x", "^C", "OK", "^C", "\nD"}, "x\n" + intr + Times(26, " ") + ok + intr + "\nD"},
  };
  ConsoleCaptureStart();
  for (const auto& [c, steps, out] : cases) {
    ResetAllState();
    variantC = c;
    for (const std::string& step : steps) Step(step);
    EXPECT_EQ(ConsoleCaptureTake(), out);
    EXPECT_EQ(keyflag != 0, out.find(intr) != std::string::npos);
  }
  // The other signals end the server.
  for (int sig : {SIGTERM, SIGHUP, SIGSEGV})
    EXPECT_EXIT(SignalHandler(sig), ::testing::ExitedWithCode(sig == SIGSEGV), "");
  const std::string ended = "\n*** Signal 15 received\n\n*** Signal 1 received\n";
  EXPECT_EQ(ConsoleCaptureTake(), ended + "\n\n*** Serious fault in LPXFERD !\n");
  ConsoleCaptureStop();
  ResetAllState();
}

}  // namespace
}  // namespace lpx
