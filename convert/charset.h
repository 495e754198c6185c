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

// One client byte in the local character set: ISO8859_15 in variants A and
// B, EncodeUTF8Byte in variant C. Writes at most 3 bytes into out and
// returns how many.
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

// The UTF-8 decoding of a byte stream read one byte at a time, without
// look-ahead. `first` is the byte already read (0..255); `next` reads the
// following byte (returns -1 at end of stream). Returns the client byte:
// below 0x80 itself; a lone 0x80..0xBF '~'. A lead byte 0xC0..0xFF reads one
// more byte, which is consumed whatever it is (a non-continuation byte or the
// end gives '~'); with a continuation byte, 0xE0..0xEF reads a third byte
// (E2 82 AC gives 0x80, any other triple '~'), C2/C3 give U+0080..U+00FF as
// one byte, the rest '~'. So at most two bytes are read through `next`; the
// caller's reader counts them if it needs byte positions.
//
// With `unread` given, a byte that cannot continue the sequence (the second
// byte, or the third of a three-byte lead) is handed back to the stream
// instead of being swallowed with the '~', so that the caller reads it
// afresh: a line feed after a stray Latin-1 byte in a text file must
// survive, or two lines would arrive joined.
using ByteReader = int (*)(void* context);
using ByteUnreader = void (*)(int c, void* context);
uint8_t DecodeUTF8Stream(int first, ByteReader next, void* context, ByteUnreader unread = nullptr);

}  // namespace lpx
