// Directory listings: the time of the server's two passes beside `ls -lU`
// on the same directory, and the server's peak resident memory.
//
//   bench_listing [--sizes 1000,10000,100000] [--rounds N] [--nice N]
//                 [--memory-sizes 10,100000] [--cable-ns NS]
//
// Passes. Directories of empty files are made in a temporary directory
// under /tmp. ServerListDirectory runs in this process against an
// in-process far end that takes every frame at once (ReactiveReceiver), so
// what is timed is the server's own work: two reads of the directory, two
// status queries and two records per entry, and the frames on a link that
// costs next to nothing. The link's share is then timed alone (the same
// frames through UploadBlock) and taken off, which leaves the passes. `ls
// -lU` (unsorted, long format, LC_ALL=C, output to /dev/null) is timed as a
// whole process, start-up included. Each is run once to warm the caches,
// then --rounds times in turn; the medians are reported.
//
// Memory. bin/a/lpxferd-sim serves on a cable of its own
// (LPXFER_CABLE_NS=--cable-ns, default 0); a far end in a child process
// that never sleeps sends "LIST" for a directory of each of --memory-sizes
// entries and takes the whole listing. VmHWM of the server is read from
// /proc before and after. Variant B (statically linked) is measured beside
// it at the smallest size.
//
// The benchmark reports; it does not pass or fail.
#include <sys/mman.h>

#include <algorithm>
#include <cinttypes>

#include "bench/bench_util.h"
#include "link/command.h"
#include "link/frame.h"
#include "log/console.h"
#include "platform/clock.h"
#include "platform/sim_cable.h"
#include "service/handlers.h"

namespace lpx::bench {
namespace {

struct Settings {
  std::vector<uint64_t> sizes = {1000, 10000, 100000};
  std::vector<uint64_t> memorySizes = {10, 100000};
  int rounds = 5;
  int nice = 0;
  std::string cableNs = "0";
  std::string build;
};
Settings settings;
std::string workDir;

std::vector<uint64_t> ParseSizes(const char* text) {
  std::vector<uint64_t> sizes;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    const unsigned long long n = strtoull(p, &end, 10);
    if (end == p) break;
    sizes.push_back(n);
    p = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

// A directory of `n` empty files named 000000, 000001, ...
std::string MakeDirectory(uint64_t n) {
  const std::string dir = workDir + "/d" + std::to_string(n);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return std::string();
  char name[32];
  for (uint64_t i = 0; i < n; ++i) {
    snprintf(name, sizeof name, "/%06" PRIu64, i);
    const int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return std::string();
    close(fd);
  }
  return dir;
}

// The client's form of a local path: backslashes.
std::string ClientPath(const std::string& local) {
  std::string path = local;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// --- Passes, in process ------------------------------------------------------

ReactiveReceiver receiver;

void OpenInProcessLink() {
  ResetLinkPortState();
  ResetLinkCommandState();
  platform = &receiver;
  portaddr = kBase;
  portaddr1 = kBase + 1;
  linkPolicy.wait = kServerWaitPolicy;
  time_a = platform->Now();
  ConsoleCaptureStart();  // the "~" progress marks
}

struct ListingRun {
  bool ok = false;
  double seconds = 0;
  uint64_t frames = 0;
  uint64_t payloadBytes = 0;
};

ListingRun ListInProcess(const std::string& clientPath) {
  ListingRun run;
  receiver.ResetCounts();
  const double start = NowSeconds();
  run.ok = ServerListDirectory(clientPath.c_str()) != 0 && receiver.sleeps == 0;
  run.seconds = NowSeconds() - start;
  run.frames = receiver.dataFrames;
  run.payloadBytes = receiver.dataBytes;
  ConsoleCaptureTake();
  return run;
}

// The same frames (count and payload bytes) through UploadBlock alone.
double LinkShare(const ListingRun& run) {
  if (run.frames == 0) return 0;
  const uint64_t per = run.payloadBytes / run.frames;
  memset(FramePayload(databuf), 'x', kMaxPayload);
  const double start = NowSeconds();
  for (uint64_t i = 0; i < run.frames; ++i) {
    const uint64_t length = i + 1 == run.frames ? run.payloadBytes - per * i : per;
    SetFrameLength(databuf, static_cast<int32_t>(std::min<uint64_t>(length, kMaxPayload)));
    SetFrameBlock(databuf, static_cast<int32_t>(i + 1));
    UploadBlock(databuf);
  }
  return NowSeconds() - start;
}

double TimeLs(const std::string& dir) {
  SpawnOptions options;  // output to /dev/null
  const double start = NowSeconds();
  const pid_t pid = Spawn({"/bin/ls", "-lU", dir}, options);
  if (pid < 0 || WaitFor(pid, 120) < 0) return -1;
  return NowSeconds() - start;
}

void MeasurePasses() {
  printf("\nListing passes (in process, far end takes every frame at once; medians of %d)\n",
         settings.rounds);
  printf("  %8s %10s %8s %10s %10s %10s %10s %9s\n", "entries", "bytes", "frames", "ls -lU s",
         "server s", "link s", "passes s", "passes/ls");
  OpenInProcessLink();
  for (uint64_t n : settings.sizes) {
    const std::string dir = MakeDirectory(n);
    if (dir.empty()) {
      printf("  %8" PRIu64 " cannot create the directory\n", n);
      continue;
    }
    const std::string clientPath = ClientPath(dir);
    TimeLs(dir);
    ListingRun run = ListInProcess(clientPath);
    std::vector<double> ls, server, link;
    bool ok = run.ok;
    for (int r = 0; r < settings.rounds; ++r) {
      ls.push_back(TimeLs(dir));
      run = ListInProcess(clientPath);
      ok = ok && run.ok;
      server.push_back(run.seconds);
      link.push_back(LinkShare(run));
    }
    const double lsSeconds = Median(ls);
    const double serverSeconds = Median(server);
    const double linkSeconds = Median(link);
    const double passes = serverSeconds - linkSeconds;
    printf("  %8" PRIu64 " %10" PRIu64 " %8" PRIu64 " %10.4f %10.4f %10.4f %10.4f %9.2f%s\n", n,
           run.payloadBytes, run.frames, lsSeconds, serverSeconds, linkSeconds, passes,
           lsSeconds > 0 ? passes / lsSeconds : 0.0, ok ? "" : "  FAILED");
    fflush(stdout);
  }
  ConsoleCaptureStop();
  platform = nullptr;
}

// --- Memory of the server process ------------------------------------------

struct ListShared {
  volatile int ok;
  volatile uint64_t announced;
  volatile uint64_t received;
  volatile double seconds;
};

// The far end: sends "LIST <path>", passes over keep-alives, takes "SIZE n"
// and then every data frame. Never sleeps.
void ListOverCable(const std::string& clientPath, ListShared* shared) {
  OpenEnd(1, kSpinWaitPolicy);
  if (portaddr == 0) return;
  const double start = NowSeconds();
  const std::string command = "LIST " + clientPath;
  if (RemoteSendCommand(command.c_str()) != 1) return;
  char line[kCommandBufferSize];
  do {
    if (ReceiveCommandString(line) != 1) return;
  } while (strcmp(line, "WAIT") == 0);
  unsigned long long size = 0;
  if (sscanf(line, "SIZE %llu", &size) != 1) return;
  shared->announced = size;
  uint64_t received = 0;
  for (int32_t block = 1; received < size; ++block) {
    SetFrameBlock(indbuf, block);
    if (DownloadBlock(indbuf) != LinkResult::kOk) return;
    received += static_cast<uint64_t>(FrameLength(indbuf));
    shared->received = received;
  }
  shared->seconds = NowSeconds() - start;
  shared->ok = received == size;
}

struct MemoryRun {
  int64_t idleKb = -1;
  int64_t peakKb = -1;
  bool ok = false;
  uint64_t bytes = 0;
  double seconds = 0;
};

MemoryRun MeasureServer(const char* variant, const std::string& dir) {
  MemoryRun result;
  static int runs = 0;
  const std::string run = workDir + "/mem-" + std::to_string(++runs);
  mkdir(run.c_str(), 0755);
  setenv("LPXFER_CABLE_DIR", (run + "/cable").c_str(), 1);
  setenv("LPXFER_CABLE_NS", settings.cableNs.c_str(), 1);
  SpawnOptions options;
  options.cpu = 0;
  options.nice = settings.nice;
  options.out = run + "/server.log";
  const pid_t server = Spawn({settings.build + "/bin/" + variant + "/lpxferd-sim", "2"}, options);
  if (server < 0 || !WaitForText(options.out, "Accepting", 10)) {
    StopProcess(server, SIGINT, 3);
    return result;
  }
  result.idleKb = ProcStatusKb(server, "VmHWM");

  void* memory =
      mmap(nullptr, sizeof(ListShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory != MAP_FAILED) {
    ListShared* shared = static_cast<ListShared*>(memory);
    memset(memory, 0, sizeof(ListShared));
    fflush(nullptr);
    const pid_t client = fork();
    if (client == 0) {
      PinAndNice(1, settings.nice);
      alarm(600);
      ListOverCable(ClientPath(dir), shared);
      _exit(0);
    }
    waitpid(client, nullptr, 0);
    result.ok = shared->ok;
    result.bytes = shared->received;
    result.seconds = shared->seconds;
    munmap(memory, sizeof(ListShared));
  }
  result.peakKb = ProcStatusKb(server, "VmHWM");
  StopProcess(server, SIGINT, 5);
  RemoveTree(run);
  return result;
}

void MeasureMemory() {
  printf("\nServer peak resident memory (VmHWM) over a LIST on the cable (LPXFER_CABLE_NS=%s)\n",
         settings.cableNs.c_str());
  printf("  %-8s %8s %10s %8s %12s %12s\n", "variant", "entries", "bytes", "s", "idle kB",
         "peak kB");
  for (const char* variant : {"a", "b"}) {
    for (uint64_t n : settings.memorySizes) {
      // Variant B only at the smallest size: its listing code is A's.
      if (strcmp(variant, "b") == 0 && n != settings.memorySizes.front()) continue;
      const std::string dir = MakeDirectory(n);
      if (dir.empty()) continue;
      const MemoryRun run = MeasureServer(variant, dir);
      printf("  %-8s %8" PRIu64 " %10" PRIu64 " %8.2f %12" PRId64 " %12" PRId64 "%s\n", variant, n,
             run.bytes, run.seconds, run.idleKb, run.peakKb, run.ok ? "" : "  FAILED");
      fflush(stdout);
    }
  }
}

int Main(int argc, char** argv) {
  const std::vector<Option> options = {
      {"sizes", true, [](const char* v) { settings.sizes = ParseSizes(v); }},
      {"memory-sizes", true, [](const char* v) { settings.memorySizes = ParseSizes(v); }},
      {"rounds", true, [](const char* v) { settings.rounds = std::max(1, atoi(v)); }},
      {"nice", true, [](const char* v) { settings.nice = atoi(v); }},
      {"cable-ns", true, [](const char* v) { settings.cableNs = v; }},
  };
  if (!ParseOptions(argc, argv, options,
                    "bench_listing [--sizes N,N] [--memory-sizes N,N] [--rounds N] [--nice N] "
                    "[--cable-ns NS]")) {
    return 2;
  }
  settings.build = BuildDirOfSelf();
  setenv("LC_ALL", "C", 1);
  workDir = MakeTempDir("lpx-bench-list-");
  if (workDir.empty()) return 1;
  // This process and the ls it starts share core 1 and the niceness.
  PinAndNice(1, settings.nice);
  MeasurePasses();
  MeasureMemory();
  RemoveTree(workDir);
  return 0;
}

}  // namespace
}  // namespace lpx::bench

int main(int argc, char** argv) { return lpx::bench::Main(argc, argv); }
