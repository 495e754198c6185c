// The bare nibble handshake, without frames, checksums or link codes that
// mean anything: the baseline that the benchmarks compare framed transfers
// with. One byte is four writes, two by each side, and the same waits the
// frames use (WaitForBitFlip with tries 20 under the current wait policy).
// RunRawTransfer moves a stream of bytes that way between two processes.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <string>

#include "bench/bench_util.h"
#include "link/frame_format.h"
#include "link/port.h"

namespace lpx::bench {

// Sender side of one byte on the port at `base`: returns false when a wait
// ran out or the receiver answered anything but code 0.
inline bool RawSend(uint16_t base, uint8_t byte) {
  WritePort(base, static_cast<uint8_t>((byte & 0x0F) | kBusyLine));
  if (!WaitForBitFlip(0, kTransferTries)) return false;
  WritePort(base, static_cast<uint8_t>(byte >> 4));
  if (!WaitForBitFlip(1, kTransferTries)) return false;
  return ((ReadPort(static_cast<uint16_t>(base + 1)) >> 3) & 0x0F) == 0;
}

// Receiver side of one byte: returns the byte, or -1 when a wait ran out.
inline int RawReceive(uint16_t base) {
  if (!WaitForBitFlip(0, kTransferTries)) return -1;
  const uint8_t low = (ReadPort(static_cast<uint16_t>(base + 1)) >> 3) & 0x0F;
  WritePort(base, kBusyLine);
  if (!WaitForBitFlip(1, kTransferTries)) return -1;
  const uint8_t high = (ReadPort(static_cast<uint16_t>(base + 1)) >> 3) & 0x0F;
  WritePort(base, 0);
  return low + 16 * high;
}

// Shared between the sender and the receiver of a raw run.
struct RawShared {
  volatile int senderDone;
  volatile int senderOk;
  volatile int receiverOk;
  volatile uint64_t sent;
  volatile uint64_t received;
  volatile double seconds;
  volatile uint64_t senderLongPauses;
  volatile uint64_t receiverLongPauses;
  volatile uint64_t receiverShortPauses;
};

inline uint8_t PatternByte(uint64_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); }

inline void RawSender(int end, const WaitPolicy& policy, uint64_t bytes, double cap,
                      RawShared* shared) {
  CountingPlatform* counting = OpenEnd(end, policy);
  bool ok = portaddr != 0;
  const double start = NowSeconds();
  uint64_t i = 0;
  for (; ok && i < bytes; ++i) {
    if ((i & 1023) == 0 && NowSeconds() - start > cap) break;
    ok = RawSend(kBase, PatternByte(i));
  }
  shared->seconds = NowSeconds() - start;
  shared->sent = ok ? i : i - 1;
  shared->senderOk = ok;
  shared->senderLongPauses = counting->longPauses;
  shared->senderDone = 1;
}

inline void RawReceiver(int end, const WaitPolicy& policy, uint64_t bytes, RawShared* shared) {
  CountingPlatform* counting = OpenEnd(end, policy);
  bool ok = portaddr != 0;
  uint64_t i = 0;
  // The pauses up to the last byte: a sender that stopped at the cap leaves
  // the next wait to run out, and those pauses are not the transfer's.
  uint64_t longPauses = 0, shortPauses = 0;
  for (; ok && i < bytes; ++i) {
    const int byte = RawReceive(kBase);
    if (byte < 0) {
      ok = shared->senderDone && shared->sent == i;
      break;
    }
    ok = byte == PatternByte(i);
    longPauses = counting->longPauses;
    shortPauses = counting->shortPauses;
  }
  shared->received = i;
  shared->receiverOk = ok;
  shared->receiverLongPauses = longPauses;
  shared->receiverShortPauses = shortPauses;
}

struct RawResult {
  bool ok = false;
  bool cut = false;  // the sender stopped at the cap
  uint64_t bytes = 0;
  double seconds = 0;
  int64_t serverPauses = 0;  // 100 ms pauses of the server's end
  int64_t clientSleeps = 0;  // sleeps of the client's end
};

// Moves `bytes` over a fresh cable in `cable` between two forked processes,
// the server's end on core 0 and the client's on core 1 at niceness
// `nice`. `up`: end 1 (the client's) sends. The client's end waits under
// `clientPolicy`, the server's under its own policy; the sender stops after
// `cap` seconds.
inline RawResult RunRawTransfer(const std::string& cable, bool up, uint64_t bytes,
                                const WaitPolicy& clientPolicy, double cap, int nice) {
  RawResult result;
  setenv("LPXFER_CABLE_DIR", cable.c_str(), 1);
  void* memory =
      mmap(nullptr, sizeof(RawShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return result;
  RawShared* shared = static_cast<RawShared*>(memory);
  memset(memory, 0, sizeof(RawShared));

  fflush(nullptr);
  pid_t pids[2];
  for (int end = 0; end < 2; ++end) {
    pids[end] = fork();
    if (pids[end] != 0) continue;
    PinAndNice(end, nice);
    alarm(static_cast<unsigned>(cap) + 120);
    const WaitPolicy& policy = end == 0 ? kServerWaitPolicy : clientPolicy;
    const bool sends = (end == 1) == up;
    if (sends) {
      RawSender(end, policy, bytes, cap, shared);
    } else {
      RawReceiver(end, policy, bytes, shared);
    }
    _exit(0);
  }
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);

  result.ok = shared->senderOk && shared->receiverOk && shared->received == shared->sent;
  result.bytes = shared->sent;
  result.cut = shared->sent < bytes;
  result.seconds = shared->seconds;
  result.serverPauses =
      static_cast<int64_t>(up ? shared->receiverLongPauses : shared->senderLongPauses);
  result.clientSleeps = static_cast<int64_t>(up ? 0 : shared->receiverShortPauses);
  if (!up) result.clientSleeps += static_cast<int64_t>(shared->receiverLongPauses);
  munmap(memory, sizeof(RawShared));
  RemoveTree(cable);
  return result;
}

}  // namespace lpx::bench
