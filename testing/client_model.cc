#include "testing/client_model.h"

#include <utility>

#include "link/frame_format.h"
#include "link/port.h"
#include "service/command_loop.h"

namespace lpx {

ClientModel::ClientModel(FakePort& port, uint16_t base) : port_(port), base_(base), peer_(base) {
  peer_.Verdict([this](const FramePeer::Frame& frame) { return Answer(frame); });
  peer_.OnFrame([this](const FramePeer::Frame&) {
    if (silence_armed_ && peer_.frames().size() == silent_after_) {
      peer_.GoSilentAtByte(peer_.bytes().size(), FramePeer::Stall::kBeforeAck);
    }
  });
  port_.SetPeer(this);
}

ClientModel::~ClientModel() { port_.SetPeer(nullptr); }

FramePeer::Item& ClientModel::Send(std::string_view command) {
  return peer_.QueueFrame(0, command);
}

FramePeer::Item& ClientModel::SendData(int32_t block, std::vector<uint8_t> payload) {
  return peer_.Queue(BuildFrame(block, payload));
}

FramePeer::Item& ClientModel::SendData(int32_t block, std::string_view payload) {
  return peer_.QueueFrame(block, payload);
}

FramePeer::Item& ClientModel::SendAbort() { return peer_.QueueFrame(kAbortBlock, ""); }

void ClientModel::AnswerReply(std::string_view text, uint8_t code) {
  reply_codes_[std::string(text)] = code;
}

void ClientModel::AnswerData(int32_t block, uint8_t code) { data_codes_[block] = code; }

void ClientModel::GoSilentAfterFrames(size_t frames) {
  silence_armed_ = true;
  silent_after_ = frames;
  if (peer_.frames().size() >= frames) {
    peer_.GoSilentAtByte(peer_.bytes().size(), FramePeer::Stall::kBeforeAck);
  }
}

void ClientModel::PressCtrlCAt(uint64_t us) { ctrl_c_at_ = us; }

void ClientModel::RunServer() {
  portaddr = base_;
  portaddr1 = base_ + 1;
  DoServer();
}

std::vector<std::string> ClientModel::Replies() const {
  std::vector<std::string> out;
  for (const FramePeer::Frame& frame : peer_.frames()) {
    if (frame.block == 0) out.emplace_back(frame.payload.begin(), frame.payload.end());
  }
  return out;
}

std::vector<ClientModel::DataFrame> ClientModel::DataFrames() const {
  std::vector<DataFrame> out;
  for (const FramePeer::Frame& frame : peer_.frames()) {
    if (frame.block != 0) out.push_back(DataFrame{frame.block, frame.payload, frame.answer});
  }
  return out;
}

uint8_t ClientModel::Answer(const FramePeer::Frame& frame) const {
  const uint8_t standard = FramePeer::DefaultVerdict(frame);
  if (standard != kCodeGoOn) return standard;
  if (frame.block == 0) {
    std::string_view text(reinterpret_cast<const char*>(frame.payload.data()),
                          frame.payload.size());
    auto it = reply_codes_.find(text);
    return it != reply_codes_.end() ? it->second : standard;
  }
  auto it = data_codes_.find(frame.block);
  return it != data_codes_.end() ? it->second : standard;
}

bool ClientModel::ScriptExhausted() const {
  if (peer_.AllSent()) return true;
  return silence_armed_ && peer_.frames().size() >= silent_after_;
}

// The server's idle poll is a 50 ms pause right after a status read; the
// link's other pauses follow writes, or last 100 ms.
bool ClientModel::ServerPollsIdle(const FakePort& port) const {
  const auto& log = port.log();
  if (!last_read_was_status_ || log.empty()) return false;
  const FakePort::Access& last = log.back();
  return last.kind == FakePort::Kind::kSleep && last.value == kIdlePollUs;
}

void ClientModel::PressCtrlC(const FakePort& port) {
  if (ctrl_c_pressed_at_ != 0 || keyflag) return;
  keyflag = 1;
  ctrl_c_pressed_at_ = port.NowUs();
}

uint8_t ClientModel::Data(const FakePort& port) { return peer_.Data(port); }

void ClientModel::OnWrite(FakePort& port, uint16_t addr, uint8_t value) {
  last_read_was_status_ = false;
  peer_.OnWrite(port, addr, value);
}

void ClientModel::OnRead(FakePort& port, uint16_t addr) {
  last_read_was_status_ = addr == base_ + 1;
  peer_.OnRead(port, addr);
}

void ClientModel::OnSleep(FakePort& port) {
  // A client does not start a frame while the server drives one of its
  // line signals (link code 14 on the data lines): it would be stopped.
  if ((port.Register(base_) & 0x0F) != kCodeWrongBlock) peer_.OnSleep(port);
  if (ctrl_c_at_ != 0) {
    if (port.NowUs() >= ctrl_c_at_) PressCtrlC(port);
  } else if (ScriptExhausted() && ServerPollsIdle(port)) {
    PressCtrlC(port);
  }
  if (port.NowUs() >= kSessionLimitUs && !keyflag) {
    timed_out_ = true;
    PressCtrlC(port);
  }
}

}  // namespace lpx
