// Instructions per payload byte: what the server's code spends on each byte
// of a binary (or text) GET, beside the bare nibble handshake, against an
// in-process far end that takes every byte at once. Made to run under
// callgrind, which counts instructions the same way on every run:
//
//   valgrind --tool=callgrind --toggle-collect='*MeasuredGet*' bench_cost get
//   valgrind --tool=callgrind --toggle-collect='*MeasuredRaw*' bench_cost raw
//
// (scripts/bench.sh does this and divides.) Modes: get (binary file, random
// bytes), aget (text file, ASCII lines), raw (the bare handshake moving the
// same number of bytes). The far end's own instructions sit in
// ReactiveReceiver::In and ::Out and can be taken off with
// callgrind_annotate --inclusive=yes. The program prints the payload bytes
// and the register accesses per byte.
#include <cinttypes>

#include "bench/bench_util.h"
#include "bench/raw_handshake.h"
#include "link/command.h"
#include "log/console.h"
#include "platform/clock.h"
#include "service/handlers.h"

namespace lpx::bench {
namespace {

ReactiveReceiver receiver;

__attribute__((noinline)) int MeasuredGet(const char* clientPath, int text) {
  return ServerUploadFile(clientPath, 0, text);
}

__attribute__((noinline)) bool MeasuredRaw(uint64_t bytes) {
  for (uint64_t i = 0; i < bytes; ++i) {
    if (!RawSend(kBase, static_cast<uint8_t>(i * 2654435761u >> 13))) return false;
  }
  return true;
}

int Main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "get";
  const uint64_t bytes = argc > 2 ? strtoull(argv[2], nullptr, 10) : (1u << 20);
  ResetLinkPortState();
  ResetLinkCommandState();
  platform = &receiver;
  portaddr = kBase;
  portaddr1 = kBase + 1;
  time_a = platform->Now();

  bool ok;
  uint64_t payload;
  std::string work;
  if (mode == "raw") {
    ok = MeasuredRaw(bytes);
    payload = receiver.wireBytes;
  } else if (mode == "get" || mode == "aget") {
    const bool text = mode == "aget";
    work = MakeTempDir("lpx-bench-cost-");
    const std::string file = work + "/data";
    FILE* f = fopen(file.c_str(), "wb");
    if (f == nullptr) return 1;
    uint32_t seed = 99;
    for (uint64_t i = 0; i < bytes; ++i) {
      seed = seed * 1664525 + 1013904223;
      int c = static_cast<int>(seed >> 24);
      if (text) c = (seed >> 16) % 50 == 0 ? '\n' : 32 + static_cast<int>((seed >> 24) % 95);
      fputc(c, f);
    }
    fclose(f);
    std::string clientPath = file;
    for (char& ch : clientPath) ch = ch == '/' ? '\\' : ch;
    ConsoleCaptureStart();  // the "~" progress marks
    ok = MeasuredGet(clientPath.c_str(), text ? 1 : 0) != 0;
    ConsoleCaptureStop();
    payload = receiver.dataBytes;
  } else {
    fprintf(stderr, "usage: bench_cost get|aget|raw [bytes]\n");
    return 2;
  }
  if (!work.empty()) RemoveTree(work);
  const double accesses = static_cast<double>(receiver.reads + receiver.writes);
  printf("mode %s: %s, payload bytes %" PRIu64 ", wire bytes %" PRIu64
         ", register accesses per payload byte %.3f, sleeps %" PRIu64 "\n",
         mode.c_str(), ok ? "ok" : "FAILED", payload, receiver.wireBytes,
         payload > 0 ? accesses / static_cast<double>(payload) : 0.0, receiver.sleeps);
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace lpx::bench

int main(int argc, char** argv) { return lpx::bench::Main(argc, argv); }
