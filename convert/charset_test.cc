#include "convert/charset.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace lpx {
namespace {

// A text upload through Dos2Ansi, from the start of the upload.
std::string FromDos(const std::string& upload) {
  ResetCharsetState();
  std::string out;
  for (uint8_t c : upload) out += static_cast<char>(Dos2Ansi(c));
  return out;
}

// Code page 437 text shows by its first byte in 0x81..0x90 or 0x93..0x9F
// (0x91 and 0x92 are the Windows quotes); from that byte on every byte of
// 0x80 and above goes through the table, and the bytes before it stay.
TEST(CharsetTest, Dos2AnsiSwitchesAtTheFirstTypicalByte) {
  EXPECT_EQ(FromDos("caf\xE9 \x80\x91\x92\xA0\xFF"), "caf\xE9 \x80\x91\x92\xA0\xFF");
  EXPECT_EQ(DOSmode, 0);
  // u-umlaut switches; a-umlaut, sharp s, C-cedilla, box drawing as itself,
  // look-alikes for pi and epsilon, no-break space.
  EXPECT_EQ(FromDos("\xE4\x81\x84\xE1\x80\xB3\xE3\xEE\xFF"), "\xE4\xFC\xE4\xDF\xC7\xB3n\x80\xA0");
  EXPECT_EQ(DOSmode, 1);
  EXPECT_EQ(FromDos("\x90") + FromDos("\x93") + FromDos("\x9F"), "\xC9\xF4\x66");
}

// Every client byte but 0 in UTF-8 (1 byte below 0x80, 3 for the euro sign
// 0x80, 2 for the rest) needs 384 bytes and the terminator, and decodes back.
TEST(CharsetTest, EncodeUTF8FitsOrRefusesAndDecodesBack) {
  std::string every;
  for (int c = 1; c <= 0xFF; ++c) every += static_cast<char>(c);
  char out[385];
  EXPECT_FALSE(EncodeUTF8(every.c_str(), out, 384));
  EXPECT_STREQ(out, "");
  ASSERT_TRUE(EncodeUTF8(every.c_str(), out, 385));
  DecodeUTF8InPlace(out);
  EXPECT_EQ(out, every);
}

int Next(void* file) { return getc(static_cast<FILE*>(file)); }
void Unread(int c, void* file) { ungetc(c, static_cast<FILE*>(file)); }

// `text` decoded in place, where the decoder may look ahead; from a stream,
// where it takes every byte it reads; and from a stream to which it hands
// back a byte that cannot continue. The three results joined by '|'.
std::string Decodings(std::string text) {
  std::string out = text;
  DecodeUTF8InPlace(out.data());
  out.resize(strlen(out.c_str()));
  for (ByteUnreader unread : {ByteUnreader{nullptr}, ByteUnreader{Unread}}) {
    FILE* file = fmemopen(text.data(), text.size(), "r");
    out += '|';
    for (int c; (c = getc(file)) != EOF;)
      out += static_cast<char>(DecodeUTF8Stream(c, Next, file, unread));
    fclose(file);
  }
  return out;
}

TEST(CharsetTest, DecodingUTF8InPlaceAndFromAStream) {
  const std::pair<std::string, std::string> kCases[] = {
      {"caf\xC3\xA9\xC2\xA0\xE2\x82\xACx", "caf\xE9\xA0\x80x|caf\xE9\xA0\x80x|caf\xE9\xA0\x80x"},
      // A dash, a Cyrillic letter, two over-long forms.
      {"\xE2\x80\x94\xD0\x96\xC0\x80\xE0\x82\xA9", "~~~~|~~~~|~~~~"},
      {"\xF0\x9F\x98\x80!", "~~~~!|~~~!|~~~!"},
      {"a\x80\xBFz", "a~~z|a~~z|a~~z"},  // lone continuation bytes
      {"\xE2\x82", "~~|~|~"},            // cut short
      {"\xC3z", "~z|~|~z"},
      {"\xE9\nx", "~\nx|~x|~\nx"},  // a Latin-1 byte before a line feed
      {"\xE2\x82x!", "~~x!|~!|~x!"},
  };
  for (const auto& [text, decodings] : kCases) EXPECT_EQ(Decodings(text), decodings) << text;
}

}  // namespace
}  // namespace lpx
