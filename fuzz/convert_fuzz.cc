// Fuzz target: client paths and the character conversions of both variant
// families (ISO 8859-15 and UTF-8).
//
// Input: one flags byte (bit 0 variant C, bit 1 start in DOS mode), one
// byte for the capacity given to EncodeUTF8, then the text.
//
// Checked: FormatUnixName either refuses with an empty result or gives an
// absolute path below 700 bytes without backslashes that converts back to
// the client path with its separators made "/" (one trailing separator
// dropped); EncodeUTF8 never writes past its capacity and decodes back to
// its input; DecodeUTF8InPlace never grows its text; the stream decoder
// reads at most two bytes past the one it is given; the euro exchange and
// the DOS conversion keep 7-bit bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert/charset.h"
#include "convert/path.h"
#include "convert/variant.h"

namespace lpx {
namespace {

void Require(bool condition) {
  if (!condition) abort();
}

// The client path as FormatUnixName should map it, before characters are
// converted: "/" in front unless it starts with "/", a leading backslash
// taken as that "/", backslashes made "/", one trailing separator dropped
// unless the result is "/" alone.
std::string ExpectedPath(const std::string& client) {
  std::string body = client;
  const bool slash = body.empty() || body[0] != '/';
  if (!body.empty() && body[0] == '\\') body.erase(0, 1);
  for (char& c : body) {
    if (c == '\\') c = '/';
  }
  std::string out = (slash ? "/" : "") + body;
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

void CheckPath(const std::string& text) {
  const char* local = FormatUnixName(text.c_str());
  if (local == nullptr) {
    Require(filename[0] == '\0');
    return;
  }
  Require(local == filename);
  const size_t length = strlen(local);
  Require(length > 0 && length < kFilenameSize && local[0] == '/');
  Require(strchr(local, '\\') == nullptr);
  std::string back(local);
  if (variantC) {
    DecodeUTF8InPlace(back.data());
    back.resize(strlen(back.c_str()));
  } else {
    FromUTF8(back.data());
  }
  Require(back == ExpectedPath(text));
}

void CheckEncode(const std::string& text, size_t capacity) {
  // The output ends where its allocation ends, even for a capacity of 0.
  char* block = static_cast<char*>(malloc(capacity + 1));
  char* out = block + 1;
  const bool fits = EncodeUTF8(text.c_str(), out, capacity);
  if (fits) {
    Require(strlen(out) < capacity);
    std::string back(out);
    DecodeUTF8InPlace(back.data());
    back.resize(strlen(back.c_str()));
    Require(back == text);
  } else if (capacity > 0) {
    Require(out[0] == '\0');
  }
  free(block);
}

void CheckDecode(const std::string& text) {
  // Exactly the text and its terminator, so that a read past it is caught.
  char* copy = static_cast<char*>(malloc(text.size() + 1));
  memcpy(copy, text.c_str(), text.size() + 1);
  DecodeUTF8InPlace(copy);
  Require(strlen(copy) <= text.size());
  free(copy);
}

struct Stream {
  const std::string* text;
  size_t pos;
  int reads;
};

int NextByte(void* context) {
  Stream& s = *static_cast<Stream*>(context);
  ++s.reads;
  if (s.pos >= s.text->size()) return -1;
  return static_cast<uint8_t>((*s.text)[s.pos++]);
}

void UnreadByte(int c, void* context) {
  Stream& s = *static_cast<Stream*>(context);
  Require(s.pos > 0 && static_cast<uint8_t>((*s.text)[s.pos - 1]) == c);
  --s.pos;
}

void CheckStream(const std::string& text, bool withUnread) {
  Stream s{&text, 0, 0};
  while (s.pos < text.size()) {
    const size_t before = s.pos;
    const int first = static_cast<uint8_t>(text[s.pos++]);
    s.reads = 0;
    const uint8_t c = DecodeUTF8Stream(first, NextByte, &s, withUnread ? UnreadByte : nullptr);
    Require(s.reads <= 2);
    Require(s.pos > before && s.pos - before <= 3);
    if (first < 0x80) Require(c == first && s.pos == before + 1);
  }
}

void CheckBytes(const std::string& text, bool dos) {
  DOSmode = dos ? 1 : 0;
  for (char ch : text) {
    const uint8_t c = static_cast<uint8_t>(ch);
    Require(ISO8859_15(ISO8859_15(c)) == c);
    const int32_t before = DOSmode;
    const uint8_t converted = Dos2Ansi(c);
    if (c < 0x80) Require(converted == c);
    Require(DOSmode >= before);
  }
}

}  // namespace
}  // namespace lpx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lpx;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const size_t capacity = data[1] * 4u;
  // Strings stop at the first zero byte, as on the cable.
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text.resize(strlen(text.c_str()));

  for (int variant = 0; variant < 2; ++variant) {
    variantC = ((flags & 1) != 0) != (variant == 1);
    CheckPath(text);
  }
  CheckEncode(text, capacity);
  CheckDecode(text);
  CheckStream(text, false);
  CheckStream(text, true);
  CheckBytes(text, (flags & 2) != 0);
  ResetCharsetState();
  variantC = false;
  return 0;
}
