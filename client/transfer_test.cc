// The client's transfers and commands, run through its command line against
// a server that the frame peer plays on the fake port.
#include "client/transfer.h"

#include <getopt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>

#include "client/commands.h"
#include "client/exit_status.h"
#include "client/options.h"
#include "link/port.h"
#include "testing/fake_port.h"
#include "testing/fake_ppdev.h"
#include "testing/frame_peer.h"
#include "testing/reset.h"
#include "testing/temp_dir.h"

namespace lpx {
namespace {

using Texts = std::vector<std::string>;

// Every byte value, CR and LF among them, in no simple order.
std::string Bytes(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i * 7 + i / 251);
  return out;
}

// The fake port, with a hook that runs after every write of the client.
struct Tap final : PlatformWrapper {
  using PlatformWrapper::PlatformWrapper;
  void Out(uint16_t a, uint8_t v) override { PlatformWrapper::Out(a, v), after(); }
  std::function<void()> after = [] {};
};

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform = &tap_;
    ResetAllState();
    port_.SetAccessCostUs(1);  // lets the spinning waits see the clock move
    port_.SetPeer(&peer_);
    peer_.OnFrame([this](const FramePeer::Frame& frame) { Heard(frame); });
  }
  void TearDown() override { platform = saved_; }

  // The server answers the client's next command that begins with `command`.
  void ServerReplies(const std::string& command, const Texts& replies) {
    script_.push_back({command, {}});
    for (const std::string& reply : replies) script_.back().second.push_back(BuildFrame(0, reply));
  }
  // ... with `header`, the SIZE of the whole file, and the file from `from`
  // in data frames, the last one shorter (only the first `frames` if given).
  void ServerSendsFile(const std::string& command, const std::string& file, Texts header = {},
                       size_t from = 0, int32_t frames = INT32_MAX) {
    header.push_back("SIZE " + std::to_string(file.size()));
    ServerReplies(command, header);
    const std::string data = file.substr(from);
    for (int32_t block = 1; block <= frames && (block - 1) * 4096u <= data.size(); ++block) {
      script_.back().second.push_back(BuildFrame(block, data.substr((block - 1) * 4096u, 4096)));
    }
  }
  // The listing of /r: "." and these records.
  void ServerLists(std::string records) { ServerSendsFile("LIST", ".\t0\t-1\t16\r\n" + records); }

  int Run(Texts args) {
    args.insert(args.begin(), {"lpxfer", "-q"});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    optind = 0;  // as in a new process: getopt, the session and the options afresh
    ResetSessionState();
    ResetClientOptions();
    script_.push_front({"CONNECT", {BuildFrame(0, "OK A")}});
    ::testing::internal::CaptureStderr();
    const int status = ClientMain(static_cast<int>(argv.size()), argv.data());
    err_ = ::testing::internal::GetCapturedStderr();
    return status;
  }
  bool Says(const std::string& text) const { return err_.find(text) != std::string::npos; }

  // Answers from the script; keeps what the client sent.
  void Heard(const FramePeer::Frame& frame) {
    const std::string text(frame.payload.begin(), frame.payload.end());
    if (frame.block != 0) data_ += text;
    if (frame.block == 0 && text != "CONNECT") commands_.push_back(text);
    if (frame.block != 0 || script_.empty() || !text.starts_with(script_[0].first)) return;
    uint64_t at = port_.NowUs();
    for (std::vector<uint8_t>& bytes : script_[0].second)
      peer_.Queue(std::move(bytes)).notBeforeUs = at += spacingUs_;
    script_.pop_front();
  }

  std::deque<std::pair<std::string, std::vector<std::vector<uint8_t>>>> script_;
  uint64_t spacingUs_ = 0;  // between the peer's answers to a command
  Texts commands_;          // the commands the client sent after CONNECT
  std::string data_, err_;  // the payloads of its data frames; its standard error
  FakePort port_;
  Tap tap_{&port_};
  FramePeer peer_{0x378};
  Platform* saved_ = platform;
  TempDir temp_;
  const std::string f_ = temp_.Local("f");
};

TEST_F(ClientTest, AGetIntoADirectoryTakesTheRemoteNameAndAGetOfOneCreatesNothing) {
  ServerSendsFile("GET", "hello");
  ASSERT_TRUE(Run({"get", "/r/x", temp_.path()}) == kExitOk && temp_.Read("x") == "hello") << err_;
  ServerSendsFile("GET", "", {"ATTR 16"});
  EXPECT_EQ(Run({"get", "/r/d", f_}), kExitIsDirectory);
  EXPECT_TRUE(!temp_.Exists("f") && !temp_.Exists("f.lpxpart"));
}

// Of a file of 10000 bytes, -o fetches the tail from the offset and -c the
// rest of the partial file, asking for its last 4096 bytes again to compare
// them; an offset past the end leaves the files as they were. The failures
// come first, while there is no "f".
TEST_F(ClientTest, AGetFromAnOffsetSendsRestBeforeGet) {
  const std::tuple<const char*, size_t, size_t, int> kCases[] = {
      {"-o10001", 0, 10001, kExitUsage},
      {"-c", 10001, 5905, kExitResumeRefused},
      {"-o5000", 0, 5000, kExitOk},
      {"-c", 5000, 904, kExitOk}};
  for (const auto& [flag, partial, offset, status] : kCases) {
    const std::string rest = "REST " + std::to_string(offset);
    if (partial > 0) temp_.Write("f.lpxpart", Bytes(partial));
    ServerSendsFile("GET", Bytes(10000), {rest}, std::min<size_t>(offset, 10000));
    EXPECT_EQ(Run({flag, "get", "/r/f", f_}), status) << flag << " " << offset;
    EXPECT_EQ(Texts(commands_.end() - 2, commands_.end()), (Texts{rest, "GET \\r\\f"}));
    EXPECT_EQ(temp_.Read("f"),
              status ? "" : Bytes(partial) + Bytes(10000).substr(std::max(partial, offset)));
    EXPECT_EQ(temp_.Read("f.lpxpart"), status ? Bytes(partial) : "");
    EXPECT_EQ(temp_.Exists("f.lpxpart"), status && partial);
  }
}

// A server that lies or stalls, and what is left: 'get -c' continues only
// a partial file ("f.lpxpart"; the target "f" is fetched whole), only when
// the server's copy ends as it does, and changes it only then; it is never
// written through a symbolic link ("@"). A REST not asked for (a server
// that kept an earlier client's offset), more keep-alives than a count
// needs, -t passed across them (0.9 s apart), a listing too large or one
// that does not grow end the run; replies are shown escaped. A failed get
// leaves the target alone.
TEST_F(ClientTest, ALyingServerGetsNothingReportedWhole) {
  const std::string other = Bytes(4000) + "?" + Bytes(5000).substr(4001), nine = "123456789";
  temp_.Write("victim", "mine");
  // Arguments, "f.lpxpart" before, the server's file, its replies before
  // SIZE, where its data frames start, the status and what it says.
  const std::tuple<Texts, std::string, std::string, Texts, size_t, int, const char*> kCases[] = {
      {{"-c", "get"}, "", nine, {}, 0, kExitOk, ""},
      {{"-c", "get"}, other, Bytes(10000), {"REST 904"}, 904, kExitResumeRefused, "differs"},
      {{"-a", "-c", "-C", "utf8", "get"}, "ab\xC3", "", {"FILE ERROR 2"}, 0, kExitFileError, ""},
      {{"get"}, "@", nine, {}, 0, kExitLocal, "cannot create"},
      {{"get"}, "", Bytes(10000), {"REST 5000"}, 5000, kExitProtocol, "not from byte 0"},
      {{"-t2", "get"}, "", "", Texts(4, "WAIT"), 0, kExitProtocol, "reply \"WAIT\""},
      {{"-t2", "get"}, "", "", Texts(2, "WAIT"), 0, kExitTimeout, "time-out"},
      {{"get"}, "", "", {"\x1B]0;x\x07\x9B"}, 0, kExitProtocol, "reply \"^[]0;x^GM-^[\""},
      {{"ls"}, "", "", {"SIZE 67108865"}, 0, kExitProtocol, "more than the client takes"},
      {{"ls"}, "", nine, {}, 9, kExitProtocol, "stopped short"},
  };
  for (const auto& [args, partial, file, header, from, status, says] : kCases) {
    temp_.Write("f", "old");
    if (partial == "@") symlink(temp_.Local("victim").c_str(), (f_ + ".lpxpart").c_str());
    if (partial.size() > 1) temp_.Write("f.lpxpart", partial);
    spacingUs_ = status == kExitTimeout ? 900000 : 0;
    const bool ls = args.back() == "ls";
    ServerSendsFile(ls ? "LIST" : args[0] == "-a" ? "AGET" : "GET", file, header, from);
    Texts line = args;
    line.push_back("/r/f");
    if (!ls) line.push_back(f_);
    EXPECT_EQ(Run(line), status) << says << err_;
    EXPECT_TRUE(Says(says) && temp_.Read("f") == (status ? "old" : file)) << says;
    EXPECT_EQ(temp_.Read("f.lpxpart"), status && partial.size() > 1 ? partial : "");
    unlink((f_ + ".lpxpart").c_str());
    peer_ = FramePeer(0x378);  // nothing left queued
    peer_.OnFrame([this](const FramePeer::Frame& frame) { Heard(frame); });
    script_.clear();
  }
  EXPECT_EQ(temp_.Read("victim"), "mine");
}

// Ctrl/C once the first of three data frames is through (the peer's items
// are OK A, SIZE and the frames): the second is refused and the bytes that
// arrived stay for 'get -c'.
TEST_F(ClientTest, CtrlCStopsAGetAndKeepsThePartialFile) {
  tap_.after = [this] {
    keyflag =
        peer_.items().size() > 2 && peer_.items()[2].codes.size() == peer_.items()[2].bytes.size();
  };
  ServerSendsFile("GET", Bytes(10000));
  EXPECT_EQ(Run({"get", "/r/f", f_}), kExitInterrupted);
  EXPECT_TRUE(temp_.Read("f.lpxpart") == Bytes(4096) && !temp_.Exists("f"));
}

// A CR LF across frames 2 and 3; on the cable an LF counts two.
const std::string kText = "x\r\n" + std::string(8188, 'x') + "\r\nend\r\n";

// A text fetch turns CR LF into LF. When it breaks off, the CR held back
// for its LF is dropped from the partial file, so that a resume fetches it
// again.
TEST_F(ClientTest, ATextGetThatBreaksOffKeepsThePartialFileAndGetCContinuesIt) {
  ServerSendsFile("AGET", kText, {}, 0, 2);
  EXPECT_EQ(Run({"-a", "get", "/r/f", f_}), kExitTimeout);
  EXPECT_TRUE(Says("'get -c' continues them") && !temp_.Exists("f"));
  ServerSendsFile("AGET", kText, {"REST 4095"}, 4095);
  EXPECT_EQ(Run({"-a", "-c", "get", "/r/f", f_}), kExitOk) << err_;
  EXPECT_EQ(commands_, (Texts{"AGET \\r\\f", "REST 4095", "AGET \\r\\f"}));
  EXPECT_EQ(temp_.Read("f"), "x\n" + std::string(8188, 'x') + "\nend\n");
}

// A put to /r/f, with the server's answer to "REST ?" (for -c), its
// listing of /r (none if null) and a refusal of data frame 1: the status,
// the last command and, unless refused, the data sent.
TEST_F(ClientTest, APutIsStoredOnlyWhenItsFramesAndTheListingShowIt) {
  struct Case {
    const char *flag, *rest, *listing;
    bool refuse;
    std::string content;
    int status;
    const char* last;
    std::string data;
  };
  const std::string big = Bytes(10000), f10000 = "f\t10000\t0\t32\r\n";
  const Case kCases[] = {
      // Text mode: every LF travels as CR LF; the listed size is not compared.
      {"-a", nullptr, "f\t3\t0\t32\r\n", false, "a\nb\n", kExitOk, "LIST \\r", "a\r\nb\r\n"},
      // In binary mode the listing must show the file with its size; an
      // empty file travels in no frame, so only the listing tells (a text
      // too: the old file still listed is a refusal).
      {"-b", nullptr, "f\t4\t0\t32\r\n", false, "hello", kExitStoreRefused, "LIST \\r", "hello"},
      {"-b", nullptr, "", false, "", kExitStoreRefused, "LIST \\r", ""},
      {"-b", nullptr, "f\t0\t0\t32\r\n", false, "", kExitOk, "LIST \\r", ""},
      {"-a", nullptr, "f\t5\t0\t32\r\n", false, "", kExitStoreRefused, "LIST \\r", ""},
      {"-b", nullptr, nullptr, true, "hello", kExitStoreRefused, "SIZE 5", ""},  // no listing
      // A remote copy longer than the local file: "SIZE 200" clears the
      // server's restart offsets.
      {"-c", "REST=200", nullptr, false, "hello", kExitResumeRefused, "SIZE 200", ""},
      // From the server's resume point; refused when frame 1, where its copy
      // and the local file overlap, is refused.
      {"-c", "REST=4096", f10000.c_str(), false, big, kExitOk, "LIST \\r", big.substr(4096)},
      {"-c", "REST=4096", nullptr, true, big, kExitResumeRefused, "SIZE 10000", ""},
  };
  for (const Case& c : kCases) {
    if (c.rest != nullptr) ServerReplies("REST", {c.rest});
    if (c.listing != nullptr) ServerLists(c.listing);
    peer_.Verdict([&c](const FramePeer::Frame& f) {
      return c.refuse && f.block == 1 ? kCodeEnded : FramePeer::DefaultVerdict(f);
    });
    data_.clear();
    temp_.Write("f", c.content);
    EXPECT_EQ(Run({c.flag, "put", f_, "/r/f"}), c.status) << c.flag << " " << c.last << err_;
    EXPECT_EQ(commands_.back(), c.last) << c.flag << " " << c.status;
    EXPECT_TRUE(c.refuse || data_ == c.data) << c.flag << " " << c.last;
  }
}

// Each file of many travels as a single store; one listing after them all
// checks them. A missing local file is reported and the others go on.
TEST_F(ClientTest, APutOfManyFilesListsTheDirectoryOnceAfterThemAll) {
  temp_.Write("a", "aa"), temp_.Write("b", "bbb");
  ServerLists("a\t2\t0\t32\r\nb\t3\t0\t32\r\n");
  EXPECT_EQ(Run({"put", temp_.Local("a"), f_, temp_.Local("b"), "/r"}), kExitSomeFailed);
  std::erase_if(commands_, [](const std::string& c) { return c.find('\\') == c.npos; });
  EXPECT_EQ(commands_, (Texts{"PUT \\r\\a", "PUT \\r\\b", "LIST \\r"}));
  EXPECT_EQ(data_, "aabbb");
}

// Usage errors exit 1 before the port is touched, but a name the cable
// cannot carry is found only after CONNECT; a silent peer is no server.
TEST_F(ClientTest, ACommandLineThatCannotRunSendsNoCommand) {
  for (const Texts& args :
       {Texts{"frobnicate"}, Texts{"get"}, Texts{"mv", "/r/a"}, Texts{"--port", "9", "connect"},
        Texts{"-c", "-o", "5", "get", "/r/f"}, Texts{"--address", "0x10000", "connect"},
        Texts{"-d", "/dev/parport0", "-p", "2", "connect"}})
    EXPECT_TRUE(Run(args) == kExitUsage && port_.log().empty()) << args[0];
  EXPECT_TRUE(Run({"-C", "utf8", "get", "/r/\xE6\x97\xA5"}) == kExitUsage && commands_.empty());
  peer_.GoSilentAfterBytes(0);
  EXPECT_EQ(Run({"connect"}), kExitNoServer);
}

// A device instead of an LPT port: claimed for the session and given back
// at its end; --list-ports touches no port.
TEST_F(ClientTest, ADeviceIsClaimedForTheSessionAndReleased) {
  FakePpdev ppdev(&port_);
  portBackend.devices = true;
  EXPECT_EQ(Run({"--device", "/dev/parport0", "connect"}), kExitOk) << err_;
  portBackend = PortBackend{};
  EXPECT_TRUE(ppdev.Calls().starts_with("open /dev/parport0|PPEXCL|PPCLAIM|PPDATADIR 00|"));
  EXPECT_TRUE(ppdev.Calls().ends_with("|PPRELEASE|close")) << ppdev.Calls();
  port_.ClearLog();
  EXPECT_EQ(Run({"--list-ports"}), kExitOk);
  EXPECT_TRUE(port_.log().empty());
}

// A get of a missing file leaves the local file alone.
TEST_F(ClientTest, NamespaceCommandsAndAMissingFileTurnTheReplyIntoTheStatus) {
  temp_.Write("f", "keep me");
  const std::tuple<Texts, const char*, const char*, int> kCases[] = {
      {{"get", "/r/f", f_}, "GET", "FILE ERROR 2", kExitFileError},
      {{"rm", "/r/f"}, "DEL", "OK", kExitOk},
      {{"del", "/r/f"}, "DEL", "FILE ERROR 2", kExitFileError},
      {{"md", "/r/d"}, "MD", "DIR ERROR 1", kExitMkdirError},
      {{"rd", "/r/d"}, "RD", "DIR ERROR 20", kExitRmdirError},
      {{"mv", "/r/a", "/r/b"}, "RNTO", "RENAME ERROR 2", kExitRenameError},
      {{"ls", "/r/d"}, "LIST", "DIR ERROR 2", kExitListError},
      {{"rmdir", "/r/d"}, "RD", "DIR ERROR 2", kExitProtocol}};
  for (const auto& [args, command, reply, status] : kCases) {
    ServerReplies(command, {reply});
    EXPECT_EQ(Run(args), status) << args[0] << " " << reply;
  }
  EXPECT_TRUE(temp_.Read("f") == "keep me" && !temp_.Exists("f.lpxpart"));
  EXPECT_EQ(commands_, (Texts{"GET \\r\\f", "DEL \\r\\f", "DEL \\r\\f", "MD \\r\\d", "RD \\r\\d",
                              "RNFR \\r\\a", "RNTO \\r\\b", "LIST \\r\\d", "RD \\r\\d"}));
}

}  // namespace
}  // namespace lpx
