#include "convert/charset.h"

#include "convert/variant.h"

namespace lpx {

int32_t DOSmode = 0;

// Code page 437 0x80..0xFF -> Latin-1. Rows are the high nibble of the input
// byte. Letters without a Latin-1 form become ASCII look-alikes (0x9F 'f',
// 0xE3 'n', 0xEF '^', 0xF7 '~'); the box-drawing rows map to themselves.
const uint8_t dosTable[128] = {
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xA2, 0xA3, 0xA5, 0xB6, 0x66,
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xAD, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF,
    0xA4, 0xDF, 0xF5, 0x6E, 0xFD, 0xFE, 0xB5, 0xF8, 0xA8, 0xE2, 0xE3, 0xF0, 0xEC, 0xD8, 0x80, 0x5E,
    0xAF, 0xB1, 0xA9, 0xAE, 0xA6, 0xA7, 0xF7, 0x7E, 0xB0, 0xB9, 0xB8, 0xBE, 0xB3, 0xB2, 0xB7, 0xA0,
};

namespace {

constexpr uint8_t kEuroClient = 0x80;  // the euro sign in the client's set
constexpr uint8_t kEuroLocal = 0xA4;   // the euro sign in ISO 8859-15
constexpr int32_t kEuroCodePoint = 0x20AC;
constexpr uint8_t kUnknown = '~';  // a character the client's set lacks

bool IsContinuation(uint8_t c) { return c >= 0x80 && c <= 0xBF; }

// Bytes that Windows text practically never holds but code page 437 text
// does (its accented letters). 0x91 and 0x92 are left out: in the client's
// set they are the single quotes, common in ordinary text.
bool IsTypicalDosByte(uint8_t c) { return (c >= 0x81 && c <= 0x90) || (c >= 0x93 && c <= 0x9F); }

// The client byte for a decoded two-byte sequence whose first byte is in
// 0xC0..0xDF: U+0080..U+00FF as itself, anything beyond as '~'.
uint8_t DecodePair(uint8_t first, uint8_t second) {
  if (first == 0xC2 || first == 0xC3) return static_cast<uint8_t>((first - 0xC2) * 64 + second);
  return kUnknown;
}

}  // namespace

void ResetCharsetState() { DOSmode = 0; }

uint8_t Dos2Ansi(uint8_t c) {
  if (c < 0x80) return c;
  if (!DOSmode) {
    if (!IsTypicalDosByte(c)) return c;
    DOSmode = 1;
  }
  return dosTable[c - 0x80];
}

uint8_t ISO8859_15(uint8_t c) {
  if (c == kEuroClient) return kEuroLocal;
  if (c == kEuroLocal) return kEuroClient;
  return c;
}

void FromUTF8(char* text) {
  for (char* p = text; *p != '\0'; ++p)
    *p = static_cast<char>(ISO8859_15(static_cast<uint8_t>(*p)));
}

size_t EncodeUTF8Byte(uint8_t c, uint8_t out[3]) {
  if (c < 0x80) {
    out[0] = c;
    return 1;
  }
  if (c == kEuroClient) {
    out[0] = 0xE2;
    out[1] = 0x82;
    out[2] = 0xAC;
    return 3;
  }
  out[0] = (c & 0x40) ? 0xC3 : 0xC2;
  out[1] = static_cast<uint8_t>(c & ~0x40);
  return 2;
}

size_t ClientByteToLocal(uint8_t c, LocalCharset charset, uint8_t out[3]) {
  if (charset == LocalCharset::kUtf8) return EncodeUTF8Byte(c, out);
  out[0] = ISO8859_15(c);
  return 1;
}

size_t ClientByteToLocal(uint8_t c, uint8_t out[3]) {
  return ClientByteToLocal(c, variantC ? LocalCharset::kUtf8 : LocalCharset::kLatin9, out);
}

bool EncodeUTF8(const char* in, char* out, size_t size) {
  if (size == 0) return false;
  size_t used = 0;
  for (const char* p = in; *p != '\0'; ++p) {
    uint8_t bytes[3];
    size_t n = EncodeUTF8Byte(static_cast<uint8_t>(*p), bytes);
    if (n >= size - used) {  // the terminator needs a place too
      out[0] = '\0';
      return false;
    }
    for (size_t i = 0; i < n; ++i) out[used++] = static_cast<char>(bytes[i]);
  }
  out[used] = '\0';
  return true;
}

void DecodeUTF8InPlace(char* text) {
  // Reads run ahead of writes, and a continuation byte is never the
  // terminator, so no read passes the end of the text.
  const uint8_t* in = reinterpret_cast<const uint8_t*>(text);
  char* out = text;
  for (;;) {
    uint8_t c = in[0];
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
      if (c == '\0') return;
      in += 1;
    } else if (c >= 0xC0 && c <= 0xDF && IsContinuation(in[1])) {
      *out++ = static_cast<char>(DecodePair(c, in[1]));
      in += 2;
    } else if (c >= 0xE0 && c <= 0xEF && IsContinuation(in[1]) && IsContinuation(in[2])) {
      bool euro = c == 0xE2 && in[1] == 0x82 && in[2] == 0xAC;
      *out++ = static_cast<char>(euro ? kEuroClient : kUnknown);
      in += 3;
    } else {
      *out++ = static_cast<char>(kUnknown);
      in += 1;
    }
  }
}

UTF8Char ReadUTF8Char(int first, int length, ByteReader next, void* context, ByteUnreader unread) {
  UTF8Char ch;
  if (first < 0x80) {
    ch.codePoint = first;
    return ch;
  }
  if (length < 2 || length > 4) return ch;
  int32_t codePoint = first & (0x7F >> length);  // the lead's payload bits
  for (int i = 1; i < length; ++i) {
    const int c = next(context);
    if (c < 0) {
      ch.cut = true;
      return ch;
    }
    if (!IsContinuation(static_cast<uint8_t>(c))) {
      if (unread != nullptr) unread(c, context);
      return ch;
    }
    codePoint = codePoint << 6 | (c & 0x3F);
    ++ch.bytes;
  }
  ch.codePoint = codePoint;
  return ch;
}

uint8_t DecodeUTF8Stream(int first, ByteReader next, void* context, ByteUnreader unread) {
  if (first < 0 || first > 0xFF) return kUnknown;
  if (first < 0x80) return static_cast<uint8_t>(first);
  if (first <= 0xBF) return kUnknown;
  // Every lead takes one following byte; only 0xE0..0xEF a second.
  const int length = (first >= 0xE0 && first <= 0xEF) ? 3 : 2;
  const int32_t codePoint = ReadUTF8Char(first, length, next, context, unread).codePoint;
  // Two bytes give U+0080..U+00FF only from C2 and C3 (C0 and C1 are the
  // over-long forms, the leads from 0xC4 on give more).
  if (length == 2 && codePoint >= 0x80 && codePoint <= 0xFF) return static_cast<uint8_t>(codePoint);
  return codePoint == kEuroCodePoint ? kEuroClient : kUnknown;
}

}  // namespace lpx
