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
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "convert/variant.h"
#include "fuzz/fake_disk.h"
#include "link/command.h"
#include "link/frame_format.h"
#include "link/port.h"
#include "platform/platform.h"
#include "service/transfer_state.h"
#include "testing/client_model.h"
#include "testing/fake_port.h"
#include "testing/reset.h"

namespace lpx {
namespace {

// Virtual time after which the client presses Ctrl/C whatever happens.
constexpr uint64_t kSessionLimitUs = 600ull * 1000 * 1000;

const ClientModel* session = nullptr;  // the session being checked, for the report
void DumpFrames(const ClientModel& client);

void Require(bool condition) {
  if (condition) return;
  if (session != nullptr) DumpFrames(*session);
  abort();
}

std::string_view Text(const FramePeer::Frame& frame) {
  return std::string_view(reinterpret_cast<const char*>(frame.payload.data()),
                          frame.payload.size());
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
void DumpFrames(const ClientModel& client) {
  for (const FramePeer::Frame& frame : client.frames()) {
    fprintf(stderr, "frame block %d length %d checksum %s:", frame.block, frame.length,
            frame.checksumOk ? "ok" : "BAD");
    for (size_t i = 0; i < frame.payload.size() && i < 64; ++i) {
      const uint8_t c = frame.payload[i];
      if (c >= 0x20 && c < 0x7F) {
        fputc(c, stderr);
      } else {
        fprintf(stderr, "\\x%02X", c);
      }
    }
    fputc('\n', stderr);
  }
}

void CheckSession(const ClientModel& client) {
  int32_t nextBlock = 0;  // 0: no data frames expected
  for (const FramePeer::Frame& frame : client.frames()) {
    Require(frame.length >= 0 && frame.length <= static_cast<int32_t>(kMaxPayload));
    Require(frame.checksumOk);
    if (frame.block == 0) {
      Require(IsReply(Text(frame)));
      nextBlock = Text(frame).substr(0, 5) == "SIZE " ? 1 : 0;
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

  ResetAllState();
  variantC = (flags & 1) != 0;
  linkPolicy.wait = WaitPolicy{4, 100000, 1};
  InstallFakeDisk(names);

  FakePort port;
  port.SetRecording(false);
  platform = &port;
  ClientModel client(port);
  client.LimitSessionTo(kSessionLimitUs);
  if (flags & 2) client.GoSilentAfterBytes(16u * configByte(1));
  if (flags & 4) {
    const size_t frame = configByte(3);
    const uint8_t code = configByte(4) & 0x0F;
    client.Verdict([&client, frame, code](const FramePeer::Frame& f) {
      const uint8_t standard = FramePeer::DefaultVerdict(f);
      return standard == kCodeGoOn && client.frames().size() == frame ? code : standard;
    });
  }

  int32_t block = 1;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const uint8_t kind = line.empty() ? 0 : static_cast<uint8_t>(line[0]);
    std::string_view rest = line.empty() ? std::string_view() : std::string_view(line).substr(1);
    switch (kind) {
      case 0x01:
        client.SendData(block++, rest);
        break;
      case 0x02: {
        const int32_t number = rest.empty() ? 0 : static_cast<int8_t>(rest[0]);
        client.SendData(number, rest.empty() ? rest : rest.substr(1));
        break;
      }
      case 0x03:
        client.SendAbort();
        break;
      case 0x04:
        client.Queue(std::vector<uint8_t>(rest.begin(), rest.end())).raw = true;
        break;
      case 0x05:
        client.Queue(BuildFrame(0, rest, true));
        break;
      default:
        if (line.substr(0, 5) == "SIZE ") block = 1;
        client.Send(line);
        break;
    }
  }
  client.RunServer();

  session = &client;
  Require(fi == nullptr);
  Require(blocktransfer == 0);
  const FakeDiskCounts& counts = FakeDiskCountsNow();
  Require(counts.opened == counts.closed);
  CheckSession(client);

  session = nullptr;
  platform = nullptr;
  return 0;
}
