// Reading the transfer's file fi as text mode sends it: the characters the
// client gets, and how many bytes they make on the cable (a line feed goes
// as CR LF, two). Both the sender (size and restart position of AGET) and
// the restart negotiation of APUT count this way, so their offsets agree.
#pragma once

#include <cstdint>

namespace lpx {

// The next character of fi as the client gets it, before a line feed is
// expanded: variants A and B one byte with the euro exchange, variant C one
// decoded UTF-8 character. -1 at the end of the file. The bytes taken from
// the file are added to *consumed; ci holds the last byte read.
int ReadTextChar(uint64_t* consumed);

// A count through fi from where it stands. Start one with StartTextCount,
// go on with CountText as often as needed.
struct TextCount {
  uint64_t local = 0;      // bytes read from fi
  uint64_t wire = 0;       // what they make on the cable
  int64_t mark = 0;        // the clock's last reading, in seconds
  uint64_t nextCheck = 0;  // the local count at which the clock is read next
};

// Reads the clock for the first mark. CountText reads it again after every
// 32768 bytes of the file (counted from this start) and sends "WAIT"
// whenever a further whole second has passed, so that the client does not
// give up on a long count.
TextCount StartTextCount();

// Counts whole characters until the end of fi, or until `localStop` bytes
// are read or `wireStop` wire bytes counted (the character that reaches
// either is taken whole). False when a "WAIT" was not delivered.
bool CountText(TextCount* count, uint64_t localStop, uint64_t wireStop);

// For no stop but the end of the file.
constexpr uint64_t kWholeFile = UINT64_MAX;

}  // namespace lpx
