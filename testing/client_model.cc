#include "testing/client_model.h"

#include "link/frame_format.h"
#include "link/port.h"
#include "service/command_loop.h"

namespace lpx {

ClientModel::ClientModel(FakePort& port, uint16_t base)
    : FramePeer(base), port_(port), base_(base) {
  Verdict([this](const Frame& frame) {
    std::string_view text(reinterpret_cast<const char*>(frame.payload.data()),
                          frame.payload.size());
    auto it = reply_codes_.find(text);
    const uint8_t standard = DefaultVerdict(frame);
    return frame.block == 0 && standard == kCodeGoOn && it != reply_codes_.end() ? it->second
                                                                                 : standard;
  });
  port_.SetPeer(this);
}

void ClientModel::RunServer() {
  portaddr = base_;
  portaddr1 = base_ + 1;
  DoServer();
}

void ClientModel::OnSleep(FakePort& port, uint32_t us) {
  // A client does not start a frame while the server drives one of its
  // line signals (link code 14 on the data lines): it would be stopped.
  TakeUpLateByte();
  if ((port.Register(base_) & 0x0F) != kCodeWrongBlock) FramePeer::OnSleep(port, us);
  // The server polls idle with a 50 ms or a quick pause right after a status
  // read; the link's other pauses follow writes, or last 100 ms.
  timed_out_ = timed_out_ || (port.NowUs() >= limit_us_ && !keyflag);
  const bool idle = status_read_ && (us == kIdlePollUs || us == kQuickPollUs);
  if ((timed_out_ || (Done() && idle)) && !ctrl_c_pressed_) {
    keyflag = 1;
    ctrl_c_pressed_ = true;
  }
}

}  // namespace lpx
