#include "convert/path.h"

#include <cstdint>
#include <cstring>

#include "convert/charset.h"

namespace lpx {

char filename[kFilenameSize];

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

const char* Refuse() {
  filename[0] = '\0';
  return nullptr;
}

}  // namespace

const char* FormatUnixName(const char* clientPath) {
  if (clientPath == nullptr) clientPath = "";
  // The result is "/" (unless the path already starts with "/") followed by
  // `body`, every backslash turned into "/", one trailing separator dropped,
  // and each character converted for the local system. None of the
  // conversions makes or takes a "/", so all of it happens in one pass.
  bool leadingSlash = clientPath[0] != '/';
  const char* body = clientPath[0] == '\\' ? clientPath + 1 : clientPath;
  size_t bodyLength = strlen(body);
  if ((leadingSlash ? 1 : 0) + bodyLength > 1 && IsSeparator(body[bodyLength - 1])) --bodyLength;

  size_t used = 0;
  if (leadingSlash) filename[used++] = '/';
  for (size_t i = 0; i < bodyLength; ++i) {
    uint8_t c = static_cast<uint8_t>(body[i] == '\\' ? '/' : body[i]);
    uint8_t bytes[3];
    const size_t n = ClientByteToLocal(c, bytes);
    if (n >= kFilenameSize - used) return Refuse();  // keep room for the terminator
    for (size_t k = 0; k < n; ++k) filename[used++] = static_cast<char>(bytes[k]);
  }
  filename[used] = '\0';
  return filename;
}

}  // namespace lpx
