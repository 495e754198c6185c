// Client paths (DOS style) to absolute local paths.
#pragma once

#include <cstddef>

namespace lpx {

constexpr size_t kFilenameSize = 700;
extern char filename[kFilenameSize];  // result of the last FormatUnixName

// Maps a client path to an absolute local path in `filename` (overwritten by
// the next call) and returns it. Returns nullptr, and leaves `filename`
// empty, when the result would not fit (variant C's UTF-8 encoding can
// triple high bytes); callers answer that with their error reply.
const char* FormatUnixName(const char* clientPath);

}  // namespace lpx
