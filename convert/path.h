// Client paths (DOS style) to absolute local paths.
#pragma once

#include <cstddef>

namespace lpx {

constexpr size_t kFilenameSize = 700;
extern char filename[kFilenameSize];  // result of the last FormatUnixName

// Maps a client path (DOS style, backslashes, maybe without a leading
// separator) to an absolute local path in `filename` (overwritten by the next
// call) and returns it: "/" put in front unless the path starts with "/", a
// leading backslash taken as that "/", every backslash made "/", one trailing
// "/" dropped unless the result is "/" alone, and the characters converted
// for the local system (variants A and B: 0x80 and 0xA4 exchanged; variant C:
// UTF-8 encoded). Nothing else is normalised.
// Returns nullptr, and leaves `filename` empty, when the result would not fit
// its buffer (variant C's encoding can triple high bytes); the path is never
// cut. Callers answer that with their operation's error reply.
const char* FormatUnixName(const char* clientPath);

}  // namespace lpx
