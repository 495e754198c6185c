#include "link/command.h"

#include <cstring>

#include "link/frame.h"

namespace lpx {

uint8_t outdbuf[kFrameBufferSize] = {0x18, 0x24, 0x42, 0x81};
uint8_t indbuf[kFrameBufferSize];
uint8_t databuf[kFrameBufferSize];
int blocktransfer = 0;

static_assert(kCommandBufferSize <= kMaxPayload);

void ResetLinkCommandState() {
  memset(outdbuf, 0, sizeof outdbuf);
  EncodeFixed32(outdbuf + kMagicOffset, kFrameMagic);
  memset(indbuf, 0, sizeof indbuf);
  memset(databuf, 0, sizeof databuf);
  blocktransfer = 0;
  codeHeldUntilMs = 0;
}

int RemoteSendCommand(const char* text) {
  if (blocktransfer) return 0;
  // A text longer than one payload would be written past outdbuf; it is
  // not sent at all rather than cut.
  const size_t length = strnlen(text, kMaxPayload + 1);
  if (length > kMaxPayload) return 0;
  // The terminator lands in the checksum area at worst; it is not sent.
  memcpy(FramePayload(outdbuf), text, length + 1);
  SetFrameLength(outdbuf, static_cast<int32_t>(length));
  SetFrameBlock(outdbuf, 0);

  const LinkBusy busy;
  return UploadBlock(outdbuf) == LinkResult::kOk ? 1 : 0;
}

int ReceiveCommandString(char* destination) {
  if (blocktransfer) return 6;
  const LinkBusy busy;
  SetFrameBlock(indbuf, 0);
  int result = -1;
  if (DownloadBlock(indbuf) == LinkResult::kOk) {
    const int32_t length = FrameLength(indbuf);
    // A line that would not fit the command buffer is refused whole, so that
    // the command loop answers it as an unrecognised command; cutting it
    // could turn it into a different, valid command.
    if (length >= 0 && static_cast<size_t>(length) < kCommandBufferSize) {
      memcpy(destination, FramePayload(indbuf), static_cast<size_t>(length));
      destination[length] = '\0';
      result = 1;
    }
  }
  if (result != 1) destination[0] = '\0';
  return result;
}

}  // namespace lpx
