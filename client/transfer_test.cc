// The client's transfers and commands, run through its command line against
// a server that the frame peer plays on the fake port.
#include "client/transfer.h"

#include <getopt.h>

#include <deque>

#include "client/commands.h"
#include "client/exit_status.h"
#include "client/options.h"
#include "testing/transfer_support.h"

namespace lpx {
namespace {

using Texts = std::vector<std::string>;

// 2024-03-05 06:07:08 local: seconds field 4, minute 7, hour 6, day 5,
// month 3, year field 44.
const std::string kTime = std::to_string(4u | 7u << 5 | 6u << 11 | 5u << 16 | 3u << 21 | 44u << 25);
const time_t kMarch2024 = LocalTime(2024, 3, 5, 6, 7, 8);

// Every byte value, CR and LF among them, in no simple order.
std::string Bytes(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i * 7 + i / 251);
  return out;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform = &port_;
    ResetAllState();
    ResetSessionState();
    ResetClientOptions();
    waitPolicy = kClientWaitPolicy;
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
    optind = 0;  // getopt starts afresh
    script_.push_front({"CONNECT", {BuildFrame(0, "OK A")}});
    ::testing::internal::CaptureStderr();
    const int status = ClientMain(static_cast<int>(argv.size()), argv.data());
    err_ = ::testing::internal::GetCapturedStderr();
    return status;
  }
  // Stores `content` as the local file "f", with the time kMarch2024, to /r/f.
  int Put(const std::string& content, const char* flag = "-b") {
    EXPECT_TRUE(temp_.Write("f", content));
    const struct utimbuf times = {kMarch2024, kMarch2024};
    utime(f_.c_str(), &times);
    return Run({flag, "put", f_, "/r/f"});
  }
  bool Says(const std::string& text) const { return err_.find(text) != std::string::npos; }

  // Answers from the script; keeps what the client sent.
  void Heard(const FramePeer::Frame& frame) {
    const std::string text(frame.payload.begin(), frame.payload.end());
    if (frame.block != 0) data_ += text;
    if (frame.block == 0 && text != "CONNECT") commands_.push_back(text);
    if (frame.block != 0 || script_.empty() || !text.starts_with(script_[0].first)) return;
    for (std::vector<uint8_t>& bytes : script_[0].second) peer_.Queue(std::move(bytes));
    script_.pop_front();
  }

  std::deque<std::pair<std::string, std::vector<std::vector<uint8_t>>>> script_;
  Texts commands_;          // the commands the client sent after CONNECT
  std::string data_, err_;  // the payloads of its data frames; its standard error
  FakePort port_;
  FramePeer peer_{0x378};
  Platform* saved_ = platform;
  TempDir temp_;
  const std::string f_ = temp_.Local("f");
};

class GetSizeTest : public ClientTest, public ::testing::WithParamInterface<size_t> {};
INSTANTIATE_TEST_SUITE_P(Sizes, GetSizeTest, ::testing::Values(0, 5, 4096, 10000));

TEST_P(GetSizeTest, ABinaryGetWritesTheBytesAndTheTime) {
  ServerSendsFile("GET", Bytes(GetParam()), {"TIME " + kTime, "ATTR 32"});
  ASSERT_EQ(Run({"get", "/r/f", f_}), kExitOk) << err_;
  EXPECT_EQ(commands_, Texts{"GET \\r\\f"});
  EXPECT_EQ(temp_.Read("f"), Bytes(GetParam()));
  struct stat st {};
  EXPECT_TRUE(stat(f_.c_str(), &st) == 0 && st.st_mtime == kMarch2024 &&
              !temp_.Exists("f.lpxpart"));
}

TEST_F(ClientTest, AMissingFileIsFileError2AndLeavesTheLocalFileAlone) {
  temp_.Write("f", "keep me");
  ServerReplies("GET", {"FILE ERROR 2"});
  EXPECT_EQ(Run({"get", "/r/f", f_}), kExitFileError);
  EXPECT_TRUE(Says("no such remote file") && !temp_.Exists("f.lpxpart"));
  EXPECT_EQ(temp_.Read("f"), "keep me");
}

// A CR LF across two frames; on the cable an LF counts two.
const std::string kText = "x\r\n" + std::string(4092, 'x') + "\r\nend\r\n";

// A text fetch turns CR LF into LF. When it breaks off, the CR held back
// for its LF is dropped from the partial file, so that a resume fetches it
// again.
TEST_F(ClientTest, ATextGetThatBreaksOffKeepsThePartialFileAndGetCContinuesIt) {
  ServerSendsFile("AGET", kText, {}, 0, 1);
  EXPECT_EQ(Run({"-a", "get", "/r/f", f_}), kExitTimeout);
  EXPECT_TRUE(Says("'get -c' continues them") && !temp_.Exists("f"));
  ServerSendsFile("AGET", kText, {"REST 4095"}, 4095);
  EXPECT_EQ(Run({"-a", "-c", "get", "/r/f", f_}), kExitOk) << err_;
  EXPECT_EQ(commands_, (Texts{"AGET \\r\\f", "REST 4095", "AGET \\r\\f"}));
  EXPECT_EQ(temp_.Read("f"), "x\n" + std::string(4092, 'x') + "\nend\n");
}

TEST_F(ClientTest, ABinaryPutSendsTheFileAndChecksTheListing) {
  ServerLists("f\t5000\t0\t32\r\n");
  ASSERT_EQ(Put(Bytes(5000)), kExitOk) << err_;
  EXPECT_EQ(commands_, (Texts{"PUT \\r\\f", "TIME " + kTime, "ATTR 32", "SIZE 5000", "LIST \\r"}));
  EXPECT_EQ(data_, Bytes(5000));
}

TEST_F(ClientTest, APutWhoseFrameIsRefusedIsNotStored) {
  peer_.Verdict([](const FramePeer::Frame& f) { return f.block == 1 ? kCodeEnded : kCodeGoOn; });
  EXPECT_EQ(Put("hello"), kExitStoreRefused);
  EXPECT_EQ(commands_.size(), 4u);  // no listing
}

// The listing must show the file, in binary mode with its size; an empty
// file travels in no frame, so only the listing tells.
TEST_F(ClientTest, APutIsStoredOnlyWhenTheListingShowsIt) {
  ServerLists("f\t4\t0\t32\r\n");
  EXPECT_EQ(Put("hello"), kExitStoreRefused);
  ServerLists("");
  EXPECT_EQ(Put(""), kExitStoreRefused);
  ServerLists("f\t0\t0\t32\r\n");
  EXPECT_EQ(Put(""), kExitOk);
}

TEST_F(ClientTest, PutCOfARemoteCopyLongerThanTheLocalFileIsRefused) {
  ServerReplies("REST", {"REST=200"});
  EXPECT_EQ(Put("hello", "-c"), kExitResumeRefused);
  // A SIZE equal to the offset clears the server's restart offsets.
  EXPECT_EQ(commands_, (Texts{"PUT \\r\\f", "REST ?", "SIZE 200"}));
}

TEST_F(ClientTest, NamespaceCommandsTurnTheReplyIntoTheStatus) {
  const std::tuple<Texts, const char*, const char*, int> kCases[] = {
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
  EXPECT_EQ(commands_, (Texts{"DEL \\r\\f", "DEL \\r\\f", "MD \\r\\d", "RD \\r\\d", "RNFR \\r\\a",
                              "RNTO \\r\\b", "LIST \\r\\d", "RD \\r\\d"}));
}

}  // namespace
}  // namespace lpx
