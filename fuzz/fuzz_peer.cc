#include "fuzz/fuzz_peer.h"

#include <utility>

#include "link/frame_format.h"
#include "link/port.h"

namespace lpx {

namespace {

constexpr int kReadsToSeeCode = 2;
constexpr int kMaxCopies = 11;

uint32_t Sum(const uint8_t* p, size_t n) {
  uint32_t a = 1;
  uint32_t b = 0;
  for (size_t i = 0; i < n; ++i) {
    a = (a + p[i]) & 0xFFFF;
    b = (b + a) & 0xFFFF;
  }
  return (b << 16) | a;
}

}  // namespace

void FuzzPeer::Queue(std::vector<uint8_t> bytes, bool faithful) {
  items_.push_back(Item{std::move(bytes), faithful});
}

void FuzzPeer::AnswerFrame(size_t frame, uint8_t code) { answers_.emplace_back(frame, code); }

uint8_t FuzzPeer::Data(const FakePort&) { return data_; }

void FuzzPeer::OnWrite(FakePort&, uint16_t addr, uint8_t value) {
  last_was_status_read_ = false;
  if (addr != data_addr_ || Silent()) return;
  const bool busy = (value & kBusyLine) != 0;
  switch (state_) {
    case State::kIdle:
      if (!busy) return;
      // The abort and connection-error signals are no byte.
      if (parse_.empty() && (value & 0x0F) == kCodeWrongBlock) return;
      low_ = value & 0x0F;
      Drive(kBusyLine);
      state_ = State::kRecvGotLow;
      return;
    case State::kRecvGotLow:
      if (busy) return;
      ReceiveByte(static_cast<uint8_t>(low_ | ((value & 0x0F) << 4)));
      return;
    case State::kSendLow:
      if (!busy) return;
      Drive(static_cast<uint8_t>(items_[current_].bytes[pos_] >> 4));
      state_ = State::kSendHigh;
      return;
    case State::kSendHigh:
      if (busy) return;
      AfterCode(value & 0x0F);
      return;
  }
}

void FuzzPeer::OnRead(FakePort& port, uint16_t addr) {
  last_was_status_read_ = addr == data_addr_ + 1;
  read_at_us_ = port.NowUs();
  MaybeStart();
  if (reads_since_code_ < kReadsToSeeCode) ++reads_since_code_;
}

void FuzzPeer::OnSleep(FakePort& port) {
  // The command loop's idle poll: a 50 ms pause right after a status read.
  const bool idlePoll = last_was_status_read_ && port.NowUs() - read_at_us_ == kIdlePollUs;
  last_was_status_read_ = false;
  if (keyflag) return;
  if (port.NowUs() >= kLimitUs) {
    timed_out_ = true;
    keyflag = 1;
  } else if (ctrl_c_when_done_ && idlePoll && (Silent() || (AllSent() && state_ == State::kIdle))) {
    keyflag = 1;
  }
}

void FuzzPeer::MaybeStart() {
  if (Silent() || state_ != State::kIdle || AllSent()) return;
  if (reads_since_code_ < kReadsToSeeCode) return;
  pos_ = 0;
  SendCurrentByte();
}

void FuzzPeer::SendCurrentByte() {
  Item& item = items_[current_];
  if (pos_ >= item.bytes.size()) {
    ++current_;
    state_ = State::kIdle;
    return;
  }
  if (Silent()) return;
  ++moved_;
  const uint8_t byte = item.bytes[pos_];
  Drive(static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
  state_ = State::kSendLow;
}

void FuzzPeer::AfterCode(uint8_t code) {
  Item& item = items_[current_];
  state_ = State::kIdle;
  if (item.faithful) {
    if (code == kCodeResend) {
      pos_ = 0;
      SendCurrentByte();
      return;
    }
    if (code == kCodeEnded || code == kCodeWrongBlock) {
      ++current_;
      Drive(0);
      return;
    }
  }
  ++pos_;
  if (pos_ < item.bytes.size()) {
    SendCurrentByte();
    return;
  }
  ++current_;
}

void FuzzPeer::ReceiveByte(uint8_t byte) {
  ++moved_;
  parse_.push_back(byte);
  bool complete = false;
  Frame frame;
  if (parse_.size() >= kHeaderSize) {
    frame.length = static_cast<int32_t>(DecodeFixed32(parse_.data() + kLengthOffset));
    frame.block = static_cast<int32_t>(DecodeFixed32(parse_.data() + kBlockOffset));
    const bool sane = frame.length >= 0 && frame.length <= static_cast<int32_t>(kMaxPayload);
    if (!sane) insane_length_ = true;
    const size_t total = sane ? frame.length + kFrameOverhead : kHeaderSize;
    if (parse_.size() == total) {
      complete = true;
      if (sane) {
        const uint8_t* payload = parse_.data() + kPayloadOffset;
        frame.payload.assign(reinterpret_cast<const char*>(payload), frame.length);
        frame.checksumOk = DecodeFixed32(payload + frame.length) == Sum(payload, frame.length);
      }
    }
  }
  uint8_t code = kCodeGoOn;
  if (complete) {
    if (frame.block == kAbortBlock) {
      code = kCodeEnded;
    } else if (!frame.checksumOk) {
      code = kCodeResend;
    } else {
      for (const auto& [at, scripted] : answers_) {
        if (at == frames_.size()) code = scripted;
      }
    }
    if (code == kCodeResend && ++copies_ > kMaxCopies) code = kCodeWrongBlock;
    if (code != kCodeResend) copies_ = 0;
    frame.answer = code;
    frames_.push_back(std::move(frame));
  }
  Drive(code);
  state_ = State::kIdle;
  reads_since_code_ = 0;
  if (complete || code == kCodeEnded || code == kCodeWrongBlock || code == kCodeResend) {
    parse_.clear();
  }
}

}  // namespace lpx
