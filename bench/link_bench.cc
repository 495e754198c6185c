// Link throughput between two processes over the simulated cable.
//
//   bench_link [seconds [trips]]   (defaults: 2 seconds per measurement,
//                                   10 reply round trips; 0 skips them)
//
// The parent is the server's end (end 0, server wait policy) and sends;
// a forked child is the client's end (end 1, client wait policy) and
// receives, as in a download. For each register access cost (the default
// 1 us, then 0 for information) it measures:
//
//   framed  UploadBlock -> DownloadBlock with 4096-byte payloads; frames/s
//           and payload bytes/s;
//   raw     the same two processes moving the same payload bytes with the
//           bare four-write nibble handshake, no framing. Frames and raw
//           blocks of 4096 bytes alternate for the given time, so that the
//           load of a shared machine falls on both alike; the fastest unit
//           of each kind is reported too;
//   ratio   framed payload bytes/s over raw bytes/s;
//   pauses  sleeps of each side (the platform is wrapped to count them):
//           the server's 100 ms pauses during frames and during raw
//           blocks, and the client's;
//   replies command round trips in which the server answers at once: the
//           client sends a command, the server receives it and replies with
//           no delay, and the client must catch the brief moment in which
//           the server's busy line is low between the two frames; once with
//           the plain wait, once with frameStartAnswersLastByte set in the client.
//           (A missed reply can make the server log "... Synchronizing --":
//           the client's receive times out, and the server takes the start
//           of its abort signal for a byte.)
//
// The benchmark reports; it does not pass or fail. Each measurement uses a
// fresh cable file in a temporary directory of its own.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_util.h"
#include "bench/raw_handshake.h"
#include "link/command.h"
#include "link/frame.h"
#include "link/port.h"

namespace lpx::bench {
namespace {

constexpr uint32_t kTurnToServerUs = 150000;
int replyTrips = 10;
// The client's setting of frameStartAnswersLastByte in the reply trips.
bool clientTakesReplyAsAnswer = false;

// What the child tells the parent through a pipe.
struct ChildReport {
  int ok = 0;
  uint64_t count = 0;  // frames, bytes or replies received
  uint64_t longPauses = 0;
  uint64_t shortPauses = 0;
};

CountingPlatform* OpenEnd(int end) {
  return bench::OpenEnd(end, end == 0 ? kServerWaitPolicy : kClientWaitPolicy);
}

void FillPayload(uint8_t* payload) {
  uint32_t seed = 12345;
  for (size_t i = 0; i < kMaxPayload; ++i) {
    seed = seed * 1664525 + 1013904223;
    payload[i] = static_cast<uint8_t>(seed >> 24);
  }
}

// --- The two sides of each measurement -------------------------------------

enum class Mode { kThroughput, kReplies };

// The client receives alternately one frame and kMaxPayload raw bytes, until
// the server's abort frame comes in place of a frame.
void ReceiveUnits(ChildReport& report, const uint8_t* expected) {
  for (int32_t block = 1;; ++block) {
    SetFrameBlock(indbuf, block);
    const LinkResult r = DownloadBlock(indbuf);
    if (r == LinkResult::kRefused) return;
    if (r != LinkResult::kOk || FrameLength(indbuf) != static_cast<int32_t>(kMaxPayload) ||
        memcmp(FramePayload(indbuf), expected, kMaxPayload) != 0) {
      report.ok = 0;
      return;
    }
    for (size_t i = 0; i < kMaxPayload; ++i) {
      if (RawReceive(kBase) != expected[i]) {
        report.ok = 0;
        return;
      }
    }
    ++report.count;
  }
}

ChildReport RunClient(Mode mode) {
  ChildReport report;
  CountingPlatform* counting = OpenEnd(1);
  if (portaddr == 0) return report;
  linkPolicy.frameStartAnswersLastByte = clientTakesReplyAsAnswer;
  static uint8_t expected[kMaxPayload];
  FillPayload(expected);
  report.ok = 1;
  if (mode == Mode::kThroughput) {
    ReceiveUnits(report, expected);
  } else {
    char line[kCommandBufferSize];
    for (int i = 0; i < replyTrips; ++i) {
      platform->SleepUs(kTurnToServerUs);
      if (RemoteSendCommand("LIST \\") != 1) continue;
      if (ReceiveCommandString(line) == 1 && strcmp(line, "SIZE 0") == 0) ++report.count;
    }
  }
  // The turn-taking sleeps of the reply trips are the client's own.
  report.longPauses = counting->longPauses - (mode == Mode::kReplies ? replyTrips : 0);
  report.shortPauses = counting->shortPauses;
  return report;
}

// Time and pauses of one kind of unit.
struct Units {
  uint64_t count = 0;
  double seconds = 0;
  double best = 1e9;  // the fastest unit
  uint64_t longPauses = 0;
  void Add(double t, uint64_t pauses) {
    ++count;
    seconds += t;
    if (t < best) best = t;
    longPauses += pauses;
  }
};

struct Result {
  bool ok = false;
  double seconds = 0;
  Units framed, raw;
  uint64_t replies = 0;
  ChildReport child;
};

// The server sends alternately one frame and the same payload as raw bytes.
void SendUnits(Result& result, CountingPlatform* counting, double budget) {
  static uint8_t payload[kMaxPayload];
  FillPayload(payload);
  memcpy(FramePayload(databuf), payload, kMaxPayload);
  const double start = NowSeconds();
  while (NowSeconds() - start < budget) {
    SetFrameLength(databuf, static_cast<int32_t>(kMaxPayload));
    SetFrameBlock(databuf, static_cast<int32_t>(result.framed.count + 1));
    uint64_t pauses = counting->longPauses;
    double t = NowSeconds();
    if (UploadBlock(databuf) != LinkResult::kOk) {
      result.ok = false;
      return;
    }
    result.framed.Add(NowSeconds() - t, counting->longPauses - pauses);
    pauses = counting->longPauses;
    t = NowSeconds();
    for (size_t i = 0; i < kMaxPayload; ++i) {
      if (!RawSend(kBase, payload[i])) {
        result.ok = false;
        return;
      }
    }
    result.raw.Add(NowSeconds() - t, counting->longPauses - pauses);
  }
  result.seconds = NowSeconds() - start;
  SetFrameLength(databuf, 0);
  SetFrameBlock(databuf, kAbortBlock);
  UploadBlock(databuf);
}

void AnswerReplies(Result& result) {
  const double start = NowSeconds();
  char line[kCommandBufferSize];
  for (int i = 0; i < replyTrips; ++i) {
    bool raised = false;
    for (int ms = 0; ms < 5000 && !raised; ++ms) {
      raised = (ReadPort(kBase + 1) & kStatusBusyBit) == 0;
      if (!raised) platform->SleepUs(1000);
    }
    if (!raised) break;
    if (ReceiveCommandString(line) == 1 && RemoteSendCommand("SIZE 0") == 1) ++result.replies;
  }
  result.seconds = NowSeconds() - start;
}

// The server's side of `mode`, with the child started first.
Result Run(Mode mode, double budget) {
  Result result;
  char dir[] = "/tmp/lpx-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return result;
  setenv("LPXFER_CABLE_DIR", dir, 1);
  CountingPlatform* counting = OpenEnd(0);
  int fds[2];
  if (portaddr == 0 || pipe(fds) != 0) return result;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(120);
    close(fds[0]);
    ChildReport report = RunClient(mode);
    ssize_t n = write(fds[1], &report, sizeof report);
    _exit(n == static_cast<ssize_t>(sizeof report) ? 0 : 1);
  }
  close(fds[1]);

  result.ok = true;
  if (mode == Mode::kThroughput) {
    SendUnits(result, counting, budget);
  } else {
    AnswerReplies(result);
  }

  ssize_t got = read(fds[0], &result.child, sizeof result.child);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got != static_cast<ssize_t>(sizeof result.child) || !result.child.ok) result.ok = false;
  platform = nullptr;
  delete counting;
  std::string cable = std::string(dir) + "/lpt2";
  unlink(cable.c_str());
  rmdir(dir);
  return result;
}

void Measure(const char* ns, double budget) {
  setenv("LPXFER_CABLE_NS", ns, 1);
  printf("access cost %s ns\n", ns);
  Result r = Run(Mode::kThroughput, budget);
  const double payload = static_cast<double>(kMaxPayload);
  const double framedRate = static_cast<double>(r.framed.count) / r.framed.seconds;
  const double rawRate = static_cast<double>(r.raw.count) * payload / r.raw.seconds;
  printf("  %s: %llu frames and %llu raw blocks of %zu bytes, interleaved, in %.2f s\n",
         r.ok ? "ok" : "FAILED", static_cast<unsigned long long>(r.framed.count),
         static_cast<unsigned long long>(r.raw.count), kMaxPayload, r.seconds);
  printf("  framed   %.1f frames/s, %.0f payload bytes/s (best frame %.0f bytes/s)\n", framedRate,
         framedRate * payload, payload / r.framed.best);
  printf("  raw      %.0f bytes/s (best block %.0f bytes/s)\n", rawRate, payload / r.raw.best);
  printf("  ratio    framed/raw = %.3f overall, %.3f best against best\n",
         framedRate * payload / rawRate, r.raw.best / r.framed.best);
  printf(
      "  pauses   server 100 ms: %llu in frames, %llu in raw; client: %llu of 100 ms, %llu short\n",
      static_cast<unsigned long long>(r.framed.longPauses),
      static_cast<unsigned long long>(r.raw.longPauses),
      static_cast<unsigned long long>(r.child.longPauses),
      static_cast<unsigned long long>(r.child.shortPauses));

  for (bool tolerant : {false, true}) {
    if (replyTrips == 0) break;
    clientTakesReplyAsAnswer = tolerant;
    Result replies = Run(Mode::kReplies, budget);
    printf("\n  replies  %llu of %d immediate replies caught by the client, %s (%.1f s)\n",
           static_cast<unsigned long long>(replies.child.count), replyTrips,
           tolerant ? "reply answers last byte" : "plain wait", replies.seconds);
  }
}

}  // namespace
}  // namespace lpx::bench

int main(int argc, char** argv) {
  double budget = argc > 1 ? atof(argv[1]) : 2.0;
  if (budget <= 0) budget = 2.0;
  if (argc > 2 && atoi(argv[2]) >= 0) lpx::bench::replyTrips = atoi(argv[2]);
  lpx::bench::Measure("1000", budget);
  lpx::bench::Measure("0", budget);
  return 0;
}
