// What both ends of the link agree on beyond the frame layout
// (link/frame_format.h): the replies of the command protocol, the limits of
// its numbers, and the result of a frame exchange.
#pragma once

#include <cstdint>

#include "link/frame_format.h"

namespace lpx {

// --- Replies ----------------------------------------------------------------
inline constexpr char kReplyOk[] = "OK";                       // a namespace command done
inline constexpr char kReplyConnected[] = "OK A";              // CONNECT
inline constexpr char kReplyWait[] = "WAIT";                   // keep-alive while the server counts
inline constexpr char kReplyFileError[] = "FILE ERROR 2";      // GET, AGET, DEL
inline constexpr char kReplyListError[] = "DIR ERROR 2";       // LIST
inline constexpr char kReplyMkdirError[] = "DIR ERROR 1";      // MD
inline constexpr char kReplyRmdirError[] = "DIR ERROR 20";     // RD
inline constexpr char kReplyRenameError[] = "RENAME ERROR 2";  // RNTO
inline constexpr char kReplyRestError[] = "REST ERROR 2";      // REST ?

// Replies that carry a decimal number after their prefix.
inline constexpr char kReplySize[] = "SIZE ";    // the size of a fetch or a listing
inline constexpr char kReplyRest[] = "REST ";    // the offset a fetch resumes from
inline constexpr char kReplyRestAt[] = "REST=";  // the wire offset an upload resumes at
inline constexpr char kReplyTime[] = "TIME ";    // a fetched file's FAT time word
inline constexpr char kReplyAttr[] = "ATTR ";    // a fetched file's attribute byte

// --- Limits -----------------------------------------------------------------
// The number of a SIZE reply is an unsigned 32-bit number.
constexpr uint64_t kMaxSizeReply = 0xFFFFFFFF;
// Offsets (REST n, REST=n) are signed 32-bit numbers, and the client keeps
// its uploads within the same bound.
constexpr uint64_t kMaxWireOffset = 0x7FFFFFFF;

// --- Results ----------------------------------------------------------------
// What became of a frame exchange, for the sender and the receiver alike.
enum class LinkResult : uint8_t {
  kOk,        // the frame was delivered, or received and taken
  kNoServer,  // nobody took up the frame's first byte (or, with timed
              // waits, the peer's line never came to rest before it)
  kTimeout,   // the peer stopped answering within a frame
  kRefused,   // link code 13: the frame was refused, or it was an abort
              // frame; a receiver also ends on a block number off by 1 or 2
  kAborted,   // link code 14 or the abort signal: out of step, too many
              // checksum failures, a wrong block number, a receiver's wait
              // ran out; or a length the frame buffer cannot hold
  kSignal,    // the peer raised its line with a line signal, not a frame
};

}  // namespace lpx
