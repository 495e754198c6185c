// Fuzz target: the command loop fed arbitrary command lines and data
// frames by a client on the fake port, with the fake file system in place
// of the real one (nothing real is ever touched).
//
// Input: lines separated by LF. Within a line, ESC (0x1B) followed by a
// byte b stands for b XOR 0x40, so that LF and NUL can be sent too.
//   first line: byte 0 flags (bit 0 variant C, bit 1 the client goes silent
//               after 16 * byte 1 bytes, bit 2 it answers byte 4's low
//               nibble after the byte 3-th frame it receives); bytes 5 on,
//               separated by '/', extra names in every fake directory
//   0x01 rest   a data frame numbered on from 1 (a "SIZE " line restarts
//               the count), the rest its payload
//   0x02 n rest a data frame with block number n (signed), payload rest
//   0x03        the abort frame
//   0x04 rest   raw bytes on the wire, not a frame
//   0x05 rest   a command message with a corrupted checksum
//   otherwise   a command message with this text
//
// Checked after the session: the server sent only intact frames with sane
// lengths; every command message it sent is one of its replies; its data
// frames are numbered 1, 2, 3, ... after a "SIZE" (or are the abort
// frame); no stream or directory is left open; the busy flag is clear.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "convert/charset.h"
#include "convert/fattime.h"
#include "convert/variant.h"
#include "fuzz/fake_disk.h"
#include "fuzz/fuzz_peer.h"
#include "link/command.h"
#include "link/frame_format.h"
#include "link/port.h"
#include "log/memo.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "service/command_loop.h"
#include "service/transfer_state.h"
#include "testing/fake_port.h"

namespace lpx {
namespace {

constexpr uint16_t kBase = 0x378;

const FuzzPeer* session = nullptr;  // the session being checked, for the report
void DumpFrames(const FuzzPeer& peer);

void Require(bool condition) {
  if (condition) return;
  if (session != nullptr) DumpFrames(*session);
  abort();
}

std::vector<uint8_t> Frame(int32_t block, std::string_view payload, bool corrupt = false) {
  std::vector<uint8_t> out(kFrameOverhead + payload.size());
  EncodeFixed32(out.data() + kMagicOffset, kFrameMagic);
  EncodeFixed32(out.data() + kLengthOffset, static_cast<uint32_t>(payload.size()));
  EncodeFixed32(out.data() + kBlockOffset, static_cast<uint32_t>(block));
  uint32_t a = 1;
  uint32_t b = 0;
  for (size_t i = 0; i < payload.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(payload[i]);
    out[kPayloadOffset + i] = c;
    a = (a + c) & 0xFFFF;
    b = (b + a) & 0xFFFF;
  }
  EncodeFixed32(out.data() + kPayloadOffset + payload.size(), ((b << 16) | a) + (corrupt ? 1 : 0));
  return out;
}

// Splits the input into unescaped lines.
std::vector<std::string> Lines(const uint8_t* data, size_t size) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      lines.emplace_back();
    } else if (data[i] == 0x1B && i + 1 < size) {
      lines.back().push_back(static_cast<char>(data[++i] ^ 0x40));
    } else {
      lines.back().push_back(static_cast<char>(data[i]));
    }
  }
  for (std::string& line : lines) {
    if (line.size() > kMaxPayload) line.resize(kMaxPayload);
  }
  return lines;
}

bool Digits(std::string_view text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool IsReply(std::string_view text) {
  static constexpr std::string_view kFixed[] = {
      "OK",           "OK A",         "WAIT",         "DIR ERROR 1",    "DIR ERROR 2",
      "DIR ERROR 20", "FILE ERROR 2", "REST ERROR 2", "RENAME ERROR 2",
  };
  for (std::string_view fixed : kFixed) {
    if (text == fixed) return true;
  }
  static constexpr std::string_view kNumbered[] = {"SIZE ", "REST ", "REST=", "TIME ", "ATTR "};
  for (std::string_view prefix : kNumbered) {
    if (text.substr(0, prefix.size()) == prefix && Digits(text.substr(prefix.size()))) return true;
  }
  return false;
}

// Shows what the server sent, for the report of a failed check.
void DumpFrames(const FuzzPeer& peer) {
  for (const FuzzPeer::Frame& frame : peer.frames()) {
    fprintf(stderr, "frame block %d length %d checksum %s:", frame.block, frame.length,
            frame.checksumOk ? "ok" : "BAD");
    for (size_t i = 0; i < frame.payload.size() && i < 64; ++i) {
      const unsigned char c = static_cast<unsigned char>(frame.payload[i]);
      if (c >= 0x20 && c < 0x7F) {
        fputc(c, stderr);
      } else {
        fprintf(stderr, "\\x%02X", c);
      }
    }
    fputc('\n', stderr);
  }
}

void CheckSession(const FuzzPeer& peer) {
  Require(!peer.sawInsaneLength());
  int32_t nextBlock = 0;  // 0: no data frames expected
  for (const FuzzPeer::Frame& frame : peer.frames()) {
    Require(frame.checksumOk);
    if (frame.block == 0) {
      Require(IsReply(frame.payload));
      nextBlock = frame.payload.substr(0, 5) == "SIZE " ? 1 : 0;
    } else if (frame.block == kAbortBlock) {
      Require(frame.length == 0);
      nextBlock = 0;
    } else {
      Require(nextBlock != 0 && frame.block == nextBlock);
      // A frame answered 15 comes again; one answered 13 or 14 ends the
      // transfer.
      if (frame.answer == kCodeEnded || frame.answer == kCodeWrongBlock) {
        nextBlock = 0;
      } else if (frame.answer != kCodeResend) {
        ++nextBlock;
      }
    }
  }
}

}  // namespace
}  // namespace lpx

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lpx;
  const std::vector<std::string> lines = Lines(data, size);
  const std::string& config = lines[0];
  auto configByte = [&](size_t i) -> uint8_t {
    return i < config.size() ? static_cast<uint8_t>(config[i]) : 0;
  };
  const uint8_t flags = configByte(0);

  std::vector<std::string> names;
  if (config.size() > 5) {
    std::string_view rest(config.data() + 5, config.size() - 5);
    size_t start = 0;
    while (start <= rest.size() && names.size() < 16) {
      size_t end = rest.find('/', start);
      if (end == std::string_view::npos) end = rest.size();
      names.emplace_back(rest.substr(start, end - start));
      start = end + 1;
    }
  }

  ResetLinkPortState();
  ResetLinkCommandState();
  ResetMemoState();
  ResetCharsetState();
  ResetFatTimeState();
  ResetTransferState();
  ResetCommandState();
  variantC = (flags & 1) != 0;
  linkPolicy.wait = WaitPolicy{4, 100000, 1};
  InstallFakeDisk(names);

  FakePort port;
  port.SetRecording(false);
  platform = &port;
  time_a = port.Now();
  time_b = time_a;
  FuzzPeer peer(kBase);
  if (flags & 2) peer.GoSilentAfterBytes(16u * configByte(1));
  if (flags & 4) peer.AnswerFrame(configByte(3), configByte(4) & 0x0F);

  int32_t block = 1;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const uint8_t kind = line.empty() ? 0 : static_cast<uint8_t>(line[0]);
    std::string_view rest = line.empty() ? std::string_view() : std::string_view(line).substr(1);
    switch (kind) {
      case 0x01:
        peer.Queue(Frame(block++, rest));
        break;
      case 0x02: {
        const int32_t number = rest.empty() ? 0 : static_cast<int8_t>(rest[0]);
        peer.Queue(Frame(number, rest.empty() ? rest : rest.substr(1)));
        break;
      }
      case 0x03:
        peer.Queue(Frame(kAbortBlock, ""));
        break;
      case 0x04:
        peer.Queue(std::vector<uint8_t>(rest.begin(), rest.end()), false);
        break;
      case 0x05:
        peer.Queue(Frame(0, rest, true));
        break;
      default:
        if (line.substr(0, 5) == "SIZE ") block = 1;
        peer.Queue(Frame(0, line));
        break;
    }
  }
  port.SetPeer(&peer);
  portaddr = kBase;
  portaddr1 = kBase + 1;
  DoServer();

  session = &peer;
  Require(fi == nullptr);
  Require(blocktransfer == 0);
  const FakeDiskCounts& counts = FakeDiskCountsNow();
  Require(counts.opened == counts.closed);
  CheckSession(peer);

  session = nullptr;
  port.SetPeer(nullptr);
  platform = nullptr;
  return 0;
}
