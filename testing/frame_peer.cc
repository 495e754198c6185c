#include "testing/frame_peer.h"

#include <utility>

#include "link/frame_format.h"

namespace lpx {

namespace {

// Reads the code under test makes after a link code before the peer may
// raise its busy line again: one to see the busy line fall, one to read the
// code.
constexpr int kReadsToSeeCode = 2;

// Copies of one frame a receiver takes before it gives up.
constexpr int kMaxCopies = 11;

void PutFixed32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  EncodeFixed32(b, v);
  out.insert(out.end(), b, b + 4);
}

// Checksum by hand, independent of the code under test: two 16-bit sums.
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

std::vector<uint8_t> BuildFrameWithLength(int32_t length, int32_t block,
                                          const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out;
  PutFixed32(out, kFrameMagic);
  PutFixed32(out, static_cast<uint32_t>(length));
  PutFixed32(out, static_cast<uint32_t>(block));
  out.insert(out.end(), payload.begin(), payload.end());
  PutFixed32(out, Sum(payload.data(), payload.size()));
  return out;
}

std::vector<uint8_t> BuildFrame(int32_t block, const std::vector<uint8_t>& payload,
                                bool corruptChecksum) {
  std::vector<uint8_t> out =
      BuildFrameWithLength(static_cast<int32_t>(payload.size()), block, payload);
  if (corruptChecksum) ++out[out.size() - 4];
  return out;
}

std::vector<uint8_t> BuildFrame(int32_t block, std::string_view text, bool corruptChecksum) {
  return BuildFrame(block, std::vector<uint8_t>(text.begin(), text.end()), corruptChecksum);
}

FramePeer::FramePeer(uint16_t data) : data_addr_(data) {}

uint8_t FramePeer::DefaultVerdict(const Frame& frame) {
  if (frame.block == kAbortBlock) return kCodeEnded;
  if (!frame.checksumOk) return kCodeResend;
  return kCodeGoOn;
}

FramePeer::Item& FramePeer::Queue(std::vector<uint8_t> bytes, int afterFrames, bool afterSleep) {
  Item item;
  item.bytes = std::move(bytes);
  item.afterFrames = afterFrames;
  item.afterSleep = afterSleep;
  items_.push_back(std::move(item));
  return items_.back();
}

FramePeer::Item& FramePeer::QueueFrame(int32_t block, std::string_view text, int afterFrames,
                                       bool afterSleep) {
  return Queue(BuildFrame(block, text), afterFrames, afterSleep);
}

bool FramePeer::AllSent() const { return current_ >= items_.size(); }

void FramePeer::CodeAt(uint64_t byteIndex, uint8_t code) {
  scripted_.emplace_back(byteIndex, code);
}

void FramePeer::GoSilentAtByte(uint64_t byteIndex, Stall stall) {
  silent_at_ = byteIndex;
  silent_stall_ = stall;
}

uint8_t FramePeer::Data(const FakePort& /*port*/) { return data_; }

void FramePeer::Drive(uint8_t value) {
  data_ = value;
  trace_.push_back(WireEvent{true, value});
}

void FramePeer::OnWrite(FakePort& /*port*/, uint16_t addr, uint8_t value) {
  if (addr != data_addr_) return;
  trace_.push_back(WireEvent{false, value});
  if (silent_) return;
  const bool busy = (value & kBusyLine) != 0;
  switch (state_) {
    case State::kIdle:
      if (!busy) return;
      if (parse_.empty() && (value & 0x0F) == kCodeWrongBlock) {
        ++signals_;
        return;
      }
      if (silent_at_ == bytes_.size() && silent_stall_ == Stall::kBeforeAck) {
        silent_ = true;
        return;
      }
      low_ = value & 0x0F;
      Drive(kBusyLine);
      state_ = State::kRecvGotLow;
      return;
    case State::kRecvGotLow:
      if (busy) return;
      if (silent_at_ == bytes_.size() && silent_stall_ == Stall::kBeforeCode) {
        silent_ = true;
        return;
      }
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

void FramePeer::OnRead(FakePort& /*port*/, uint16_t /*addr*/) {
  MaybeStart();
  if (reads_since_code_ < kReadsToSeeCode) ++reads_since_code_;
}

void FramePeer::OnSleep(FakePort& /*port*/) {
  if (silent_ || state_ != State::kIdle || current_ >= items_.size()) return;
  if (!eager_ && reads_since_code_ < kReadsToSeeCode) return;
  if (static_cast<int>(frames_.size()) < items_[current_].afterFrames) return;
  slept_since_gate_ = true;
  MaybeStart();
}

void FramePeer::MaybeStart() {
  if (silent_ || state_ != State::kIdle || current_ >= items_.size()) return;
  if (!eager_ && reads_since_code_ < kReadsToSeeCode) return;
  const Item& item = items_[current_];
  if (static_cast<int>(frames_.size()) < item.afterFrames) return;
  if (item.afterSleep && !slept_since_gate_) return;
  slept_since_gate_ = false;
  pos_ = 0;
  SendCurrentByte();
}

void FramePeer::SendCurrentByte() {
  Item& item = items_[current_];
  if (pos_ >= item.bytes.size()) {  // an empty item
    item.done = true;
    ++current_;
    state_ = State::kIdle;
    return;
  }
  const uint8_t byte = item.bytes[pos_];
  if (item.stopAt == static_cast<int>(pos_)) {
    silent_ = true;
    if (item.stall == Stall::kAfterLow) Drive(static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
    return;
  }
  Drive(static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
  state_ = State::kSendLow;
}

void FramePeer::AfterCode(uint8_t code) {
  Item& item = items_[current_];
  item.codes.push_back(code);
  if (code == kCodeResend) {
    ++item.restarts;
    if (!item.resend.empty()) item.bytes = item.resend;
    pos_ = 0;
    SendCurrentByte();
    return;
  }
  if (code == kCodeEnded || code == kCodeWrongBlock) {
    item.stopped = true;
    item.done = true;
    ++current_;
    Drive(0);
    state_ = State::kIdle;
    return;
  }
  ++pos_;
  if (pos_ < item.bytes.size()) {
    SendCurrentByte();
    return;
  }
  // The data register keeps the last high nibble, as a real sender leaves it.
  item.done = true;
  ++current_;
  state_ = State::kIdle;
}

void FramePeer::ResetParse() { parse_.clear(); }

void FramePeer::ReceiveByte(uint8_t byte) {
  const uint64_t index = bytes_.size();
  bytes_.push_back(byte);
  parse_.push_back(byte);

  bool complete = false;
  Frame frame;
  if (parse_.size() >= kHeaderSize) {
    frame.length = static_cast<int32_t>(DecodeFixed32(parse_.data() + kLengthOffset));
    frame.block = static_cast<int32_t>(DecodeFixed32(parse_.data() + kBlockOffset));
    // A length no real sender uses ends the frame at its header.
    const bool sane = frame.length >= 0 && frame.length <= static_cast<int32_t>(kMaxPayload);
    const size_t total = sane ? frame.length + kFrameOverhead : kHeaderSize;
    if (parse_.size() == total) {
      complete = true;
      if (sane) {
        const uint8_t* payload = parse_.data() + kPayloadOffset;
        frame.payload.assign(payload, payload + frame.length);
        frame.checksum = DecodeFixed32(payload + frame.length);
        frame.checksumOk = frame.checksum == Sum(payload, frame.payload.size());
      }
    }
  }

  uint8_t code = kCodeGoOn;
  if (complete) {
    code = verdict_ ? verdict_(frame) : DefaultVerdict(frame);
    if (code != kCodeResend) {
      resends_in_row_ = 0;
    } else if (++resends_in_row_ > kMaxCopies) {
      code = kCodeWrongBlock;
      resends_in_row_ = 0;
    }
  }
  for (const auto& [at, scripted] : scripted_) {
    if (at == index) code = scripted;
  }
  Drive(code);
  state_ = State::kIdle;
  reads_since_code_ = 0;
  if (complete) {
    frame.answer = code;
    frames_.push_back(frame);
  }
  if (complete || code == kCodeResend || code == kCodeEnded || code == kCodeWrongBlock) {
    ResetParse();
  }
  if (complete && on_frame_) on_frame_(frames_.back());
  if (complete && eager_) MaybeStart();
}

}  // namespace lpx
