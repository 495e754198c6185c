// The server's processor use while it waits for a command.
//
//   bench_idle [--seconds S] [--variant a|b|c]
//
// Starts bin/<variant>/lpxferd-sim on a cable of its own with nobody at the
// far end, lets it settle for a second, and reads its processor time from
// /proc/<pid>/stat (user + system clock ticks) and /proc/<pid>/schedstat
// (nanoseconds on a processor, and how often it was put on one) before and
// after S seconds (default 10). The server's idle wait reads the status
// register once every 50 ms.
//
// The benchmark reports; it does not pass or fail.
#include <getopt.h>

#include <cinttypes>

#include "bench/bench_util.h"

namespace lpx::bench {
namespace {

int Main(int argc, char** argv) {
  double seconds = 10;
  std::string variant = "a";
  static const option kOptions[] = {{"seconds", required_argument, nullptr, 's'},
                                    {"variant", required_argument, nullptr, 'v'},
                                    {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    if (c == 's') {
      seconds = atof(optarg);
    } else if (c == 'v') {
      variant = optarg;
    } else {
      fprintf(stderr, "usage: bench_idle [--seconds S] [--variant a|b|c]\n");
      return 2;
    }
  }
  const std::string work = MakeTempDir("lpx-bench-idle-");
  if (work.empty()) return 1;
  setenv("LPXFER_CABLE_DIR", (work + "/cable").c_str(), 1);
  SpawnOptions options;
  options.out = work + "/server.log";
  const pid_t server = Spawn({BuildDirOfSelf() + "/bin/" + variant + "/lpxferd-sim", "2"}, options);
  if (server < 0 || !WaitForText(options.out, "Accepting", 10)) {
    printf("the server did not start\n");
    StopProcess(server, SIGINT, 3);
    RemoveTree(work);
    return 1;
  }
  usleep(1000000);
  const CpuTime before = ReadCpuTime(server);
  const double start = NowSeconds();
  usleep(static_cast<useconds_t>(seconds * 1e6));
  const CpuTime after = ReadCpuTime(server);
  const double elapsed = NowSeconds() - start;
  StopProcess(server, SIGINT, 5);
  RemoveTree(work);

  const long hz = sysconf(_SC_CLK_TCK);
  const double ns = static_cast<double>(after.ns - before.ns);
  printf("\nIdle server (variant %s, waiting for a command)\n", variant.c_str());
  printf("  %8s %14s %14s %10s %12s\n", "s", "cpu ticks", "cpu ms", "cpu %", "wake-ups/s");
  printf("  %8.2f %8" PRId64 " of %3ld %14.3f %10.4f %12.1f\n", elapsed, after.ticks - before.ticks,
         hz, ns / 1e6, ns / (elapsed * 1e9) * 100.0,
         static_cast<double>(after.slices - before.slices) / elapsed);
  return 0;
}

}  // namespace
}  // namespace lpx::bench

int main(int argc, char** argv) { return lpx::bench::Main(argc, argv); }
