#include "testing/frame_peer.h"

#include <algorithm>
#include <utility>

#include "link/frame_format.h"

namespace lpx {

namespace {

// Reads the code under test makes after a link code before the peer may
// raise its busy line again: one to see the busy line fall, one to read the
// code.
constexpr int kReadsToSeeCode = 2;

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

std::vector<uint8_t> BuildFrame(int32_t block, std::string_view payload, bool corruptChecksum) {
  std::vector<uint8_t> out(kFrameOverhead + payload.size());
  EncodeFixed32(out.data() + kMagicOffset, kFrameMagic);
  EncodeFixed32(out.data() + kLengthOffset, static_cast<uint32_t>(payload.size()));
  EncodeFixed32(out.data() + kBlockOffset, static_cast<uint32_t>(block));
  std::copy(payload.begin(), payload.end(), out.begin() + kPayloadOffset);
  const uint32_t sum = Sum(out.data() + kPayloadOffset, payload.size());
  EncodeFixed32(out.data() + kPayloadOffset + payload.size(), sum + (corruptChecksum ? 1u : 0u));
  return out;
}

uint8_t FramePeer::DefaultVerdict(const Frame& frame) {
  if (frame.block == kAbortBlock) return kCodeEnded;
  return frame.checksumOk ? kCodeGoOn : kCodeResend;
}

// True, and silent from now on, when the peer stops at this point of a
// byte (before it begins, or in its middle), or has passed its stop point.
bool FramePeer::StopsAt(bool midByte) {
  const uint64_t index = midByte ? bytes_begun_ - 1 : bytes_begun_++;
  if (index > silent_at_ || (index == silent_at_ && midByte == silent_mid_)) silent_ = true;
  return silent_;
}

void FramePeer::OnWrite(FakePort& /*port*/, uint16_t addr, uint8_t value) {
  status_read_ = false;
  if (addr != data_addr_) return;
  // Each state waits for the busy line to rise (idle, sending the low
  // nibble) or to fall (the other two).
  const bool busy = (value & kBusyLine) != 0;
  if (silent_ || busy != (state_ == State::kIdle || state_ == State::kSendLow)) return;
  const uint8_t nibble = value & 0x0F;
  if (state_ == State::kSendHigh) {
    AfterCode(nibble);
  } else if (state_ == State::kSendLow) {
    data_ = static_cast<uint8_t>(items_[current_].bytes[pos_] >> 4);
    state_ = State::kSendHigh;
  } else if (state_ == State::kRecvGotLow) {
    if (StopsAt(true)) return;
    const uint8_t byte = static_cast<uint8_t>(low_ | nibble << 4);
    if (late_ && NextByteEndsFrame())
      late_byte_ = byte;
    else
      ReceiveByte(byte);
  } else if ((!parse_.empty() || nibble != kCodeWrongBlock) && !StopsAt(false)) {
    // (Code 14 at the start of a frame is a line signal, not a byte.)
    low_ = nibble;
    data_ = kBusyLine;
    state_ = State::kRecvGotLow;
  }
}

void FramePeer::OnRead(FakePort& port, uint16_t addr) {
  status_read_ = addr == data_addr_ + 1;
  now_us_ = port.NowUs();
  MaybeStart();
  if (reads_since_code_ < kReadsToSeeCode) ++reads_since_code_;
}

void FramePeer::OnSleep(FakePort& port, uint32_t /*us*/) {
  now_us_ = port.NowUs();
  TakeUpLateByte();
  MaybeStart();
}

void FramePeer::TakeUpLateByte() {
  if (late_byte_ >= 0) ReceiveByte(static_cast<uint8_t>(std::exchange(late_byte_, -1)));
}

void FramePeer::MaybeStart() {
  if (silent_ || state_ != State::kIdle || AllSent()) return;
  if (reads_since_code_ < kReadsToSeeCode) return;
  if (now_us_ < items_[current_].notBeforeUs) return;
  pos_ = 0;
  SendCurrentByte();
}

void FramePeer::SendCurrentByte() {
  Item& item = items_[current_];
  if (pos_ >= item.bytes.size()) {  // done; the data register keeps what it shows
    ++current_;
    state_ = State::kIdle;
    return;
  }
  if (StopsAt(false)) return;
  data_ = static_cast<uint8_t>((item.bytes[pos_] & 0x0F) | kBusyLine);
  if (!StopsAt(true)) state_ = State::kSendLow;
}

void FramePeer::AfterCode(uint8_t code) {
  Item& item = items_[current_];
  item.codes.push_back(code);
  if (item.raw || code < kCodeEnded) {
    ++pos_;
  } else if (code == kCodeResend) {
    pos_ = 0;
  } else {  // 13 or 14: the rest of the item is dropped
    pos_ = item.bytes.size();
    data_ = 0;
  }
  SendCurrentByte();
}

bool FramePeer::NextByteEndsFrame() const {
  return parse_.size() >= kHeaderSize &&
         parse_.size() + 1 == DecodeFixed32(parse_.data() + kLengthOffset) + kFrameOverhead;
}

void FramePeer::ReceiveByte(uint8_t byte) {
  const uint64_t index = bytes_.size();
  bytes_.push_back(byte);
  parse_.push_back(byte);

  bool complete = false;
  Frame frame;
  if (parse_.size() >= kHeaderSize) {
    frame.length = static_cast<int32_t>(DecodeFixed32(parse_.data() + kLengthOffset));
    frame.block = static_cast<int32_t>(DecodeFixed32(parse_.data() + kBlockOffset));
    const bool sane = frame.length >= 0 && frame.length <= static_cast<int32_t>(kMaxPayload);
    complete = parse_.size() == (sane ? frame.length + kFrameOverhead : kHeaderSize);
    if (complete && sane) {
      const uint8_t* payload = parse_.data() + kPayloadOffset;
      frame.payload.assign(payload, payload + frame.length);
      frame.checksumOk =
          DecodeFixed32(payload + frame.length) == Sum(payload, frame.payload.size());
    }
  }

  uint8_t code = kCodeGoOn;
  if (complete) {
    code = verdict_ ? verdict_(frame) : DefaultVerdict(frame);
    if (code == kCodeResend && ++copies_ > max_copies_ && max_copies_ > 0) code = kCodeWrongBlock;
    if (code != kCodeResend) copies_ = 0;
  }
  if (const auto it = scripted_.find(index); it != scripted_.end()) code = it->second;
  data_ = code;
  state_ = State::kIdle;
  reads_since_code_ = 0;
  if (complete || code >= kCodeEnded) parse_.clear();  // 13, 14 and 15 end a frame too
  if (!complete) return;
  frame.answer = code;
  frames_.push_back(std::move(frame));
  if (on_frame_) on_frame_(frames_.back());
  if (!eager_) return;
  reads_since_code_ = kReadsToSeeCode;
  MaybeStart();
}

}  // namespace lpx
