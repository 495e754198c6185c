#include "service/text_count.h"

#include "convert/charset.h"
#include "convert/variant.h"
#include "link/command.h"
#include "platform/clock.h"
#include "service/transfer_state.h"

namespace lpx {

namespace {

// While counting, the clock is read after every this many bytes of the
// file, for the keep-alives.
constexpr uint64_t kKeepAliveBytes = 32768;

// Reads the next byte of fi for the UTF-8 stream decoder, counting it.
int ReadCountedByte(void* consumed) {
  ci = getc(fi);
  if (ci != EOF) ++*static_cast<uint64_t*>(consumed);
  return ci;
}

// Gives a byte back to fi, uncounting it.
void UnreadCountedByte(int c, void* consumed) {
  if (ungetc(c, fi) != EOF) --*static_cast<uint64_t*>(consumed);
}

}  // namespace

int ReadTextChar(uint64_t* consumed) {
  ci = getc(fi);
  if (ci == EOF) return -1;
  ++*consumed;
  if (!variantC) return ISO8859_15(static_cast<uint8_t>(ci));
  return DecodeUTF8Stream(ci, ReadCountedByte, consumed, UnreadCountedByte);
}

TextCount StartTextCount() {
  TextCount count;
  count.mark = ElapsedSeconds();
  count.nextCheck = kKeepAliveBytes;
  return count;
}

bool CountText(TextCount* count, uint64_t localStop, uint64_t wireStop) {
  while (count->local < localStop && count->wire < wireStop) {
    const int c = ReadTextChar(&count->local);
    if (c < 0) break;
    count->wire += c == '\n' ? 2 : 1;
    if (count->local < count->nextCheck) continue;
    count->nextCheck += kKeepAliveBytes;
    const int64_t now = ElapsedSeconds();
    if (now > count->mark) {
      count->mark = now;
      if (!RemoteSendCommand(kReplyWait)) return false;
    }
  }
  return true;
}

}  // namespace lpx
