// SIZE after PUT or APUT: receives the data frames of an upload into the
// local file, with the overlap check of a resumed upload, and sets the time.
//
// Every data frame is opened, checked and written inside the frame check
// that the block receiver consults before it answers the frame's last byte,
// so a frame that cannot be stored is refused on the cable (link code 13)
// and the client never takes a failed upload for a stored one. For the same
// reason the file is opened (and emptied) only once frame 1 has arrived
// intact, and it is flushed after every frame and closed inside the check
// of the last one.
#include "service/receiver.h"

#include <sys/stat.h>
#include <utime.h>

#include <cinttypes>
#include <cstring>

#include "convert/charset.h"
#include "convert/fattime.h"
#include "convert/path.h"
#include "convert/variant.h"
#include "link/command.h"
#include "link/frame.h"
#include "log/console.h"
#include "log/memo.h"
#include "service/disk.h"
#include "service/handlers.h"
#include "service/transfer_state.h"

namespace lpx {

char ufilenam[kUploadNameSize];

namespace {

// Every this many frames a "~" marks progress on the console.
constexpr int32_t kProgressFrames = 25;
// The FAT word that stands for "no time given".
constexpr int32_t kNoTime = -1;

// --- The upload in progress, for the frame check --------------------------
uint32_t upSize;         // wire size of the whole file
uint32_t upReceived;     // wire bytes in place
uint32_t upLocalOffset;  // local byte position where the resumed data starts
int upText;              // text mode
bool upOpened;           // the file was opened (its time is set at the end)

// The local byte(s) a text-mode wire byte other than CR becomes. Returns
// how many bytes are in `out`.
size_t ConvertTextByte(uint8_t wire, uint8_t out[3]) {
  return ClientByteToLocal(Dos2Ansi(wire), out);
}

void ReportDifference(uint32_t index, unsigned sent, int stored) {
  ConsolePrintf("%" PRIu32 ":%02X-%02X   ", index, sent, static_cast<unsigned>(stored));
  AddToMemo("\n*** Error: source and target differ!");
}

// Compares the first frame of a resumed upload with what the file holds
// from the current position on. The end of the file ends the check with
// success; a read error fails it, since nothing could be compared.
bool OverlapMatches(const uint8_t* payload, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    uint8_t expected[3];
    size_t count = 1;
    if (!upText) {
      expected[0] = payload[i];
    } else if (payload[i] == '\r') {
      continue;
    } else {
      count = ConvertTextByte(payload[i], expected);
    }
    for (size_t k = 0; k < count; ++k) {
      ci = getc(fi);
      if (ci == EOF) return !ferror(fi);
      if (ci != expected[k]) {
        const unsigned shown = (upText && variantC) ? Dos2Ansi(payload[i]) : expected[k];
        ReportDifference(static_cast<uint32_t>(i), shown, ci);
        return false;
      }
    }
  }
  return true;
}

// Opens `path` as a stream on a regular file: for writing, created when
// missing and emptied (`resume` false), or for reading and writing as it
// stands (`resume` true, never created). Anything but a regular file is
// refused before it is touched: opening a FIFO would wait for a reader
// without end, and a device is no place for an upload.
FILE* OpenRegular(const char* path, bool resume) { return disk.openWrite(path, resume); }

// Opens the upload's file for frame 1. A fresh upload creates or empties
// the file; a resumed one opens the existing file without emptying it
// (a missing one is not created: there is nothing to resume), which must
// already reach the local restart offset (a shorter file would leave a gap
// of zeros), and checks the overlap.
bool OpenUploadFile(const uint8_t* payload, int32_t length) {
  if (ufilenam[0] == '\0') return false;
  fi = OpenRegular(ufilenam, upLocalOffset != 0);
  if (fi == nullptr) return false;
  upOpened = true;
  if (upLocalOffset == 0) return true;
  struct stat status;
  if (disk.fileStatus(fi, &status) != 0 || static_cast<uint64_t>(status.st_size) < upLocalOffset) {
    return false;
  }
  if (fseeko(fi, static_cast<off_t>(upLocalOffset), SEEK_SET) != 0) return false;
  // The frame is converted again when it is written; both must meet the
  // same code page detection, so the check leaves it as it found it.
  const int32_t dosBefore = DOSmode;
  const bool matches = OverlapMatches(payload, length);
  DOSmode = dosBefore;
  if (!matches) return false;
  return fseeko(fi, static_cast<off_t>(upLocalOffset), SEEK_SET) == 0;
}

// The frame check: stores one intact data frame before the client gets its
// last link code. False refuses the frame.
bool StoreFrame(uint8_t* frame) {
  const int32_t length = FrameLength(frame);
  const uint8_t* payload = FramePayload(frame);
  // More data than announced: the file would not be the one the client
  // described.
  if (static_cast<uint64_t>(upReceived) + static_cast<uint64_t>(length) > upSize) return false;
  if (FrameBlock(frame) == 1 && !OpenUploadFile(payload, length)) return false;
  if (fi == nullptr) return false;
  if (my_fwrite(payload, length, upText, fi) != length) return false;
  // Flushed now, so that a full device refuses this very frame.
  if (fflush(fi) != 0) return false;
  if (upReceived + static_cast<uint32_t>(length) == upSize) {
    // The last frame: the file ends where the client's data ends (a resumed
    // upload may leave a longer old copy behind it), and it is complete
    // only once it is closed without error. The client learns either from
    // this frame's code.
    FILE* file = fi;
    fi = nullptr;
    const off_t end = ftello(file);
    const bool cut = end >= 0 && disk.truncateFile(file, end) == 0;
    if (fclose(file) != 0 || !cut) return false;
  }
  return true;
}

// The console's account of a frame that did not come. A frame this end
// refused (its file could not be opened, checked or written) is told by
// FlopMessage.
void LogReceiveFailure() {
  switch (receiveFailure) {
    case ReceiveFailure::kTimeout:
      return AddToMemo("\nTime-out -- the client stopped answering");
    case ReceiveFailure::kOutOfStep:
      return AddToMemo("\nFrame out of step -- no block header");
    case ReceiveFailure::kChecksum:
      return AddToMemo("\nToo many checksum errors");
    case ReceiveFailure::kWrongBlock:
      return AddToMemo("\nWrong block number");
    case ReceiveFailure::kAbortFrame:
      return AddToMemo("\nClient aborted the transfer");
    case ReceiveFailure::kNone:
    case ReceiveFailure::kRefused:
      return FlopMessage();
  }
}

void SetUploadTime(int32_t time) {
  if (time == kNoTime) return;
  struct utimbuf times;
  times.actime = times.modtime = UXtime(static_cast<uint32_t>(time));
  disk.setTimes(ufilenam, &times);
}

// Nothing to receive: a size of 0 creates the file empty (emptying an
// existing one). 0 when done, 1 when the file cannot be created.
int StoreEmptyFile(int32_t time) {
  if (ufilenam[0] == '\0') return 1;
  FILE* file = OpenRegular(ufilenam, false);
  if (file == nullptr) return 1;
  if (fclose(file) != 0) return 1;
  SetUploadTime(time);
  return 0;
}

// Maps the client path into ufilenam; leaves it empty when the mapped path
// does not fit, so that nothing is opened.
void MapUploadName(const char* clientPath) {
  ufilenam[0] = '\0';
  const char* mapped = FormatUnixName(clientPath);
  if (mapped == nullptr) return;
  const size_t length = strlen(mapped);
  if (length < sizeof ufilenam) memcpy(ufilenam, mapped, length + 1);
}

}  // namespace

void FlopMessage() { AddToMemo("\nCannot allocate file -- No write permission or device full"); }

int32_t my_fwrite(const uint8_t* payload, int32_t length, int text, FILE* file) {
  for (int32_t i = 0; i < length; ++i) {
    if (!text) {
      if (putc(payload[i], file) == EOF) return -1;
      continue;
    }
    if (payload[i] == '\r') continue;
    uint8_t bytes[3];
    const size_t count = ConvertTextByte(payload[i], bytes);
    for (size_t k = 0; k < count; ++k) {
      if (putc(bytes[k], file) == EOF) return -1;
    }
  }
  return length;
}

int ReceiveData(const char* clientPath, int32_t size, int32_t time, int32_t /*attr*/,
                int32_t offset, int32_t remote, int text) {
  if (blocktransfer) return 6;
  const LinkBusy busy;
  MapUploadName(clientPath);
  upSize = static_cast<uint32_t>(size);
  upReceived = static_cast<uint32_t>(remote);
  upLocalOffset = static_cast<uint32_t>(offset);
  upText = text;
  upOpened = false;

  int result = 0;
  if (upSize == upReceived) {
    result = upSize == 0 ? StoreEmptyFile(time) : 1;
    if (result != 0) FlopMessage();
    return result;
  }

  int32_t expected = 1;
  do {
    SetFrameBlock(indbuf, expected);
    const LinkResult received = DownloadBlock(indbuf, StoreFrame);
    if (received != LinkResult::kOk) {
      ConsolePrintf("\n*** %" PRIu32 " Error", upReceived);
      LogReceiveFailure();
      result = static_cast<int>(received);
      break;
    }
    ++expected;
    upReceived += static_cast<uint32_t>(FrameLength(indbuf));
    if (expected % kProgressFrames == 0) AddToMemo("~");
  } while (upReceived != upSize);

  if (upOpened) {
    // After a failure the part written so far stays, and gets its time.
    if (fi != nullptr && fclose(fi) != 0 && result == 0) {
      FlopMessage();
      result = 1;
    }
    fi = nullptr;
    SetUploadTime(time);
  }
  return result;
}

}  // namespace lpx
