// Character conversions between the client's single-byte Windows set (0x80
// is the euro sign), ISO 8859-15 (variants A, B), UTF-8 (variant C) and the
// DOS code page 437 that text uploads may arrive in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lpx {

extern int32_t DOSmode;              // code page 437 detected in this text upload
extern const uint8_t dosTable[128];  // code page 437 0x80..0xFF -> Latin-1

void ResetCharsetState();

// Converts one byte of a text upload: below 0x80 unchanged; the first byte in
// 0x81..0x90 or 0x93..0x9F switches DOSmode on; with DOSmode on every byte
// of 0x80 and above goes through dosTable.
uint8_t Dos2Ansi(uint8_t c);

// Exchanges 0x80 and 0xA4; every other byte unchanged.
uint8_t ISO8859_15(uint8_t c);

// The two local character sets: the server's (variant C UTF-8, A and B
// ISO 8859-15) and the one the client finds in its locale or is given.
enum class LocalCharset { kLatin9, kUtf8 };

// One client byte in `charset`: ISO8859_15 for kLatin9, EncodeUTF8Byte for
// kUtf8. Writes at most 3 bytes into out and returns how many.
size_t ClientByteToLocal(uint8_t c, LocalCharset charset, uint8_t out[3]);

// The same in the server's local character set, UTF-8 in variant C.
size_t ClientByteToLocal(uint8_t c, uint8_t out[3]);

// Applies ISO8859_15 to every byte of `text` in place.
void FromUTF8(char* text);

// UTF-8 encoding of one client byte: below 0x80 one byte; 0x80 -> E2 82 AC;
// 0x81..0xFF -> C2/C3 and the byte with bit 6 cleared. Writes at most 3 bytes
// into out and returns how many.
size_t EncodeUTF8Byte(uint8_t c, uint8_t out[3]);

// UTF-8 encodes the zero-terminated `in` into `out` (capacity `size`,
// terminator included). Returns false, with `out` empty, when it does not fit.
bool EncodeUTF8(const char* in, char* out, size_t size);

// Decodes UTF-8 in place to client bytes: U+0080..U+00FF as one byte, the
// euro sign as 0x80, anything else beyond 0x7F or malformed as '~'.
void DecodeUTF8InPlace(char* text);

// A byte stream read one byte at a time: `next` returns the next byte or
// -1 at the end; `unread` (where given) hands one byte back.
using ByteReader = int (*)(void* context);
using ByteUnreader = void (*)(int c, void* context);

// One character read from a UTF-8 byte stream.
struct UTF8Char {
  int32_t codePoint = -1;  // -1: malformed or cut short
  int bytes = 1;           // bytes it took, the first included
  bool cut = false;        // the stream ended inside it
};

// Reads the rest of a UTF-8 sequence of `length` bytes (2 to 4) whose first
// byte `first` was read already; a `first` below 0x80 is a character of its
// own. Which length a lead byte announces is the caller's reading. A byte
// that cannot continue the sequence makes it malformed and, with `unread`
// given, goes back to the stream instead of being swallowed, so that the
// caller reads it afresh: a line feed after a stray Latin-1 byte in a text
// file must survive, or two lines would arrive joined.
UTF8Char ReadUTF8Char(int first, int length, ByteReader next, void* context, ByteUnreader unread);

// The server's UTF-8 decoding of a byte stream, without look-ahead. `first`
// is the byte already read (0..255). Returns the client byte: below 0x80
// itself; a lone 0x80..0xBF '~'. A lead byte 0xC0..0xFF reads one more
// byte, which is consumed whatever it is (a non-continuation byte or the
// end gives '~'); with a continuation byte, 0xE0..0xEF reads a third byte
// (E2 82 AC gives 0x80, any other triple '~'), C2/C3 give U+0080..U+00FF
// as one byte, the rest '~'. So at most two bytes are read through `next`;
// the caller's reader counts them if it needs byte positions. With
// `unread` given, a byte that cannot continue is handed back (see
// ReadUTF8Char).
uint8_t DecodeUTF8Stream(int first, ByteReader next, void* context, ByteUnreader unread = nullptr);

}  // namespace lpx
