// A lean reactive far end of the cable for the fuzz targets. It plays the
// nibble handshake against the code under test on a FakePort, like
// testing/frame_peer.h, but without its traces and callbacks, so that an
// execution costs little.
//
// As sender it sends queued items, each a raw byte stream. A `faithful`
// item behaves as a real sender does (starts again from its first byte on
// link code 15, stops on 13 or 14); a raw item goes on byte after byte
// whatever the code. An item starts only when the code under test has read
// the status register twice since the peer last answered a link code, so
// that a reply the code is about to send is not run over.
//
// As receiver it parses the frames the code under test sends and answers
// every byte with link code 0, the last byte of a frame with what a real
// receiver answers (13 for an abort frame, 15 for a bad checksum), or with
// a code scripted for that frame. Like a real receiver it takes at most
// eleven copies of a frame and then answers 14, so that no sender can loop
// for ever.
//
// Either role goes silent at a chosen byte count: the code's waits then run
// out. Once every item is sent and the code polls idle (a 50 ms pause right
// after a status read), the peer presses Ctrl/C (sets keyflag), and it does
// so in any case once the virtual clock passes a limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/fake_port.h"

namespace lpx {

class FuzzPeer final : public FakePeer {
 public:
  struct Item {
    std::vector<uint8_t> bytes;
    bool faithful = true;
  };

  // `data` is the data register address of the code under test.
  explicit FuzzPeer(uint16_t data) : data_addr_(data) {}

  void Queue(std::vector<uint8_t> bytes, bool faithful = true);
  // Answers `code` after the last byte of the `frame`-th frame received
  // (counted from 0), unless the frame is an abort frame.
  void AnswerFrame(size_t frame, uint8_t code);
  // Stops reacting once this many bytes were moved in either direction.
  void GoSilentAfterBytes(uint64_t bytes) { silent_after_ = bytes; }
  // Presses Ctrl/C at the code's idle poll once the script is sent.
  void PressCtrlCWhenDone(bool on) { ctrl_c_when_done_ = on; }

  // A frame the code under test sent.
  struct Frame {
    int32_t length = 0;
    int32_t block = 0;
    bool checksumOk = false;
    uint8_t answer = 0;  // the link code the peer gave after its last byte
    std::string payload;
  };
  const std::vector<Frame>& frames() const { return frames_; }
  bool AllSent() const { return current_ >= items_.size(); }
  // A frame header with a length no sender may use (below 0, above 4096).
  bool sawInsaneLength() const { return insane_length_; }
  bool timedOut() const { return timed_out_; }

  // FakePeer.
  uint8_t Data(const FakePort& port) override;
  void OnWrite(FakePort& port, uint16_t addr, uint8_t value) override;
  void OnRead(FakePort& port, uint16_t addr) override;
  void OnSleep(FakePort& port) override;

  // Virtual time after which the peer presses Ctrl/C whatever happens.
  static constexpr uint64_t kLimitUs = 600ull * 1000 * 1000;

 private:
  enum class State : uint8_t { kIdle, kRecvGotLow, kSendLow, kSendHigh };

  bool Silent() const { return moved_ >= silent_after_; }
  void Drive(uint8_t value) { data_ = value; }
  void MaybeStart();
  void SendCurrentByte();
  void AfterCode(uint8_t code);
  void ReceiveByte(uint8_t byte);

  uint16_t data_addr_;
  uint8_t data_ = 0;
  State state_ = State::kIdle;
  uint64_t moved_ = 0;
  uint64_t silent_after_ = UINT64_MAX;
  bool ctrl_c_when_done_ = true;
  bool last_was_status_read_ = false;
  uint64_t read_at_us_ = 0;
  bool timed_out_ = false;

  // Receiving.
  uint8_t low_ = 0;
  std::vector<uint8_t> parse_;
  std::vector<Frame> frames_;
  std::vector<std::pair<size_t, uint8_t>> answers_;
  int reads_since_code_ = 2;
  int copies_ = 0;
  bool insane_length_ = false;

  // Sending.
  std::vector<Item> items_;
  size_t current_ = 0;
  size_t pos_ = 0;
};

}  // namespace lpx
