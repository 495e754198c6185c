// Fuzz target: the command loop fed arbitrary command lines and data
// frames by a client on the fake port, with the fake file system in place
// of the real one (nothing real is ever touched).
//
// Input: lines separated by LF. Within a line, ESC (0x1B) followed by a
// byte b stands for b XOR 0x40, so that LF and NUL can be sent too.
//   first line: byte 0 flags, bytes 5 on, separated by '/', extra names in
//               every fake directory. Flags:
//                 bit 0  variant C
//                 bit 1  the client vanishes at byte 16 * byte 1 + byte 2
//                        (counted over both directions)
//                 bit 3  ... in the middle of that byte
//                 bit 2  it answers byte 4's low nibble after the byte 3-th
//                        frame it receives
//                 bit 4  from the byte 3-th frame on it answers 15 to every
//                        frame, for ever
//   0x01 rest   a data frame numbered on from 1 (a "SIZE " line restarts
//               the count), the rest its payload
//   0x02 n rest a data frame with block number n (signed), payload rest
//   0x03        the abort frame
//   0x04 rest   raw bytes on the wire, not a frame
//   0x05 rest   a command message with a corrupted checksum
//   otherwise   a command message with this text
//
// Checked after the session:
// - the server sent only intact frames with sane lengths; every command
//   message it sent is one of its replies; its data frames are numbered
//   1, 2, 3, ... after a "SIZE" (or are the abort frame); no stream or
//   directory is left open; the busy flag is clear;
// - every exchange ended, and the server was back in its idle poll, within
//   kExchangeLimitUs of virtual time (port accesses cost time too, so an
//   endless loop on the cable is seen);
// - an upload whose data frames were all taken holds exactly the bytes the
//   client sent, after the part before its restart offset (a failed upload
//   is never answered as a success);
// - every file that changed was named by a command of the same session
//   (a session starts with the server and with each CONNECT), and a GET
//   announces a restart offset only when the session asked for one;
// - what follows the last CONNECT goes exactly as on a freshly started
//   server with the same files: the session is played again from the copy
//   of that CONNECT the server took and the frames, link codes and files
//   compared.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "convert/charset.h"
#include "convert/path.h"
#include "convert/variant.h"
#include "fuzz/fake_disk.h"
#include "link/command.h"
#include "link/frame_format.h"
#include "link/port.h"
#include "link/protocol.h"
#include "platform/platform.h"
#include "service/command_loop.h"
#include "service/transfer_state.h"
#include "testing/client_model.h"
#include "testing/fake_port.h"
#include "testing/reset.h"

namespace lpx {
namespace {

#define LPX_UNTRACED __attribute__((no_sanitize("coverage", "address", "undefined")))

// Virtual time after which the client presses Ctrl/C whatever happens (a
// session of time-outs of about 2 s each ends well before).
constexpr uint64_t kSessionLimitUs = 120ull * 1000 * 1000;
// What each port access costs in virtual time (about what a byte of the
// handshake takes on a real cable, per access).
constexpr uint64_t kAccessCostUs = 5;
// The longest an exchange may keep the server from its idle poll: a few
// time-outs of about 2 s, and a frame of 4 KiB sent again a few dozen
// times, fit well within it.
constexpr uint64_t kExchangeLimitUs = 20ull * 1000 * 1000;

const ClientModel* session = nullptr;  // the session being checked, for the report
void DumpFrames(const ClientModel& client);

void Fail(const char* what) {
  fprintf(stderr, "command_loop_fuzz: %s\n", what);
  if (session != nullptr) DumpFrames(*session);
  abort();
}

void Require(bool condition, const char* what) {
  if (!condition) Fail(what);
}

std::string_view Text(const FramePeer::Frame& frame) {
  return std::string_view(reinterpret_cast<const char*>(frame.payload.data()),
                          frame.payload.size());
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
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
    if (StartsWith(text, prefix) && Digits(text.substr(prefix.size()))) return true;
  }
  return false;
}

// Shows what the server sent, for the report of a failed check.
void DumpFrames(const ClientModel& client) {
  for (const FramePeer::Frame& frame : client.frames()) {
    fprintf(stderr, "frame block %d length %d checksum %s answer %u:", frame.block, frame.length,
            frame.checksumOk ? "ok" : "BAD", frame.answer);
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

void CheckFrames(const ClientModel& client) {
  int32_t nextBlock = 0;  // 0: no data frames expected
  for (const FramePeer::Frame& frame : client.frames()) {
    Require(frame.length >= 0 && frame.length <= static_cast<int32_t>(kMaxPayload),
            "a frame with an insane length");
    Require(frame.checksumOk, "a frame with a bad checksum");
    if (frame.block == 0) {
      Require(IsReply(Text(frame)), "a command message that is no reply");
      nextBlock = StartsWith(Text(frame), "SIZE ") ? 1 : 0;
    } else if (frame.block == kAbortBlock) {
      Require(frame.length == 0, "an abort frame with a payload");
      nextBlock = 0;
    } else {
      Require(nextBlock != 0 && frame.block == nextBlock, "a data frame out of order");
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

// --- The input -------------------------------------------------------------

// One item the client sends, as the input describes it.
struct Item {
  bool raw = false;
  bool corrupt = false;
  int32_t block = 0;
  std::string payload;
  std::vector<uint8_t> bytes;
};

struct Script {
  bool variantC = false;
  std::optional<uint64_t> silentAt;  // byte at which the client vanishes
  bool silentMid = false;
  bool answer = false;   // answers `code` after frame `frame`
  bool forever = false;  // answers 15 to every frame from `frame` on
  size_t frame = 0;
  uint8_t code = 0;
  std::vector<std::string> names;
  std::vector<Item> items;
};

Script Parse(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = Lines(data, size);
  const std::string& config = lines[0];
  auto configByte = [&](size_t i) -> uint8_t {
    return i < config.size() ? static_cast<uint8_t>(config[i]) : 0;
  };
  Script script;
  const uint8_t flags = configByte(0);
  script.variantC = (flags & 1) != 0;
  if (flags & 2) script.silentAt = 16u * configByte(1) + configByte(2);
  script.silentMid = (flags & 8) != 0;
  script.answer = (flags & 4) != 0;
  script.forever = (flags & 16) != 0;
  script.frame = configByte(3);
  script.code = configByte(4) & 0x0F;
  if (config.size() > 5) {
    std::string_view rest(config.data() + 5, config.size() - 5);
    size_t start = 0;
    while (start <= rest.size() && script.names.size() < 16) {
      size_t end = rest.find('/', start);
      if (end == std::string_view::npos) end = rest.size();
      script.names.emplace_back(rest.substr(start, end - start));
      start = end + 1;
    }
  }

  int32_t block = 1;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const uint8_t kind = line.empty() ? 0 : static_cast<uint8_t>(line[0]);
    std::string_view rest = line.empty() ? std::string_view() : std::string_view(line).substr(1);
    Item item;
    switch (kind) {
      case 0x01:
        item.block = block++;
        item.payload = rest;
        break;
      case 0x02:
        item.block = rest.empty() ? 0 : static_cast<int8_t>(rest[0]);
        item.payload = rest.empty() ? rest : rest.substr(1);
        break;
      case 0x03:
        item.block = kAbortBlock;
        break;
      case 0x04:
        // No bytes, no item: the peer would pass over it unseen.
        if (rest.empty()) continue;
        item.raw = true;
        item.bytes.assign(rest.begin(), rest.end());
        break;
      case 0x05:
        item.corrupt = true;
        item.payload = rest;
        break;
      default:
        if (StartsWith(line, "SIZE ")) block = 1;
        item.payload = line;
        break;
    }
    if (!item.raw) item.bytes = BuildFrame(item.block, item.payload, item.corrupt);
    script.items.push_back(std::move(item));
  }
  return script;
}

// --- One run of the server ---------------------------------------------------

// The command state as the process starts, taken before the first run. Each
// run starts from it and not from ResetCommandState alone: the replay of a
// session must meet a freshly started server even where that reset, whose
// work the replay checks, leaves something behind.
struct CommandState {
  char recName[kNameStateSize];
  char renamedFrom[kNameStateSize];
  int32_t restartOffset;
  int32_t remoteOffset;
  int32_t fileTime;
  int32_t fileAttr;
  int textMode;
  int8_t lastResult;
  int32_t dosMode;
};

CommandState TakeCommandState() {
  CommandState state;
  memcpy(state.recName, recName, sizeof recName);
  memcpy(state.renamedFrom, renamedFrom, sizeof renamedFrom);
  state.restartOffset = restartOffset;
  state.remoteOffset = remoteOffset;
  state.fileTime = fileTime;
  state.fileAttr = fileAttr;
  state.textMode = textMode;
  state.lastResult = lastResult;
  state.dosMode = DOSmode;
  return state;
}

const CommandState startState = TakeCommandState();

void RestoreCommandState(const CommandState& state) {
  memcpy(recName, state.recName, sizeof recName);
  memcpy(renamedFrom, state.renamedFrom, sizeof renamedFrom);
  restartOffset = state.restartOffset;
  remoteOffset = state.remoteOffset;
  fileTime = state.fileTime;
  fileAttr = state.fileAttr;
  textMode = state.textMode;
  lastResult = state.lastResult;
  DOSmode = state.dosMode;
}

// Watches every port access of the server: notes when each item of the
// client begins (and takes an image of the disk then), tells the fake disk
// which item is under way, and stops the run when an exchange lasts too
// long. It runs at every access and takes only register values from the
// code under test: like the fake port, it is kept from the fuzzer's
// tracing and from the sanitizers (LPX_UNTRACED).
class Watch final : public PlatformWrapper {
 public:
  Watch(FakePort& port, ClientModel& client)
      : PlatformWrapper(&port), port_(port), client_(client) {}

  LPX_UNTRACED uint8_t In(uint16_t addr) override {
    Step();
    const uint8_t value = port_.In(addr);
    statusRead_ = addr == portaddr1;
    return value;
  }
  LPX_UNTRACED void Out(uint16_t addr, uint8_t value) override {
    Step();
    port_.Out(addr, value);
    statusRead_ = false;
    signal_ = addr == portaddr && value == kCodeWrongBlock;
  }
  LPX_UNTRACED void SleepUs(uint32_t us) override {
    port_.SleepUs(us);
    // In the command loop: the idle poll, a 50 ms pause right after a
    // status read, or the connection-error signal of its recovery, a
    // 50 ms pause after code 14 with the busy line low (a client that
    // vanished with its line raised keeps the loop from its idle poll).
    if ((statusRead_ || signal_) && us == kIdlePollUs) idleUs_ = port_.NowUs();
    statusRead_ = false;
    signal_ = false;
    Step();
  }

  // Items begun so far; for each, the disk, the bytes begun and the frames
  // received when it began.
  // (An item is seen at the first access after its first byte's code; the
  // peer has begun its next byte then unless that code ended the item.)
  LPX_UNTRACED void Step() {
    while (next_ != nullptr && !next_->codes.empty()) {
      images.push_back(FakeDiskImage());
      const uint8_t code = next_->codes[0];
      const bool more = code == kCodeResend || (code < kCodeEnded && next_->bytes.size() > 1);
      bytesAt.push_back(client_.BytesBegun() - 1 - (more ? 1 : 0));
      framesAt.push_back(client_.frames().size());
      ++begun_;
      next_ = begun_ < client_.items().size() ? &client_.items()[begun_] : nullptr;
    }
    fakeDiskStep = static_cast<int>(begun_) - 1;
    if (port_.NowUs() - idleUs_ > kExchangeLimitUs) {
      Fail("the server did not return to its command loop in time");
    }
  }
  size_t Begun() const { return begun_; }
  // Call once every item is queued.
  void Start() { next_ = client_.items().empty() ? nullptr : &client_.items()[0]; }

  std::vector<DiskImage> images;
  std::vector<uint64_t> bytesAt;
  std::vector<size_t> framesAt;

 private:
  FakePort& port_;
  ClientModel& client_;
  size_t begun_ = 0;
  const FramePeer::Item* next_ = nullptr;  // the first item not yet begun
  bool statusRead_ = false;
  bool signal_ = false;
  uint64_t idleUs_ = 0;
};

// A run of DoServer against a client that sends script.items[first...],
// on the files of `start`, with the client's counts of bytes and frames
// shifted back by `bytesBefore` and `framesBefore` (so that a replay from
// an item behaves like the original from there).
struct Run {
  FakePort port;
  ClientModel client{port};
  Watch watch{port, client};
  std::vector<size_t> frameItem;  // for each frame received, the item under way

  Run(const Script& script, size_t first, const DiskImage* start, uint64_t bytesBefore,
      size_t framesBefore) {
    ResetAllState();
    RestoreCommandState(startState);
    variantC = script.variantC;
    linkPolicy.wait = WaitPolicy{4, 100000, 1};
    InstallFakeDisk(script.names);
    if (start != nullptr) RestoreFakeDisk(*start);
    port.SetRecording(false);
    port.SetAccessCostUs(kAccessCostUs);
    client.LimitSessionTo(kSessionLimitUs);
    if (script.silentAt && *script.silentAt >= bytesBefore) {
      client.GoSilentAt(*script.silentAt - bytesBefore, script.silentMid);
    }
    if (script.forever) client.LimitCopies(0);
    const size_t frame = script.frame;
    const uint8_t code = script.code;
    const bool answer = script.answer;
    const bool forever = script.forever;
    ClientModel* c = &client;
    client.Verdict([=](const FramePeer::Frame& f) {
      const uint8_t standard = FramePeer::DefaultVerdict(f);
      const size_t index = framesBefore + c->frames().size();
      if (forever && index >= frame) return kCodeResend;
      return answer && standard == kCodeGoOn && index == frame ? code : standard;
    });
    client.OnFrame([this](const FramePeer::Frame&) {
      watch.Step();
      frameItem.push_back(watch.Begun() == 0 ? 0 : watch.Begun() - 1);
    });
    for (size_t i = first; i < script.items.size(); ++i) {
      client.Queue(script.items[i].bytes).raw = script.items[i].raw;
    }
    watch.Start();
    platform = &watch;
    session = &client;
    client.RunServer();
    watch.Step();
    while (watch.images.size() <= script.items.size() - first) {
      watch.images.push_back(FakeDiskImage());
    }
    Require(fi == nullptr, "a stream left in fi");
    Require(blocktransfer == 0, "the busy flag left set");
    const FakeDiskCounts& counts = FakeDiskCountsNow();
    Require(counts.opened == counts.closed, "a stream or directory left open");
    CheckFrames(client);
    platform = nullptr;
    session = nullptr;
  }
};

// --- What the client knows ---------------------------------------------------

// Whether the server took the whole item: the codes it answered, replayed
// on the item's bytes as the peer sends them.
bool Taken(const FramePeer::Item& item) {
  size_t pos = 0;
  for (uint8_t code : item.codes) {
    if (code == kCodeResend) {
      pos = 0;
    } else if (code >= kCodeEnded) {
      return false;
    } else if (++pos == item.bytes.size()) {
      return true;
    }
  }
  return false;
}

std::string Mapped(std::string_view clientPath) {
  const std::string text(clientPath);
  const char* mapped = FormatUnixName(text.c_str());
  return mapped != nullptr ? mapped : "";
}

// The local bytes that a text upload's wire bytes become.
std::string TextStored(const std::string& wire) {
  const int32_t saved = DOSmode;
  DOSmode = 0;
  std::string out;
  for (char c : wire) {
    if (c == '\r') continue;
    uint8_t bytes[3];
    const size_t n = ClientByteToLocal(Dos2Ansi(static_cast<uint8_t>(c)), bytes);
    out.append(reinterpret_cast<const char*>(bytes), n);
  }
  DOSmode = saved;
  return out;
}

// The command state as the client of one session knows it.
struct Known {
  std::string recName;
  bool text = false;
  std::optional<int64_t> local = 0;    // restart offset in the file
  std::optional<uint32_t> remote = 0;  // restart offset on the wire
  std::set<std::string> named;         // local paths the session's commands named
  bool modelled = true;                // no raw bytes in the session
};

// The first command message the server sent during item k.
std::optional<std::string_view> ReplyTo(const Run& run, size_t k) {
  const std::vector<FramePeer::Frame>& frames = run.client.frames();
  for (size_t i = 0; i < frames.size(); ++i) {
    if (run.frameItem[i] == k && frames[i].block == 0 && Text(frames[i]) != "WAIT") {
      return Text(frames[i]);
    }
  }
  return std::nullopt;
}

void CheckUpload(const Run& run, const Known& known, size_t sizeItem, size_t after,
                 const std::string& data) {
  Require(!known.recName.empty(), "an upload without a pending name was taken");
  const std::string path = Mapped(known.recName);
  const std::optional<std::string> before = FileIn(run.watch.images[sizeItem], path);
  const std::optional<std::string> stored = FileIn(run.watch.images[after], path);
  Require(stored.has_value(), "an upload answered as stored left no file");
  const std::string sent = known.text ? TextStored(data) : data;
  if (known.local) {
    // The server resumes against the size the file's status shows, which
    // for a ".huge" file lies beyond the bytes the fake holds: those it
    // does not hold read as the end of the file, and a write past them
    // fills the gap with zeros.
    const size_t local = static_cast<size_t>(*known.local);
    Require(local == 0 || SizeShownIn(run.watch.images[sizeItem], path) >= local,
            "an upload resumed past the end of the file was taken");
    std::string prefix = local == 0 ? std::string() : before->substr(0, local);
    prefix.resize(local, '\0');
    Require(*stored == prefix + sent, "a stored file differs from what the client sent");
    return;
  }
  // A text upload resumed where the server counted: the file ends with the
  // data, after a part of what it held.
  Require(stored->size() >= sent.size() &&
              stored->compare(stored->size() - sent.size(), sent.size(), sent) == 0,
          "a resumed upload does not end with the data sent");
  const size_t kept = stored->size() - sent.size();
  Require(before && before->size() >= kept && before->compare(0, kept, *stored, 0, kept) == 0,
          "a resumed upload changed the part before its offset");
}

// Walks the items as the client saw them and checks what it can know.
// Returns the index of the last CONNECT the server took (0 when none).
size_t CheckClientView(const Script& script, const Run& run) {
  const std::deque<FramePeer::Item>& items = run.client.items();
  const std::vector<DiskChange>& changes = FakeDiskChanges();
  size_t change = 0;
  size_t lastConnect = 0;
  Known known;
  for (size_t k = 0; k < items.size(); ++k) {
    const Item& item = script.items[k];
    const bool taken = Taken(items[k]);
    if (item.raw) known.modelled = false;
    if (!item.raw && item.block == 0 && taken && item.payload.size() < kCommandBufferSize) {
      const std::string line = item.payload.substr(0, item.payload.find('\0'));
      auto argument = [&](std::string_view command) {
        return StartsWith(line, command) ? std::optional<std::string>(line.substr(command.size()))
                                         : std::nullopt;
      };
      if (StartsWith(line, "CONNECT")) {
        // Only a CONNECT the server answered starts a session the client
        // knows: its view can take one the server read out of step (inside
        // a longer frame, after raw bytes), and then what follows as well.
        const std::optional<std::string_view> reply = ReplyTo(run, k);
        known = Known();
        known.modelled = reply && *reply == kReplyConnected;
        if (known.modelled) lastConnect = k;
      }
      for (std::string_view command :
           {"LIST ", "GET ", "AGET ", "PUT ", "APUT ", "DEL ", "MD ", "RD ", "RNFR ", "RNTO "}) {
        if (auto path = argument(command)) known.named.insert(Mapped(*path));
      }
      if (argument("LIST ")) known.text = false;
      if (argument("GET ") || argument("AGET ")) {
        const std::optional<std::string_view> reply = ReplyTo(run, k);
        if (known.modelled && known.local && reply && *reply != "FILE ERROR 2") {
          const std::string rest = "REST " + std::to_string(*known.local);
          Require(*known.local == 0 ? !StartsWith(*reply, "REST ") : *reply == rest,
                  "a GET announced a restart offset the session did not ask for");
        }
        known.local = 0;
        known.remote = 0;
      }
      for (std::string_view command : {"PUT ", "APUT "}) {
        if (auto name = argument(command)) {
          known.recName = *name;
          known.text = command == "APUT ";
          known.local = 0;
          known.remote = 0;
        }
      }
      if (auto value = argument("REST ")) {
        if (StartsWith(*value, "?")) {
          const std::optional<std::string_view> reply = ReplyTo(run, k);
          if (reply && StartsWith(*reply, "REST=")) {
            known.remote =
                static_cast<uint32_t>(strtoul(std::string(reply->substr(5)).c_str(), nullptr, 10));
            known.local = known.text ? std::nullopt : std::optional<int64_t>(*known.remote);
          } else if (!reply || known.local != 0 || known.remote != 0) {
            known.local = std::nullopt;
            known.remote = std::nullopt;
          }
        } else {
          const int32_t offset = StrToInt(value->c_str());
          known.local = offset < 0 ? 0 : offset;
        }
      }
      if (auto value = argument("SIZE ")) {
        // The data frames that follow: taken in order, to the size.
        const uint32_t size = static_cast<uint32_t>(StrToInt(value->c_str()));
        uint32_t received = known.remote.value_or(0);
        std::string data;
        size_t j = k + 1;
        bool whole = received == size && size == 0;
        for (int32_t block = 1; received != size && j < items.size(); ++block, ++j) {
          const Item& frame = script.items[j];
          if (frame.raw || frame.block != block || !Taken(items[j])) break;
          received += static_cast<uint32_t>(frame.payload.size());
          data += frame.payload;
          whole = received == size;
        }
        if (known.modelled && known.remote && whole && size != 0) {
          CheckUpload(run, known, k, j, data);
        }
        known.recName.clear();
        known.text = false;
        known.local = 0;
        known.remote = 0;
      }
    }
    for (; change < changes.size() && changes[change].step <= static_cast<int>(k); ++change) {
      if (known.modelled && known.named.count(changes[change].path) == 0) {
        fprintf(stderr, "changed at item %d: %s\n", changes[change].step,
                changes[change].path.c_str());
        Fail("a file changed that no command of the session named");
      }
    }
  }
  return lastConnect;
}

// --- Again from the last CONNECT ---------------------------------------------

bool SentWait(const Run& run) {
  for (const FramePeer::Frame& frame : run.client.frames()) {
    if (frame.block == 0 && Text(frame) == "WAIT") return true;
  }
  return false;
}

void CheckFreshSession(const Script& script, const Run& first, size_t connect) {
  // Keep-alives come by the clock, which differs between the two runs;
  // when they could shift the client's scripted byte or frame, or the
  // first run ran out of time, the runs are not comparable.
  const bool scripted = script.silentAt || script.answer || script.forever;
  if (first.client.TimedOut() || (scripted && SentWait(first))) return;
  const std::vector<FramePeer::Frame> before = first.client.frames();
  const std::deque<FramePeer::Item> items = first.client.items();
  // The server may take the CONNECT only at a later copy: an earlier copy's
  // first bytes can end a frame of the session before (raw bytes that
  // announce a long command frame swallow the client's next items and
  // then the CONNECT's first bytes, and that frame's checksum fails). The
  // codes answered to them belong to that session; the fresh server reads
  // the copy that was taken from its first byte.
  const std::vector<uint8_t>& connectCodes = items[connect].codes;
  size_t copy = connectCodes.size();
  while (copy > 0 && connectCodes[copy - 1] != kCodeResend) --copy;
  const DiskImage start = first.watch.images[connect];
  const uint64_t bytes = first.watch.bytesAt[connect] + copy;
  const size_t frames = first.watch.framesAt[connect];
  const DiskImage end = first.watch.images.back();

  // The client's view can take a CONNECT the server read out of step (its
  // last byte answered "go on" inside a longer frame, after raw bytes):
  // only a CONNECT the server answered starts a session to compare.
  size_t reply = frames;
  while (reply < before.size() && before[reply].block == 0 && Text(before[reply]) == "WAIT") {
    ++reply;
  }
  if (reply == before.size() || before[reply].block != 0 ||
      Text(before[reply]) != kReplyConnected) {
    return;
  }

  Run again(script, connect, &start, bytes, frames);
  if (again.client.TimedOut() || (scripted && SentWait(again))) return;
  std::vector<const FramePeer::Frame*> a;
  std::vector<const FramePeer::Frame*> b;
  for (size_t i = frames; i < before.size(); ++i) {
    if (before[i].block != 0 || Text(before[i]) != "WAIT") a.push_back(&before[i]);
  }
  for (const FramePeer::Frame& frame : again.client.frames()) {
    if (frame.block != 0 || Text(frame) != "WAIT") b.push_back(&frame);
  }
  Require(a.size() == b.size(), "after CONNECT the server sent other frames than a fresh one");
  for (size_t i = 0; i < a.size(); ++i) {
    Require(a[i]->block == b[i]->block && a[i]->payload == b[i]->payload &&
                a[i]->answer == b[i]->answer,
            "after CONNECT the server sent other frames than a fresh one");
  }
  Require(std::equal(connectCodes.begin() + static_cast<std::ptrdiff_t>(copy), connectCodes.end(),
                     again.client.items()[0].codes.begin(), again.client.items()[0].codes.end()),
          "after CONNECT the server took the client's frames otherwise than a fresh one");
  for (size_t k = connect + 1; k < items.size(); ++k) {
    Require(items[k].codes == again.client.items()[k - connect].codes,
            "after CONNECT the server took the client's frames otherwise than a fresh one");
  }
  const DiskImage& endAgain = again.watch.images.back();
  for (const DiskImage* image : {&end, &endAgain}) {
    for (const FakeFile& file : *image) {
      Require(FileIn(end, file.path) == FileIn(endAgain, file.path),
              "after CONNECT the files ended otherwise than on a fresh server");
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
  const Script script = Parse(data, size);
  size_t connect = 0;
  {
    const Run run(script, 0, nullptr, 0, 0);
    connect = CheckClientView(script, run);
    if (connect > 0) CheckFreshSession(script, run, connect);
  }
  ReleaseFakeDisk();
  return 0;
}
