// The file manager at the far end of the cable, as tests script it.
//
// A ClientModel attaches itself to a FakePort as its peer and plays the
// client's side of every exchange through a FramePeer: it queues command
// messages and data frames for the server (each starts by raising the busy
// line, which the server's idle poll sees), receives the server's frames
// and answers each with link code 0 or a scripted code, and ends the
// session by pressing Ctrl/C (setting keyflag) once its script is exhausted
// and the server polls idle again, so that DoServer returns. Like a real
// client it never starts a frame while the server drives its abort or
// connection-error signal.
//
//   FakePort port;
//   platform = &port;
//   ClientModel client(port);
//   client.Send("CONNECT");
//   client.Send("LIST \\tmp\\x");
//   client.RunServer();
//   EXPECT_EQ(client.Replies(), (std::vector<std::string>{"OK A", "SIZE 0"}));
//
// REQUIRES: the port records its log (the default); the model tells the
// server's idle poll from other pauses by it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "testing/fake_port.h"
#include "testing/frame_peer.h"

namespace lpx {

class ClientModel final : public FakePeer {
 public:
  // A frame the server sent with a block number other than 0.
  struct DataFrame {
    int32_t block = 0;
    std::vector<uint8_t> payload;
    uint8_t answer = 0;  // the link code the client gave after its last byte
    bool operator==(const DataFrame&) const = default;
  };

  // The virtual time after which a session that has not ended is ended
  // anyway (TimedOut() then tells).
  static constexpr uint64_t kSessionLimitUs = 3600ull * 1000 * 1000;

  // Attaches to `port` as its peer; the server's data register is `base`.
  explicit ClientModel(FakePort& port, uint16_t base = 0x378);
  ~ClientModel() override;  // detaches from the port
  ClientModel(const ClientModel&) = delete;
  ClientModel& operator=(const ClientModel&) = delete;

  // --- The script, sent in order ---
  // A command message (block number 0) with this text.
  FramePeer::Item& Send(std::string_view command);
  // A data frame of an upload.
  FramePeer::Item& SendData(int32_t block, std::vector<uint8_t> payload);
  FramePeer::Item& SendData(int32_t block, std::string_view payload);
  // The abort frame (block number -1, length 0).
  FramePeer::Item& SendAbort();

  // --- How the client answers the server's frames ---
  // Answers `code` after the last byte of every command message whose text
  // is `text` (instead of 0).
  void AnswerReply(std::string_view text, uint8_t code);
  // Answers `code` after the last byte of the data frame with this block
  // number (instead of 0).
  void AnswerData(int32_t block, uint8_t code);
  // After the server's `frames`-th frame (0: at once) the client stops
  // reacting: the server's next frame is never acknowledged.
  void GoSilentAfterFrames(size_t frames);
  // Presses Ctrl/C (sets keyflag) when the virtual clock reaches `us`,
  // instead of at the end of the script.
  void PressCtrlCAt(uint64_t us);

  // Points the link at this client's port and runs DoServer until the
  // session ends.
  void RunServer();

  // --- What happened ---
  // The texts of the command messages the server sent, in order.
  std::vector<std::string> Replies() const;
  // The server's other frames, in order.
  std::vector<DataFrame> DataFrames() const;
  // Virtual time at which Ctrl/C was pressed; 0 when it was not.
  uint64_t CtrlCPressedAtUs() const { return ctrl_c_pressed_at_; }
  // The session ran into kSessionLimitUs.
  bool TimedOut() const { return timed_out_; }
  // The frame-level peer underneath, for finer scripting and inspection.
  // Its OnFrame and Verdict hooks belong to the model.
  FramePeer& peer() { return peer_; }
  const FramePeer& peer() const { return peer_; }

  // FakePeer.
  uint8_t Data(const FakePort& port) override;
  void OnWrite(FakePort& port, uint16_t addr, uint8_t value) override;
  void OnRead(FakePort& port, uint16_t addr) override;
  void OnSleep(FakePort& port) override;

 private:
  uint8_t Answer(const FramePeer::Frame& frame) const;
  bool ScriptExhausted() const;
  bool ServerPollsIdle(const FakePort& port) const;
  void PressCtrlC(const FakePort& port);

  FakePort& port_;
  uint16_t base_;
  FramePeer peer_;
  std::map<std::string, uint8_t, std::less<>> reply_codes_;
  std::map<int32_t, uint8_t> data_codes_;
  bool silence_armed_ = false;
  size_t silent_after_ = 0;
  uint64_t ctrl_c_at_ = 0;  // 0: at the end of the script
  uint64_t ctrl_c_pressed_at_ = 0;
  bool timed_out_ = false;
  bool last_read_was_status_ = false;
};

}  // namespace lpx
