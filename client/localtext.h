// The client's local side of names and text: the user's character set
// (ISO 8859-15 or UTF-8) against the client byte set on the cable (a
// single-byte Windows set in which 0x80 is the euro sign), Unix-style remote
// paths against the DOS-style paths the server expects, and LF line ends
// against CR LF in text mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "convert/charset.h"

namespace lpx {

// --- Local text state ------------------------------------------------------
extern LocalCharset localCharset;  // the user's character set for names and text

void ResetLocalTextState();

// The character set of the current locale: UTF-8 when LC_CTYPE says so,
// else ISO 8859-15. REQUIRES: setlocale(LC_CTYPE, "") was called.
LocalCharset CharsetFromLocale();

// Parses "latin9", "iso8859-15", "utf8" or "utf-8" (any case).
bool ParseCharset(const char* name, LocalCharset* charset);

// A remote path as the user typed it (local characters, '/' or '\' as
// separators) to the client's form: backslashes, client bytes. False when a
// character has no client byte or the result does not fit `size`.
bool RemotePathToClient(const char* path, char* out, size_t size);

// A name in client bytes to local characters. Control characters become
// '?', so that a listing stays one line per entry. False when it does not fit.
bool ClientNameToLocal(const char* name, char* out, size_t size);

// Client bytes from the server (a listed name, a reply) as the terminal may
// show them: in local characters, every control byte as a caret escape (^[
// for ESC, ^? for DEL, M-^[ for 0x9B), never raw.
std::string ShownText(std::string_view text);

// Either '/' or '\' separates the components of a remote path; local paths
// go through the same helpers.
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// The last component of a path with either separator ("" for a path that
// ends in a separator).
const char* PathBaseName(const char* path);

// `path` without separators at its end, "/" when nothing else is left
// ("" stays "").
std::string WithoutTrailingSeparators(const std::string& path);

// `name` appended to `dir` with one separator between them: `separator`
// unless `dir` ends in one already ("/name" for an empty `dir`).
std::string JoinPath(const std::string& dir, const std::string& name, char separator);

// Reads a local text file as the wire stream of a text-mode upload: every
// LF becomes CR LF, every character becomes its client byte (characters
// without one become '~').
struct WireReader {
  FILE* file = nullptr;
  bool lfPending = false;
  // The next wire byte, or -1 at the end of the file.
  int Next();
};

// Writes the wire stream of a text-mode fetch to a local file: CR LF
// becomes LF (a CR and its LF may arrive in different frames; a CR not
// followed by LF is kept), client bytes become local characters.
struct TextWriter {
  FILE* file = nullptr;
  bool crPending = false;
  // False when the file could not be written.
  bool Write(const uint8_t* wire, size_t n);
  // Writes a CR still held back at the end of the stream.
  bool Finish();
};

// Counts the wire bytes that the local text file `file` stands for from its
// start (an LF counts two, every other character one) and the local bytes
// that hold whole characters (a character cut short at the end of the file,
// as an interrupted fetch may leave, is not counted).
void CountWireBytes(FILE* file, uint64_t* wire, uint64_t* localBytes);

}  // namespace lpx
