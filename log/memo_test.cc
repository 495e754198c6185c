#include "log/memo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "convert/charset.h"
#include "convert/variant.h"
#include "link/port.h"
#include "log/console.h"
#include "shell/signals.h"

namespace lpx {
namespace {

class MemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMemoState();
    ResetLinkPortState();
    variantC = false;
    consoleEncoder = ClientByteToLocal;
    ConsoleCaptureStart();
  }
  void TearDown() override {
    ConsoleCaptureStop();
    variantC = false;
    ResetLinkPortState();
  }
  static std::string Out() { return ConsoleCaptureTake(); }
};

TEST_F(MemoTest, LeadingLineEndIsDroppedAtTheStartOfALine) {
  AddToMemo("\nCONNECT");
  EXPECT_EQ(Out(), "CONNECT");
  EXPECT_EQ(atmLen, 7);
  AddToMemo("\nStill trying...");  // no OK between: a new line
  EXPECT_EQ(Out(), "\nStill trying...");
  EXPECT_EQ(atmLen, 15);
}

TEST_F(MemoTest, OkLandsInColumn48AndTheNextLineFollowsWithoutABlankLine) {
  AddToMemo("\n");  // nothing printed at the start of a line
  AddToMemo("\n0123456789");
  AddToMemoOkay();
  EXPECT_EQ(Out(), "\n0123456789" + std::string(38, ' ') + "OK\n");
  AddToMemo("\nLIST \\");
  EXPECT_EQ(Out(), "LIST \\");
}

TEST_F(MemoTest, OkColumnWrapsAtEightyAndKeepsOneBlankAtLeast) {
  AddToMemo(std::string(60, 'x').c_str());
  AddToMemoOkay();
  EXPECT_EQ(Out(), std::string(60, 'x') + " OK\n");

  AddToMemo(std::string(85, 'y').c_str());
  AddToMemoOkay();
  EXPECT_EQ(Out(), std::string(85, 'y') + std::string(43, ' ') + "OK\n");

  AddToMemo(std::string(48, 'z').c_str());
  AddToMemoOkay();
  EXPECT_EQ(Out(), std::string(48, 'z') + " OK\n");
}

TEST_F(MemoTest, ProgressMarksExtendTheLineAndPercentIsLiteral) {
  AddToMemo("\nGET %s%n");
  AddToMemo("~");
  AddToMemo("~");
  EXPECT_EQ(atmLen, 10);
  EXPECT_EQ(Out(), "GET %s%n~~");
}

TEST_F(MemoTest, ConsoleConversionPerVariant) {
  AddToMemo(
      "a\x80"
      "b\xA4");
  EXPECT_EQ(Out(),
            "a\xA4"
            "b\x80");
  variantC = true;
  AddToMemo("\x80\xE9");
  EXPECT_EQ(Out(), "\xE2\x82\xAC\xC3\xA9");
  EXPECT_EQ(atmLen, 6);  // counts source bytes, one per character
}

TEST_F(MemoTest, TextLongerThanScratchAfterConversionIsWrittenWhole) {
  variantC = true;
  std::string text(600, '\x80');  // 1800 bytes once encoded
  AddToMemo(text.c_str());
  std::string out = Out();
  ASSERT_EQ(out.size(), 1800u);
  EXPECT_EQ(out.substr(1797), "\xE2\x82\xAC");
}

TEST_F(MemoTest, CtrlCLineFollowsTheLogsBookkeeping) {
  SignalHandler(SIGINT);
  EXPECT_EQ(keyflag, 1);
  EXPECT_EQ(Out(), "*** You pressed Ctrl/C");
  AddToMemo("\nDISCONNECT\t\t\t\t\tOK\n");
  EXPECT_EQ(Out(), "\nDISCONNECT\t\t\t\t\tOK\n");
  SignalHandler(SIGINT);  // stays installed; logs again on a new line
  EXPECT_EQ(Out(), "\n*** You pressed Ctrl/C");
}

TEST_F(MemoTest, TerminatingSignalsExitWithTheirStatus) {
  AddToMemoOkay();
  Out();
  EXPECT_EXIT(SignalHandler(SIGTERM), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Out(), "\n*** Signal 15 received\n");
  EXPECT_EXIT(SignalHandler(SIGHUP), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Out(), "\n*** Signal 1 received\n");
  EXPECT_EXIT(SignalHandler(SIGSEGV), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(Out(), "\n\n*** Serious fault in LPXFERD !\n");
}

}  // namespace
}  // namespace lpx
