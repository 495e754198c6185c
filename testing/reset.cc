#include "testing/reset.h"

#include "convert/charset.h"
#include "convert/fattime.h"
#include "convert/variant.h"
#include "link/command.h"
#include "link/port.h"
#include "link/port_select.h"
#include "log/memo.h"
#include "platform/clock.h"
#include "platform/rights.h"
#include "service/command_loop.h"
#include "service/disk.h"
#include "service/transfer_state.h"
#include "shell/startup.h"
#include "testing/fake_port.h"

namespace lpx {

void ResetAllState() {
  ResetLinkPortState();
  ResetLinkCommandState();
  ResetMemoState();
  ResetCharsetState();
  ResetFatTimeState();
  ResetTransferState();
  ResetCommandState();
  ResetDiskOps();
  ResetIdentityOps();
  portBackend = PortBackend{};
  variantC = false;
  consoleEncoder = ClientByteToLocal;
  time_a = TimeB{FakePort::kStartEpoch, 0};
  time_b = time_a;
}

}  // namespace lpx
