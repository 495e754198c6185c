// The file manager at the far end of the cable, as tests script it.
//
// A ClientModel is a FramePeer that attaches itself to a FakePort and plays
// the client's side of every exchange: it queues command messages and data
// frames for the server (each starts by raising the busy line, which the
// server's idle poll sees), receives the server's frames and answers each
// with link code 0 or a scripted code, and ends the session by pressing
// Ctrl/C (setting keyflag) once its script is done (FramePeer::Done) and
// the server polls idle again, so that DoServer returns. Like a real client
// it never starts a frame after a pause while the server drives its abort or
// connection-error signal.
//
//   FakePort port;
//   platform = &port;
//   ClientModel client(port);
//   client.Send("CONNECT");
//   client.Send("LIST \\tmp\\x");
//   client.RunServer();
//   EXPECT_EQ(client.frames().size(), 2u);  // "OK A", "SIZE 0"
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "testing/frame_peer.h"

namespace lpx {

class ClientModel final : public FramePeer {
 public:
  // Attaches to `port` as its peer; the server's data register is `base`.
  explicit ClientModel(FakePort& port, uint16_t base = 0x378);
  ~ClientModel() override { port_.SetPeer(nullptr); }
  ClientModel(const ClientModel&) = delete;
  ClientModel& operator=(const ClientModel&) = delete;

  // --- The script, sent in order ---
  // A command message (block number 0) with this text.
  Item& Send(std::string_view command) { return QueueFrame(0, command); }
  // A data frame of an upload.
  Item& SendData(int32_t block, std::string_view payload) { return QueueFrame(block, payload); }

  // --- How the client answers the server's frames ---
  // Answers `code` after every intact command message whose text is `text`
  // (a Verdict of the test's own replaces these answers).
  void AnswerReply(std::string_view text, uint8_t code) { reply_codes_[std::string(text)] = code; }
  // Presses Ctrl/C, and reports TimedOut(), once the virtual clock reaches
  // `us` with the session still running (default one hour).
  void LimitSessionTo(uint64_t us) { limit_us_ = us; }

  // Points the link at this client's port and runs DoServer until the
  // session ends.
  void RunServer();

  // --- What happened (the frames the server sent: frames()) ---
  bool TimedOut() const { return timed_out_; }

  void OnSleep(FakePort& port, uint32_t us) override;

 private:
  FakePort& port_;
  uint16_t base_;
  std::map<std::string, uint8_t, std::less<>> reply_codes_;
  bool ctrl_c_pressed_ = false;
  uint64_t limit_us_ = 3600ull * 1000 * 1000;
  bool timed_out_ = false;
};

}  // namespace lpx
