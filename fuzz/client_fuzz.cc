// Fuzz target: the client's side against a hostile server. A whole 'get'
// (binary or text, fresh or continuing a partial file) and a listing run
// against the frame peer on the fake port, which answers the client's
// GET, AGET or LIST with the fuzzer's replies, data frames, raw bytes,
// keep-alives and stalls; the reply numbers, fetch headers and listing
// records are the fuzzer's. A fourth job feeds the text writer alone.
//
// Input: byte 0 flags, byte 1 the partial file's length / 40, then items.
//   flags bits 0-1  job: 0 get, 1 get -c over a partial file, 2 ls, 3 the
//                   text writer
//   flags bit 2     text mode (-a)
//   flags bit 3     local names and text in UTF-8
//   items, by their first byte t:
//   00-3F  a reply: t bytes of text follow
//   40-7F  the next data frame: a length byte L follows, and the frame
//          holds L, L, 2L or 4L bytes (bits 4-5), the last 4096 for L = 0
//          (whole frames cost most: three at most); its payload is the
//          file's pattern from where the fetch stands (bit 3: the input's
//          bytes instead); bit 0 changes a byte of it, bit 1 spoils its
//          checksum, bit 2 gives it the next block's number
//   80-BF  t & 0x3F raw bytes follow, sent whatever the client answers
//   C0-DF  t & 0x1F keep-alives ("WAIT")
//   E0-FF  the next item starts (t & 0x1F) x 500 ms later
//   At most 32 items, and 16 KiB in data frames (a longer frame is sent
//   empty). The text writer's job takes the items as pieces of wire text instead:
//   a length byte, then that many bytes.
//
// Checked: the exit status is one the client has; the virtual time stays
// within 20 s per item; a get that returns 0 wrote exactly the bytes of
// the data frames the client took (after the part of the partial file it
// kept), a continued binary one only after the server sent the bytes the
// partial file ends with, a get that fails leaves no target and a partial binary file that still
// begins with what it held; a listing table holds no control byte
// but its line ends; the text writer's file counts as many wire bytes as
// it reads back as, and a wire text whose every LF follows a CR reads back
// unchanged. Files are made only in a temporary directory (on /dev/shm,
// where fsync costs nothing), removed at exit.
//
// The waits are scaled down (bursts of 4 reads and 100 ms pauses, a reply
// budget of 2 s) and every register access costs 20 us of virtual time, so
// that time-outs cost a few hundred reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/exit_status.h"
#include "client/listing_table.h"
#include "client/localtext.h"
#include "client/options.h"
#include "client/session.h"
#include "client/transfer.h"
#include "link/command.h"
#include "link/port.h"
#include "platform/platform.h"
#include "testing/fake_port.h"
#include "testing/frame_peer.h"
#include "testing/reset.h"

namespace lpx {
namespace {

constexpr uint16_t kBase = 0x378;
constexpr uint64_t kItemBudgetUs = 20000000;
// What one run sends at most: the rest of a longer input is left out, so
// that every run stays short (a byte on the fake cable costs some 1 us).
constexpr size_t kMaxItems = 32;
constexpr uint64_t kMaxDataBytes = 16384;

std::string dir;  // the temporary directory, made once

void Require(bool condition) {
  if (!condition) abort();
}

// The remote file's bytes: every value, CR and LF among them.
char Pattern(uint64_t i) { return static_cast<char>(i * 7 + i / 251); }
std::string Patterned(uint64_t from, size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = Pattern(from + i);
  return out;
}

std::string ReadFile(const std::string& path, bool* exists) {
  std::string out;
  FILE* file = fopen(path.c_str(), "rb");
  *exists = file != nullptr;
  if (file == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) out.append(buffer, n);
  fclose(file);
  return out;
}

void WriteFile(const std::string& path, const std::string& content) {
  FILE* file = fopen(path.c_str(), "wb");
  Require(file != nullptr);
  fwrite(content.data(), 1, content.size(), file);
  fclose(file);
}

// Reads the input from its cursor.
struct Input {
  const uint8_t* p;
  const uint8_t* end;
  size_t Left() const { return static_cast<size_t>(end - p); }
  int Byte() { return p < end ? *p++ : -1; }
  std::string Take(size_t n) {
    n = n < Left() ? n : Left();
    std::string out(reinterpret_cast<const char*>(p), n);
    p += n;
    return out;
  }
};

// The peer's script and what the data frames carried.
struct Script {
  std::vector<FramePeer::Item> items;
  std::vector<int> dataItems;  // data frames with the right block and checksum
  bool exact = true;           // no raw bytes, nothing out of step
};

Script MakeScript(Input in, uint64_t from) {
  Script s;
  int32_t block = 1;
  int wholes = 0;
  uint64_t at = from;
  uint64_t delayUs = 0;
  for (int t; s.items.size() < kMaxItems && (t = in.Byte()) >= 0;) {
    FramePeer::Item item;
    if (t < 0x40) {
      item.bytes = BuildFrame(0, in.Take(static_cast<size_t>(t)));
    } else if (t < 0x80) {
      // A whole frame costs some 4 ms: rare, and three at most (enough to
      // cross from one into the next twice), so that runs stay short.
      const size_t length = static_cast<size_t>(std::max(in.Byte(), 0));
      const int scale = t >> 4 & 3;
      const bool whole = scale == 3 && length == 0 && wholes++ < 3;
      size_t n = whole ? kFileFramePayload : length << (scale == 0 ? 0 : scale - 1);
      if (at - from + n > kMaxDataBytes) n = 0;
      std::string payload = (t & 8) ? in.Take(n) : Patterned(at, n);
      if ((t & 1) && !payload.empty()) payload[payload.size() / 2] ^= 0x20;
      item.bytes = BuildFrame((t & 4) ? block + 1 : block, payload, (t & 2) != 0);
      if (t & 6) s.exact = false;
      if ((t & 6) == 0) s.dataItems.push_back(static_cast<int>(s.items.size()));
      at += payload.size();
      ++block;
    } else if (t < 0xC0) {
      const std::string raw = in.Take(static_cast<size_t>(t & 0x3F));
      item.bytes.assign(raw.begin(), raw.end());
      item.raw = true;
      s.exact = false;
    } else if (t < 0xE0) {
      for (int i = 0; i < (t & 0x1F); ++i) {
        s.items.emplace_back().bytes = BuildFrame(0, "WAIT");
        s.items.back().notBeforeUs = delayUs;
      }
      continue;
    } else {
      delayUs += static_cast<uint64_t>(t & 0x1F) * 500000;
      continue;
    }
    item.notBeforeUs = delayUs;
    s.items.push_back(std::move(item));
  }
  return s;
}

// The payloads of the data frames the client took: sent whole, and the
// last link code 0.
std::string TakenData(const FramePeer& peer, const Script& s) {
  std::string out;
  for (int index : s.dataItems) {
    const FramePeer::Item& item = peer.items()[static_cast<size_t>(index)];
    if (item.codes.size() < item.bytes.size() || item.codes.back() != kCodeGoOn) continue;
    out.append(item.bytes.begin() + kPayloadOffset, item.bytes.end() - kChecksumSize);
  }
  return out;
}

bool KnownStatus(int status) {
  return (status >= kExitOk && status <= kExitIsDirectory) || status == kExitInterrupted;
}

// No byte of a terminal control sequence: C0 but LF, DEL, and C1 alone or
// in UTF-8.
void RequireShowable(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint8_t>(text[i]);
    Require((c >= 0x20 && c != 0x7F) || c == '\n');
    const bool c1 = c >= 0x80 && c <= 0x9F;
    if (localCharset == LocalCharset::kUtf8) {
      Require(!(c == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) <= 0x9F));
    } else {
      Require(!c1);
    }
  }
}

void TextWriterJob(Input in) {
  const std::string path = dir + "/t";
  FILE* file = fopen(path.c_str(), "w+b");
  Require(file != nullptr);
  TextWriter writer{file};
  std::string wire;
  for (int n; (n = in.Byte()) >= 0;) {
    const std::string piece = in.Take(static_cast<size_t>(n));
    Require(writer.Write(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()));
    wire += piece;
  }
  Require(writer.Finish() && fflush(file) == 0);
  rewind(file);
  uint64_t count = 0, localBytes = 0;
  CountWireBytes(file, &count, &localBytes);
  rewind(file);
  WireReader reader{file};
  std::string back;
  for (int c; (c = reader.Next()) >= 0;) back += static_cast<char>(c);
  fclose(file);
  unlink(path.c_str());
  Require(back.size() == count);
  bool crlf = true;
  for (size_t i = 0; i < wire.size(); ++i)
    crlf = crlf && (wire[i] != '\n' || (i > 0 && wire[i - 1] == '\r'));
  if (crlf) Require(back == wire);
}

}  // namespace
}  // namespace lpx

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The console log and the client's messages go nowhere; libFuzzer keeps
  // its own stream.
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  stderr = fopen("/dev/null", "w");
  char pattern[] = "/dev/shm/lpx-client-fuzz-XXXXXX";
  char fallback[] = "/tmp/lpx-client-fuzz-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) made = mkdtemp(fallback);
  if (made == nullptr) abort();
  lpx::dir = made;
  atexit([] {
    for (const char* name : {"/f", "/f.lpxpart", "/t"}) unlink((lpx::dir + name).c_str());
    rmdir(lpx::dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lpx;
  if (size < 2) return 0;
  const int job = data[0] & 3;
  Input in{data + 2, data + size};
  ResetAllState();
  ResetSessionState();
  ResetClientOptions();
  ResetLocalTextState();
  options.quiet = true;
  options.text = (data[0] & 4) != 0;
  options.resume = job == 1;
  if (data[0] & 8) localCharset = LocalCharset::kUtf8;
  if (job == 3) {
    TextWriterJob(in);
    return 0;
  }

  const std::string target = dir + "/f", partialPath = target + kPartSuffix;
  unlink(target.c_str());
  unlink(partialPath.c_str());
  const std::string partial = Patterned(0, size_t{data[1]} * 40);
  uint64_t from = 0;
  if (job == 1) {
    WriteFile(partialPath, partial);
    from = partial.size() > 4096 ? partial.size() - 4096 : 0;
  }

  FakePort port;
  port.SetRecording(false);
  port.SetAccessCostUs(20);
  platform = &port;
  portaddr = kBase;
  portaddr1 = kBase + 1;
  linkPolicy = kClientLinkPolicy;
  linkPolicy.wait = WaitPolicy{4, 100000, 1};
  linkPolicy.slowPauseUs = 100000;
  replyBudgetMs = 2000;
  FramePeer peer(kBase);
  port.SetPeer(&peer);
  Script script;
  // The replies start once the client has sent the command they answer.
  bool asked = false;
  peer.OnFrame([&](const FramePeer::Frame& frame) {
    const std::string text(frame.payload.begin(), frame.payload.end());
    if (asked || frame.block != 0 || text.rfind("REST", 0) == 0) return;
    asked = true;
    const uint64_t now = port.NowUs();
    for (const FramePeer::Item& item : script.items) {
      FramePeer::Item& queued = peer.Queue(item.bytes);
      queued.raw = item.raw;
      queued.notBeforeUs = now + item.notBeforeUs;
    }
  });
  script = MakeScript(in, from);
  int status = 0;
  if (job == 2) {
    std::vector<ListingEntry> entries;
    bool missing = false;
    status = ListRemote("\\r", &entries, &missing);
    if (status == 0) RequireShowable(FormatListingTable(entries));
  } else {
    uint64_t bytes = 0;
    status = FetchFile("\\r\\f", "/r/f", target.c_str(), &bytes);
  }
  Require(KnownStatus(status));
  Require(port.NowUs() <= (script.items.size() + 8) * kItemBudgetUs);

  if (job != 2) {
    bool targetExists = false, partialExists = false;
    const std::string got = ReadFile(target, &targetExists);
    const std::string left = ReadFile(partialPath, &partialExists);
    Require(targetExists == (status == 0));
    if (status == 0 && !options.text && script.exact) {
      Require(got == partial.substr(0, job == 1 ? from : 0) + TakenData(peer, script));
    }
    // A continued binary fetch goes on only after the bytes it held.
    if (status == 0 && job == 1 && !options.text && script.exact) {
      Require(TakenData(peer, script).compare(0, partial.size() - from, partial, from) == 0);
    }
    if (status != 0 && job == 1 && !options.text) {
      Require(partialExists && left.compare(0, partial.size(), partial) == 0);
    }
  }
  port.SetPeer(nullptr);
  platform = nullptr;
  return 0;
}
