#include "client/localtext.h"

#include <langinfo.h>
#include <strings.h>

#include <cstring>

#include "convert/charset.h"

namespace lpx {

LocalCharset localCharset = LocalCharset::kLatin9;

namespace {

constexpr int32_t kEuro = 0x20AC;
constexpr uint8_t kClientEuro = 0x80;
constexpr uint8_t kUnrepresentable = '~';

// Where the UTF-8 decoder takes its bytes from: a string or a file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int Get() = 0;             // next byte, or -1 at the end
  virtual void Unget(int byte) = 0;  // at most one byte back
};

class StringSource final : public ByteSource {
 public:
  explicit StringSource(const char* text) : p_(reinterpret_cast<const uint8_t*>(text)) {}
  int Get() override { return *p_ == 0 ? -1 : *p_++; }
  void Unget(int byte) override {
    if (byte >= 0) --p_;
  }

 private:
  const uint8_t* p_;
};

class FileSource final : public ByteSource {
 public:
  explicit FileSource(FILE* file) : file_(file) {}
  int Get() override {
    const int c = getc(file_);
    return c == EOF ? -1 : c;
  }
  void Unget(int byte) override {
    if (byte >= 0) ungetc(byte, file_);
  }

 private:
  FILE* file_;
};

// One decoded character: its code point (-1 when malformed), the bytes it
// took, and whether the source ended in the middle of it.
struct Decoded {
  int32_t codePoint = -1;
  int bytes = 0;
  bool cut = false;
};

// Decodes the UTF-8 character that starts with `lead`. A byte that cannot
// continue the sequence is put back and the sequence counts as malformed.
Decoded DecodeUtf8(int lead, ByteSource& source) {
  Decoded d;
  d.bytes = 1;
  int more = 0;
  int32_t cp = 0;
  if (lead < 0x80) {
    d.codePoint = lead;
    return d;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    cp = lead & 0x07;
  } else {
    return d;  // a lone continuation byte or an impossible lead
  }
  for (int i = 0; i < more; ++i) {
    const int c = source.Get();
    if (c < 0) {
      d.cut = true;
      return d;
    }
    if ((c & 0xC0) != 0x80) {
      source.Unget(c);
      return d;
    }
    cp = (cp << 6) | (c & 0x3F);
    ++d.bytes;
  }
  d.codePoint = cp;
  return d;
}

// The client byte of a code point, or -1 when it has none. U+0080 is left
// out: its byte is the euro sign's.
int ClientByteOf(int32_t cp) {
  if (cp >= 0 && cp < 0x80) return cp;
  if (cp == kEuro) return kClientEuro;
  if (cp > 0x80 && cp <= 0xFF) return cp;
  return -1;
}

// The client byte of the next local character, or -1 at the end; '~' for a
// character without one. `cut` tells that the file ended inside it.
int NextClientByte(ByteSource& source, bool* cut, int* bytes) {
  *cut = false;
  *bytes = 0;
  const int lead = source.Get();
  if (lead < 0) return -1;
  if (localCharset == LocalCharset::kLatin9) {
    *bytes = 1;
    return ISO8859_15(static_cast<uint8_t>(lead));
  }
  const Decoded d = DecodeUtf8(lead, source);
  *cut = d.cut;
  *bytes = d.bytes;
  const int byte = ClientByteOf(d.codePoint);
  return byte < 0 ? kUnrepresentable : byte;
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
  StringSource source(path);
  for (;;) {
    const int lead = source.Get();
    if (lead < 0) return true;
    uint8_t byte;
    if (lead == '/') {
      byte = '\\';
    } else if (localCharset == LocalCharset::kLatin9) {
      byte = ISO8859_15(static_cast<uint8_t>(lead));
    } else {
      const int client = ClientByteOf(DecodeUtf8(lead, source).codePoint);
      if (client < 0) return false;
      byte = static_cast<uint8_t>(client);
    }
    if (!Append(out, size, &used, &byte, 1)) return false;
  }
}

bool ClientNameToLocal(const char* name, char* out, size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  size_t used = 0;
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(name); *p != 0; ++p) {
    uint8_t bytes[3];
    size_t n = 1;
    if (*p < 0x20 || *p == 0x7F) {
      bytes[0] = '?';
    } else if (localCharset == LocalCharset::kLatin9) {
      bytes[0] = ISO8859_15(*p);
    } else {
      n = EncodeUTF8Byte(*p, bytes);
    }
    if (!Append(out, size, &used, bytes, n)) return false;
  }
  return true;
}

const char* PathBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

int WireReader::Next() {
  if (lfPending) {
    lfPending = false;
    return '\n';
  }
  FileSource source(file);
  bool cut = false;
  int bytes = 0;
  const int byte = NextClientByte(source, &cut, &bytes);
  if (byte == '\n') {
    lfPending = true;
    return '\r';
  }
  return byte;
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
    size_t count = 1;
    if (localCharset == LocalCharset::kLatin9) {
      bytes[0] = ISO8859_15(c);
    } else {
      count = EncodeUTF8Byte(c, bytes);
    }
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
  FileSource source(file);
  for (;;) {
    bool cut = false;
    int bytes = 0;
    const int byte = NextClientByte(source, &cut, &bytes);
    if (byte < 0 || cut) return;
    *wire += byte == '\n' ? 2 : 1;
    *localBytes += static_cast<uint64_t>(bytes);
  }
}

}  // namespace lpx
