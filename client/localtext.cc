#include "client/localtext.h"

#include <langinfo.h>
#include <strings.h>

#include <cstring>

#include "convert/charset.h"
#include "log/memo.h"

namespace lpx {

LocalCharset localCharset = LocalCharset::kLatin9;

namespace {

constexpr int32_t kEuro = 0x20AC;
constexpr uint8_t kClientEuro = 0x80;
constexpr uint8_t kUnrepresentable = '~';

// Byte readers over a file and over a string (the context points to the
// string's cursor), for ReadUTF8Char.
int ReadFileByte(void* file) { return getc(static_cast<FILE*>(file)); }
void UnreadFileByte(int c, void* file) { ungetc(c, static_cast<FILE*>(file)); }
int ReadStringByte(void* cursor) {
  const uint8_t*& p = *static_cast<const uint8_t**>(cursor);
  return *p == 0 ? -1 : *p++;
}
void UnreadStringByte(int, void* cursor) { --*static_cast<const uint8_t**>(cursor); }

// The length of a well-formed UTF-8 sequence that starts with `lead`; 1
// for a byte that cannot start one (it then counts as malformed).
int SequenceLength(int lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

// The client byte of a code point, or -1 when it has none. U+0080 is left
// out: its byte is the euro sign's.
int ClientByteOf(int32_t cp) {
  if (cp >= 0 && cp < 0x80) return cp;
  if (cp == kEuro) return kClientEuro;
  if (cp > 0x80 && cp <= 0xFF) return cp;
  return -1;
}

// The client byte of the local character that starts with `lead` (read
// already; the rest comes from `next`), or -1 when it has none (malformed,
// cut short, or beyond the client's set). *ch tells the bytes it took and
// whether the source ended inside it.
int ClientByteOfNext(int lead, ByteReader next, ByteUnreader unread, void* source, UTF8Char* ch) {
  if (localCharset == LocalCharset::kLatin9) {
    *ch = UTF8Char{lead, 1, false};
    return ISO8859_15(static_cast<uint8_t>(lead));
  }
  *ch = ReadUTF8Char(lead, SequenceLength(lead), next, source, unread);
  return ClientByteOf(ch->codePoint);
}

bool Append(char* out, size_t size, size_t* used, const uint8_t* bytes, size_t n) {
  if (*used + n >= size) return false;
  memcpy(out + *used, bytes, n);
  *used += n;
  out[*used] = '\0';
  return true;
}

}  // namespace

void ResetLocalTextState() { localCharset = LocalCharset::kLatin9; }

LocalCharset CharsetFromLocale() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset != nullptr &&
      (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0)) {
    return LocalCharset::kUtf8;
  }
  return LocalCharset::kLatin9;
}

bool ParseCharset(const char* name, LocalCharset* charset) {
  if (strcasecmp(name, "utf8") == 0 || strcasecmp(name, "utf-8") == 0) {
    *charset = LocalCharset::kUtf8;
    return true;
  }
  if (strcasecmp(name, "latin9") == 0 || strcasecmp(name, "iso8859-15") == 0 ||
      strcasecmp(name, "iso-8859-15") == 0) {
    *charset = LocalCharset::kLatin9;
    return true;
  }
  return false;
}

bool RemotePathToClient(const char* path, char* out, size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  size_t used = 0;
  const uint8_t* cursor = reinterpret_cast<const uint8_t*>(path);
  for (;;) {
    const int lead = ReadStringByte(&cursor);
    if (lead < 0) return true;
    UTF8Char ch;
    const int client =
        lead == '/' ? '\\' : ClientByteOfNext(lead, ReadStringByte, UnreadStringByte, &cursor, &ch);
    if (client < 0) return false;
    const uint8_t byte = static_cast<uint8_t>(client);
    if (!Append(out, size, &used, &byte, 1)) return false;
  }
}

bool ClientNameToLocal(const char* name, char* out, size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  size_t used = 0;
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(name); *p != 0; ++p) {
    uint8_t bytes[3] = {'?'};
    const size_t n = (*p < 0x20 || *p == 0x7F) ? 1 : ClientByteToLocal(*p, localCharset, bytes);
    if (!Append(out, size, &used, bytes, n)) return false;
  }
  return true;
}

std::string ShownText(std::string_view text) {
  const ConsoleEncoder toLocal = [](uint8_t c, uint8_t out[3]) {
    return ClientByteToLocal(c, localCharset, out);
  };
  std::string shown;
  int32_t columns = 0;
  for (const char c : text) {
    uint8_t bytes[kMaxConsoleForm];
    const size_t n = ConsoleForm(static_cast<uint8_t>(c), toLocal, true, bytes, &columns);
    shown.append(reinterpret_cast<const char*>(bytes), n);
  }
  return shown;
}

const char* PathBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (IsPathSeparator(*p)) base = p + 1;
  }
  return base;
}

std::string WithoutTrailingSeparators(const std::string& path) {
  if (path.empty()) return path;
  const size_t end = path.find_last_not_of("/\\");
  return end == std::string::npos ? "/" : path.substr(0, end + 1);
}

std::string JoinPath(const std::string& dir, const std::string& name, char separator) {
  if (!dir.empty() && IsPathSeparator(dir.back())) return dir + name;
  return dir + separator + name;
}

int WireReader::Next() {
  if (lfPending) {
    lfPending = false;
    return '\n';
  }
  const int lead = ReadFileByte(file);
  if (lead < 0) return -1;
  UTF8Char ch;
  const int byte = ClientByteOfNext(lead, ReadFileByte, UnreadFileByte, file, &ch);
  if (byte == '\n') {
    lfPending = true;
    return '\r';
  }
  return byte < 0 ? kUnrepresentable : byte;
}

bool TextWriter::Write(const uint8_t* wire, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = wire[i];
    if (crPending) {
      crPending = false;
      if (c != '\n' && putc('\r', file) == EOF) return false;
    }
    if (c == '\r') {
      crPending = true;
      continue;
    }
    uint8_t bytes[3];
    const size_t count = ClientByteToLocal(c, localCharset, bytes);
    if (fwrite(bytes, 1, count, file) != count) return false;
  }
  return true;
}

bool TextWriter::Finish() {
  if (!crPending) return true;
  crPending = false;
  return putc('\r', file) != EOF;
}

void CountWireBytes(FILE* file, uint64_t* wire, uint64_t* localBytes) {
  *wire = 0;
  *localBytes = 0;
  for (;;) {
    const int lead = ReadFileByte(file);
    if (lead < 0) return;
    UTF8Char ch;
    const int byte = ClientByteOfNext(lead, ReadFileByte, UnreadFileByte, file, &ch);
    if (ch.cut) return;
    *wire += byte == '\n' ? 2 : 1;
    *localBytes += static_cast<uint64_t>(ch.bytes);
  }
}

}  // namespace lpx
