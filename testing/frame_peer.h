// A reactive model of the far end of the cable for tests and fuzz targets:
// it plays the nibble handshake against the code under test on a FakePort,
// in both roles.
//
// As receiver (the code under test sends, e.g. UploadBlock): every time the
// code raises its busy line with a nibble, the peer acknowledges (0x10);
// when the code lowers it with the high nibble, the peer answers a link
// code. Bytes are parsed into frames (header, payload, checksum) and every
// completed frame is kept in frames(); a header whose length no sender uses
// ends its frame at once. The code after each byte is, in this order of
// precedence: a code scripted for that byte (CodeAt), the per-frame verdict
// for a frame's last byte (Verdict, by default what a real receiver answers:
// 13 for an abort frame, 15 for a bad checksum, else 0), else 0. After a
// 15, 13 or 14 the peer starts parsing a new frame. Like a real receiver it
// takes at most eleven copies of a frame: a twelfth copy that would be
// answered 15 gets 14, so a faulty sender cannot loop forever (unless
// LimitCopies lifts the limit).
//
// As sender (the code under test receives, e.g. DownloadBlock): the peer
// sends queued items, each a raw byte stream (usually a frame from
// BuildFrame), and records the link code the code answers after each byte.
// Like a real sender it starts an item again from its first byte on 15 and
// drops the rest of it on 13 or 14; codes 1 to 12 count as 0. A `raw` item
// goes on byte after byte whatever the codes.
//
// Turn-taking: a queued item starts only when the peer is idle and the code
// has read the status register at least twice since the peer last answered
// a link code (so it has seen that code before the busy line rises again;
// AnswerEagerly drops this condition after a frame's last byte), and not before its notBeforeUs on
// the virtual clock. An item therefore waits, for example, until the server
// has sent its reply and gone back to its idle poll.
//
// Line signals: at the start of a frame a raised busy line with code 14
// (0x1E, the abort and connection-error signals) is not a byte; the peer
// does not answer it.
//
// The peer can go silent at a byte, before it or in its middle (GoSilentAt):
// it then stops reacting in both roles and the code's waits run out.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string_view>
#include <vector>

#include "testing/fake_port.h"

namespace lpx {

// A whole frame on the wire: header, payload, checksum (corrupted on request
// by adding 1 to its first byte).
std::vector<uint8_t> BuildFrame(int32_t block, std::string_view payload,
                                bool corruptChecksum = false);

class FramePeer : public FakePeer {
 public:
  // A frame the code under test sent, as the peer parsed it. A frame with an
  // insane length has no payload and checksumOk false.
  struct Frame {
    int32_t length = 0;
    int32_t block = 0;
    std::vector<uint8_t> payload;
    bool checksumOk = false;
    uint8_t answer = 0;  // the link code the peer gave after its last byte
  };

  // An outgoing byte stream and what became of it.
  struct Item {
    std::vector<uint8_t> bytes;
    bool raw = false;            // ignores the link codes
    std::vector<uint8_t> codes;  // link codes read after each byte, resends included
    uint64_t notBeforeUs = 0;    // starts no earlier on the virtual clock
  };

  // `data` is the data register address of the code under test.
  explicit FramePeer(uint16_t data) : data_addr_(data) {}

  // --- As sender ---
  Item& Queue(std::vector<uint8_t> bytes) {
    items_.emplace_back().bytes = std::move(bytes);
    return items_.back();
  }
  Item& QueueFrame(int32_t block, std::string_view text) { return Queue(BuildFrame(block, text)); }
  const std::deque<Item>& items() const { return items_; }
  bool AllSent() const { return current_ >= items_.size(); }

  // --- As receiver ---
  // Answers `code` after the byte with this index (counted from 0 over all
  // bytes received, resends included).
  void CodeAt(uint64_t byteIndex, uint8_t code) { scripted_[byteIndex] = code; }
  // Decides the code after a frame's last byte; the default is DefaultVerdict.
  void Verdict(std::function<uint8_t(const Frame&)> verdict) { verdict_ = std::move(verdict); }
  static uint8_t DefaultVerdict(const Frame& frame);
  // Called after every completed frame (after its answer is on the line);
  // it may queue an item.
  void OnFrame(std::function<void(const Frame&)> callback) { on_frame_ = std::move(callback); }
  // Starts the next queued item the moment it has answered a frame's last
  // byte, before the code under test can read that code: a server that
  // replies at once, seen by a client that was not polling just then.
  void AnswerEagerly(bool on) { eager_ = on; }
  // Takes up the high nibble of a frame's last byte only at the next sleep
  // of the code under test: a client that was off its core while the
  // server's burst of reads ran out.
  void AnswerLastByteLate(bool on) { late_ = on; }
  // Copies of one frame answered 15 before the peer answers 14 instead
  // (default eleven); 0: no limit, a receiver that asks for resends for ever.
  void LimitCopies(int copies) { max_copies_ = copies; }
  const std::vector<Frame>& frames() const { return frames_; }
  // Every byte received, resends included.
  const std::vector<uint8_t>& bytes() const { return bytes_; }

  // --- Silence ---
  // Stops reacting at the byte with this index, counted from 0 over the
  // bytes begun in either direction: before it begins, or in its middle
  // (as sender after showing the low nibble, as receiver after
  // acknowledging it). Past that index already, at the next byte.
  void GoSilentAt(uint64_t byteIndex, bool midByte) {
    silent_at_ = byteIndex;
    silent_mid_ = midByte;
  }
  void GoSilentAfterBytes(uint64_t bytes) { GoSilentAt(bytes, false); }
  // Nothing more will come: every item sent, or silent.
  bool Done() const { return AllSent() || silent_; }
  // Bytes begun so far in either direction (the count GoSilentAt uses).
  uint64_t BytesBegun() const { return bytes_begun_; }

  // FakePeer.
  uint8_t Data(const FakePort& /*port*/) override { return data_; }
  void OnWrite(FakePort& port, uint16_t addr, uint8_t value) override;
  void OnRead(FakePort& port, uint16_t addr) override;
  void OnSleep(FakePort& port, uint32_t us) override;

 protected:
  // Takes up a frame's last byte that AnswerLastByteLate held back.
  void TakeUpLateByte();

  bool status_read_ = false;  // the latest access was a status read

 private:
  enum class State : uint8_t { kIdle, kRecvGotLow, kSendLow, kSendHigh };

  bool StopsAt(bool midByte);
  void ReceiveByte(uint8_t byte);
  bool NextByteEndsFrame() const;
  void MaybeStart();
  void SendCurrentByte();
  void AfterCode(uint8_t code);

  uint16_t data_addr_;
  uint8_t data_ = 0;
  State state_ = State::kIdle;
  bool silent_ = false;
  uint64_t silent_at_ = UINT64_MAX;
  bool silent_mid_ = false;
  uint64_t bytes_begun_ = 0;  // in either direction
  bool eager_ = false;
  bool late_ = false;
  int late_byte_ = -1;  // a frame's last byte, taken up at the next sleep
  int reads_since_code_ = 2;
  uint64_t now_us_ = 0;  // the virtual clock at the latest read or sleep

  // Receiving.
  uint8_t low_ = 0;
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> parse_;  // bytes of the frame being parsed
  std::vector<Frame> frames_;
  std::map<uint64_t, uint8_t> scripted_;
  std::function<uint8_t(const Frame&)> verdict_;
  std::function<void(const Frame&)> on_frame_;
  int copies_ = 0;       // of the frame being received, answered 15 so far
  int max_copies_ = 11;  // a real receiver's limit

  // Sending.
  std::deque<Item> items_;
  size_t current_ = 0;  // index of the item being sent or next to send
  size_t pos_ = 0;      // byte index within the current item
};

}  // namespace lpx
