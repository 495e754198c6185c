// GET and AGET: sends one local file to the client, in binary mode or in
// text mode (LF travels as CR LF, characters converted), from a restart
// offset on.
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

#include "convert/fattime.h"
#include "convert/path.h"
#include "link/command.h"
#include "link/frame.h"
#include "link/port.h"
#include "log/memo.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "service/text_count.h"
#include "service/transfer_state.h"

namespace lpx {

namespace {

// Every this many frames a "~" marks progress on the console.
constexpr int32_t kProgressFrames = 25;

// Opens a regular file for reading into fi and reads its status into
// fprops. Anything else (a directory, a FIFO, a device) is refused: its
// status size says nothing about what a read would deliver, and opening a
// FIFO would wait for a writer without end.
bool OpenForSending(const char* path) {
  if (path == nullptr) return false;
  fi = disk.openRead(path, &fprops);
  return fi != nullptr;
}

void CloseSent() {
  if (fi != nullptr) fclose(fi);
  fi = nullptr;
}

enum class Count { kDone, kKeepAliveLost, kReadError };

// Text mode: the wire size of the whole file (a line feed counts two), and
// for a restart offset the local position to send from. The position is
// just after the character at which the wire count reached the offset;
// `split` is set when the offset falls between the CR and the LF of a line
// break. An offset beyond the wire size gives the end of the file, so that
// nothing is sent twice. A long count keeps the client waiting with "WAIT".
Count CountTextFile(uint32_t restart, uint64_t* wire, uint64_t* start, bool* split) {
  *wire = 0;
  *start = 0;
  *split = false;
  if (fseeko(fi, 0, SEEK_SET) != 0) return Count::kReadError;
  // To the character that reaches the restart offset, then on to the end.
  TextCount count = StartTextCount();
  if (!CountText(&count, kWholeFile, restart)) return Count::kKeepAliveLost;
  *start = count.local;
  *split = count.wire > restart;
  if (!CountText(&count, kWholeFile, kWholeFile)) return Count::kKeepAliveLost;
  if (ferror(fi)) return Count::kReadError;
  *wire = count.wire;
  return Count::kDone;
}

// Sends the frames: block numbers 1, 2, 3, ..., every frame but the last
// full, the last one sent when the end of the file is read (so an empty
// rest is one frame of length 0). `split` starts the stream with the LF
// whose CR the client already holds. A read error ends the transfer with
// the abort frame, so that the client does not take a short file for a
// whole one. Returns true when every frame was taken and Ctrl/C was not
// pressed.
bool SendFrames(int text, bool split) {
  uint8_t* payload = FramePayload(indbuf);
  int32_t fill = 0;
  int32_t block = 1;
  bool pendingLF = split;
  bool atEnd = false;
  bool good = true;
  uint64_t consumed = 0;
  while (good && (!atEnd || pendingLF)) {
    if (pendingLF) {
      payload[fill++] = '\n';
      pendingLF = false;
    } else if (!text) {
      ci = getc(fi);
      if (ci == EOF) {
        atEnd = true;
      } else {
        payload[fill++] = static_cast<uint8_t>(ci);
      }
    } else {
      const int c = ReadTextChar(&consumed);
      if (c < 0) {
        atEnd = true;
      } else if (c == '\n') {
        payload[fill++] = '\r';
        pendingLF = true;
      } else {
        payload[fill++] = static_cast<uint8_t>(c);
      }
    }
    if (fill < static_cast<int32_t>(kMaxPayload) && !(atEnd && !pendingLF)) continue;

    if (atEnd && ferror(fi)) {
      SetFrameLength(indbuf, 0);
      SetFrameBlock(indbuf, kAbortBlock);
      UploadBlock(indbuf);
      return false;
    }
    if (block % kProgressFrames == 0) AddToMemo("~");
    SetFrameBlock(indbuf, block);
    SetFrameLength(indbuf, fill);
    const LinkResult sent = UploadBlock(indbuf);
    fill = 0;
    ++block;
    abortClicked = keyflag;
    good = sent == LinkResult::kOk && !abortClicked;
  }
  return good;
}

}  // namespace

int ServerUploadFile(const char* clientPath, int32_t restart, int text) {
  if (blocktransfer) return 0;
  if (!OpenForSending(FormatUnixName(clientPath))) return RemoteSendCommand(kReplyFileError);
  const uint64_t localSize = static_cast<uint64_t>(fprops.st_size);
  // Already the local size may not fit the 32 bits of "SIZE"; the wire
  // size never is smaller.
  if (localSize > kMaxSizeReply) {
    CloseSent();
    return RemoteSendCommand(kReplyFileError);
  }
  const uint32_t offset = static_cast<uint32_t>(restart);
  char reply[32];
  bool delivered = true;

  if (offset != 0) {
    // In binary mode the offset is the local position; beyond the end it
    // is the end, where the next read finds nothing.
    const uint64_t position = offset < localSize ? offset : localSize;
    fseeko(fi, static_cast<off_t>(position), SEEK_SET);
    snprintf(reply, sizeof reply, "%s%" PRIu32, kReplyRest, offset);
    delivered = RemoteSendCommand(reply) != 0;
  }
  const mode_t mode = fprops.st_mode;
  const time_t modified = fprops.st_mtime;
  if (delivered) {
    snprintf(reply, sizeof reply, "%s%" PRIu32, kReplyTime, FATtime(modified));
    delivered = RemoteSendCommand(reply) != 0;
  }
  if (delivered) {
    // The hidden bit comes from the path text as the client sent it.
    snprintf(reply, sizeof reply, "%s%u", kReplyAttr, AttributeByte(mode, clientPath));
    delivered = RemoteSendCommand(reply) != 0;
  }

  uint64_t wireSize = localSize;
  bool split = false;
  if (delivered && text) {
    uint64_t start = 0;
    Count counted = CountTextFile(offset, &wireSize, &start, &split);
    if (counted == Count::kDone && fseeko(fi, static_cast<off_t>(start), SEEK_SET) != 0) {
      counted = Count::kReadError;
    }
    if (counted == Count::kKeepAliveLost) {
      delivered = false;
    } else if (counted == Count::kReadError || wireSize > kMaxSizeReply) {
      // Announcing a size that is not the file's would hand the client a
      // wrong file; it gets the error reply in place of "SIZE".
      CloseSent();
      return RemoteSendCommand(kReplyFileError);
    }
  }
  if (delivered) {
    snprintf(reply, sizeof reply, "%s%" PRIu64, kReplySize, wireSize);
    delivered = RemoteSendCommand(reply) != 0;
  }
  int result = 0;
  if (delivered) {
    abortClicked = 0;
    const LinkBusy busy;
    result = SendFrames(text, split) ? 1 : 0;
  }
  CloseSent();
  return result;
}

}  // namespace lpx
