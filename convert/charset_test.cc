#include "convert/charset.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace lpx {
namespace {

// The code page 437 table as printed for users, one row per high nibble.
const char* const kPrintedDosRows[8] = {
    "C7 FC E9 E2 E4 E0 E5 E7 EA EB E8 EF EE EC C4 C5",
    "C9 E6 C6 F4 F6 F2 FB F9 FF D6 DC A2 A3 A5 B6 66",
    "E1 ED F3 FA F1 D1 AA BA BF AD AC BD BC A1 AB BB",
    "B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 BA BB BC BD BE BF",
    "C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF",
    "D0 D1 D2 D3 D4 D5 D6 D7 D8 D9 DA DB DC DD DE DF",
    "A4 DF F5 6E FD FE B5 F8 A8 E2 E3 F0 EC D8 80 5E",
    "AF B1 A9 AE A6 A7 F7 7E B0 B9 B8 BE B3 B2 B7 A0",
};

TEST(DosTableTest, MatchesThePrintedTable) {
  for (int row = 0; row < 8; ++row) {
    const char* p = kPrintedDosRows[row];
    for (int col = 0; col < 16; ++col) {
      unsigned expected = 0;
      int used = 0;
      ASSERT_EQ(sscanf(p, "%2x%n", &expected, &used), 1);
      p += used;
      EXPECT_EQ(dosTable[row * 16 + col], expected)
          << "byte 0x" << std::hex << 0x80 + row * 16 + col;
    }
  }
}

class Dos2AnsiTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCharsetState(); }
  // Passes a text upload through Dos2Ansi.
  std::string Convert(const std::string& in) {
    std::string out;
    for (unsigned char c : in) out += static_cast<char>(Dos2Ansi(c));
    return out;
  }
};

TEST_F(Dos2AnsiTest, TypicalByteSwitchesAndConverts) {
  EXPECT_EQ(Convert("Gr\x84\xE1"
                    "e"),
            "Gr\xE4\xDF"
            "e");
  EXPECT_EQ(DOSmode, 1);
}

TEST_F(Dos2AnsiTest, WindowsTextStaysUnchanged) {
  std::string in = "caf\xE9 \xA0\xE4\xFF \x80 \x91quoted\x92";
  EXPECT_EQ(Convert(in), in);
  EXPECT_EQ(DOSmode, 0);
}

TEST_F(Dos2AnsiTest, BytesBeforeTheSwitchStay) {
  EXPECT_EQ(Convert("\xE4x\x81y\xE4"), "\xE4x\xFCy\xFD");
}

TEST_F(Dos2AnsiTest, EverySwitchingByte) {
  for (int c = 0x80; c <= 0xFF; ++c) {
    ResetCharsetState();
    Dos2Ansi(static_cast<uint8_t>(c));
    bool switches = (c >= 0x81 && c <= 0x90) || (c >= 0x93 && c <= 0x9F);
    EXPECT_EQ(DOSmode, switches ? 1 : 0) << "byte 0x" << std::hex << c;
  }
}

TEST(Iso885915Test, ExchangesOnlyTheEuroSigns) {
  for (int c = 0; c <= 0xFF; ++c) {
    int expected = c == 0x80 ? 0xA4 : c == 0xA4 ? 0x80 : c;
    EXPECT_EQ(ISO8859_15(static_cast<uint8_t>(c)), expected);
  }
  char text[] = "\x80 a \xA4";
  FromUTF8(text);
  EXPECT_STREQ(text, "\xA4 a \x80");
}

TEST(EncodeUtf8Test, EveryByte) {
  uint8_t out[3];
  ASSERT_EQ(EncodeUTF8Byte('A', out), 1u);
  EXPECT_EQ(out[0], 'A');
  ASSERT_EQ(EncodeUTF8Byte(0x80, out), 3u);
  EXPECT_EQ(out[0], 0xE2);
  EXPECT_EQ(out[1], 0x82);
  EXPECT_EQ(out[2], 0xAC);
  ASSERT_EQ(EncodeUTF8Byte(0xE9, out), 2u);
  EXPECT_EQ(out[0], 0xC3);
  EXPECT_EQ(out[1], 0xA9);
  // U+0081..U+00FF in the usual two-byte form: 110000xx 10xxxxxx.
  for (int c = 0x81; c <= 0xFF; ++c) {
    ASSERT_EQ(EncodeUTF8Byte(static_cast<uint8_t>(c), out), 2u);
    EXPECT_EQ(out[0], 0xC0 | (c >> 6)) << c;
    EXPECT_EQ(out[1], 0x80 | (c & 0x3F)) << c;
  }
}

TEST(EncodeUtf8Test, RefusesWhatDoesNotFit) {
  char out[4];
  EXPECT_TRUE(EncodeUTF8("\x80", out, 4));
  EXPECT_STREQ(out, "\xE2\x82\xAC");
  EXPECT_FALSE(EncodeUTF8("\x80", out, 3));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(EncodeUTF8("abcd", out, 4));
  EXPECT_STREQ(out, "");
}

std::string DecodeInPlace(std::string text) {
  DecodeUTF8InPlace(text.data());
  return text.c_str();
}

TEST(DecodeUtf8InPlaceTest, Sequences) {
  EXPECT_EQ(DecodeInPlace("caf\xC3\xA9 \xC2\xA0"), "caf\xE9 \xA0");
  EXPECT_EQ(DecodeInPlace("\xD0\x96x"), "~x");  // Cyrillic letter
  EXPECT_EQ(DecodeInPlace("\xC0\x80"), "~");    // over-long form, two bytes taken
  EXPECT_EQ(DecodeInPlace("\xE2\x82\xAC"
                          "5"),
            "\x80"
            "5");
  EXPECT_EQ(DecodeInPlace("\xE2\x80\x94"), "~");  // em dash
  EXPECT_EQ(DecodeInPlace("\xF0\x9F\x98\x80!"), "~~~~!");
}

TEST(DecodeUtf8InPlaceTest, CutAndLoneBytes) {
  EXPECT_EQ(DecodeInPlace("a\x80"), "a~");
  EXPECT_EQ(DecodeInPlace("\xC3"), "~");
  EXPECT_EQ(DecodeInPlace("\xC3"
                          "A"),
            "~A");
  EXPECT_EQ(DecodeInPlace("\xE2\x82"), "~~");
  EXPECT_EQ(DecodeInPlace("\xE2\x82"
                          "A"),
            "~~A");
  EXPECT_EQ(DecodeInPlace("\xE2\xC3\xA9"), "~\xE9");
}

TEST(DecodeUtf8InPlaceTest, UndoesTheEncoding) {
  for (int c = 1; c <= 0xFF; ++c) {
    char encoded[4];
    ASSERT_TRUE(EncodeUTF8(std::string(1, static_cast<char>(c)).c_str(), encoded, sizeof encoded));
    DecodeUTF8InPlace(encoded);
    EXPECT_EQ(std::string(encoded), std::string(1, static_cast<char>(c))) << c;
  }
}

// A byte stream over a string that counts the bytes read from it.
struct Stream {
  std::string bytes;
  size_t pos = 0;
};

int ReadStreamByte(void* context) {
  Stream* s = static_cast<Stream*>(context);
  if (s->pos >= s->bytes.size()) return -1;
  return static_cast<unsigned char>(s->bytes[s->pos++]);
}

// Decodes a whole stream the way the text sender reads a file.
std::string DecodeStream(const std::string& bytes) {
  Stream s{bytes};
  std::string out;
  for (int c; (c = ReadStreamByte(&s)) >= 0;)
    out += static_cast<char>(DecodeUTF8Stream(c, ReadStreamByte, &s));
  return out;
}

TEST(DecodeUtf8StreamTest, Sequences) {
  EXPECT_EQ(DecodeStream("a\n\xC3\xA9\xC2\xA0"), "a\n\xE9\xA0");
  EXPECT_EQ(DecodeStream("\xE2\x82\xAC\xE2\x80\x94"), "\x80~");
  EXPECT_EQ(DecodeStream("\xD0\x96\xC0\x80"), "~~");
  // F0 and its first continuation byte make one '~', the other two one each.
  EXPECT_EQ(DecodeStream("\xF0\x9F\x98\x80"), "~~~");
}

TEST(DecodeUtf8StreamTest, ConsumesTheByteAfterABadLead) {
  EXPECT_EQ(DecodeStream("\xE9\nx"), "~x");     // the line feed goes with it
  EXPECT_EQ(DecodeStream("\xE2\x82x!"), "~!");  // the third byte is read whatever it is
  EXPECT_EQ(DecodeStream("\x80\xBFz"), "~~z");  // lone continuation bytes take one each
  EXPECT_EQ(DecodeStream("\xC3"), "~");
  EXPECT_EQ(DecodeStream("\xE2\x82"), "~");
}

void UnreadStreamByte(int, void* context) { --static_cast<Stream*>(context)->pos; }

TEST(DecodeUtf8StreamTest, GivesBackAByteThatCannotContinue) {
  Stream s{"\xE9\nx\xE2\x82\n"};
  std::string out;
  for (int c; (c = ReadStreamByte(&s)) >= 0;)
    out += static_cast<char>(DecodeUTF8Stream(c, ReadStreamByte, &s, UnreadStreamByte));
  EXPECT_EQ(out, "~\nx~\n");
}

TEST(DecodeUtf8StreamTest, ReadsNoMoreThanItNeeds) {
  Stream s{"\xA9rest"};
  EXPECT_EQ(DecodeUTF8Stream(0xC3, ReadStreamByte, &s), 0xE9);
  EXPECT_EQ(s.pos, 1u);
  s = {"\x82\xACrest"};
  EXPECT_EQ(DecodeUTF8Stream(0xE2, ReadStreamByte, &s), 0x80);
  EXPECT_EQ(s.pos, 2u);
  s = {"rest"};
  EXPECT_EQ(DecodeUTF8Stream(0x85, ReadStreamByte, &s), '~');
  EXPECT_EQ(s.pos, 0u);
}

}  // namespace
}  // namespace lpx
