// Many files in one connection against one file per run, and `connect`
// against an idle server: the simulated server and lpxfer over the
// simulated cable at the default access cost of 1 us.
//
//   bench_many [--before DIR] [--files N] [--small BYTES] [--large BYTES]
//              [--connects N] [--gap S] [--rounds N] [--nice N] [--cap S]
//              [--keep]
//
//   small    --files files (default 100) of --small bytes (default 200)
//            stored in one `put LOCAL... DIR/` and fetched back in one
//            `get 'DIR/*' LOCAL-DIR`;
//   large    the same with --large bytes (default 40 KiB) a file, beside
//            the bare handshake moving all their bytes in one stream each
//            way (the client's end spinning, as bench_transfer's baseline);
//   connect  `lpxfer connect` against a server that has been idle for
//            --gap seconds (default 2.5), --connects times (default 10).
//
// "Before" is the build in --before DIR (its bin/lpxfer-sim and
// bin/a/lpxferd-sim) with one run of the client per file, as a user of a
// one-file client does it; "after" is this build, one run for all files.
// Before and after take turns case by case, so that a change of the
// machine's load falls on both. Without --before only "after" runs.
//
// Every case gets a fresh cable and a fresh server on core 0; the clients
// run on core 1, both at niceness --nice (scripts/bench.sh passes -10 as
// root). Times are wall-clock, from the start of the first client process
// to the end of the last: process start, CONNECT, listings and the code
// holds included, as a user waits for them. Each copy is compared with its
// source afterwards. The benchmark reports; it does not pass or fail.
#include <algorithm>
#include <cinttypes>

#include "bench/bench_util.h"
#include "bench/raw_handshake.h"

namespace lpx::bench {
namespace {

struct Settings {
  std::string before;  // build directory of the "before" programs; empty: none
  int files = 100;
  uint64_t small = 200;
  uint64_t large = 40 * 1024;
  int connects = 10;
  double gap = 2.5;
  int rounds = 1;
  int nice = 0;
  double cap = 600;  // per client process
  bool keep = false;
};
Settings settings;
std::string after;  // this build
std::string workDir;

struct Programs {
  std::string client, server;
};
Programs ProgramsOf(const std::string& build) {
  return {build + "/bin/lpxfer-sim", build + "/bin/a/lpxferd-sim"};
}

// One case's runs added up.
struct Total {
  std::string label;
  int runs = 0;  // client processes
  int files = 0;
  int failed = 0;  // files missing or different, or a client status not 0
  uint64_t bytes = 0;
  double seconds = 0;
  std::string note;
  double Rate() const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
};

// A server of `programs` on a fresh cable in `run`; its pid, or -1.
pid_t StartServer(const Programs& programs, const std::string& run) {
  setenv("LPXFER_CABLE_DIR", (run + "/cable").c_str(), 1);
  mkdir((run + "/cable").c_str(), 0700);
  SpawnOptions options;
  options.cpu = 0;
  options.nice = settings.nice;
  options.out = run + "/server.log";
  const pid_t pid = Spawn({programs.server, "2"}, options);
  if (pid > 0 && WaitForText(options.out, "Accepting", 10)) return pid;
  StopProcess(pid, SIGINT, 3);
  return -1;
}

// Runs the client to its end; its wall time is added to *seconds. False
// when it failed or ran past the cap.
bool RunClient(const Programs& programs, const std::string& run, std::vector<std::string> args,
               double* seconds) {
  args.insert(args.begin(), programs.client);
  SpawnOptions options;
  options.cpu = 1;
  options.nice = settings.nice;
  options.out = run + "/client.log";
  options.cwd = run;
  const double start = NowSeconds();
  const pid_t pid = Spawn(args, options);
  int status = -1;
  const double until = start + settings.cap;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (NowSeconds() > until) {
      StopProcess(pid, SIGKILL, 5);
      return false;
    }
    usleep(200);
  }
  *seconds += NowSeconds() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string FileName(int i) {
  char name[16];
  snprintf(name, sizeof name, "f%03d", i);
  return name;
}

void WriteFiles(const std::string& dir, int files, uint64_t bytes) {
  mkdir(dir.c_str(), 0755);
  for (int i = 0; i < files; ++i) {
    FILE* f = fopen((dir + "/" + FileName(i)).c_str(), "wb");
    uint32_t seed = 12345u + static_cast<uint32_t>(i);
    for (uint64_t b = 0; b < bytes; ++b) {
      seed = seed * 1664525 + 1013904223;
      fputc(static_cast<int>(seed >> 24), f);
    }
    fclose(f);
  }
}

// Stores (put) or fetches the files of one case with `programs`, in one
// run or one run per file.
void RunFiles(Total* total, const Programs& programs, bool put, bool oneRun, uint64_t bytes) {
  static int runs = 0;
  const std::string run = workDir + "/run-" + std::to_string(++runs);
  mkdir(run.c_str(), 0755);
  const std::string source = run + (put ? "/local" : "/remote");
  const std::string target = run + (put ? "/remote" : "/back");
  WriteFiles(source, settings.files, bytes);
  mkdir(target.c_str(), 0755);
  const pid_t server = StartServer(programs, run);
  if (server < 0) {
    total->note = "server did not start";
    return;
  }
  bool ok = true;
  double seconds = 0;
  if (oneRun && put) {
    std::vector<std::string> args = {"put"};
    for (int i = 0; i < settings.files; ++i) args.push_back(source + "/" + FileName(i));
    args.push_back(target + "/");
    ok = RunClient(programs, run, args, &seconds);
  } else if (oneRun) {
    ok = RunClient(programs, run, {"get", source + "/*", target}, &seconds);
  }
  for (int i = 0; !oneRun && i < settings.files; ++i) {
    const std::string from = source + "/" + FileName(i);
    ok = RunClient(programs, run, {put ? "put" : "get", from, target + "/"}, &seconds) && ok;
  }
  StopProcess(server, SIGINT, 5);
  ++total->runs;
  total->runs += oneRun ? 0 : settings.files - 1;
  total->seconds += seconds;
  for (int i = 0; i < settings.files; ++i) {
    const bool same = SameFiles(source + "/" + FileName(i), target + "/" + FileName(i));
    ++total->files;
    if (same) total->bytes += bytes;
    if (!same) ++total->failed;
  }
  if (!ok && total->note.empty()) total->note = "a client failed (log in " + run + ")";
  if (!settings.keep && ok) RemoveTree(run);
}

void PrintHeader() {
  printf("  %-30s %5s %6s %9s %8s %9s %9s %7s %7s\n", "case", "runs", "files", "bytes", "s",
         "ms/file", "KB/s", "vs raw", "failed");
}

void PrintTotal(const Total& t, double rawRate) {
  char ratio[16] = "";
  if (rawRate > 0 && t.Rate() > 0) snprintf(ratio, sizeof ratio, "%.3f", t.Rate() / rawRate);
  char perFile[16] = "-";
  if (t.files > 0) snprintf(perFile, sizeof perFile, "%.1f", t.seconds * 1000.0 / t.files);
  const std::string files = t.files > 0 ? std::to_string(t.files) : "-";
  printf("  %-30s %5d %6s %9" PRIu64 " %8.2f %9s %9.1f %7s %7d%s%s\n", t.label.c_str(), t.runs,
         files.c_str(), t.bytes, t.seconds, perFile, t.Rate() / 1024.0, ratio, t.failed,
         t.note.empty() ? "" : "  ", t.note.c_str());
  fflush(stdout);
}

// Small or large files: put and get, before and after, taking turns; for
// large files also the bare handshake each way.
void RunSize(uint64_t bytes, bool withRaw) {
  char title[64];
  snprintf(title, sizeof title, "%d x %" PRIu64 " B", settings.files, bytes);
  struct Case {
    const char* what;
    bool put;
    bool isAfter;
  };
  std::vector<Case> cases;
  for (bool put : {true, false}) {
    if (!settings.before.empty()) cases.push_back({put ? "put" : "get", put, false});
    cases.push_back({put ? "put" : "get", put, true});
  }
  std::vector<Total> totals(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    totals[i].label =
        std::string(cases[i].what) + " " + title + (cases[i].isAfter ? ", after" : ", before");
  }
  Total raw[2];  // up (as put), down (as get)
  raw[0].label = std::string("raw up ") + title;
  raw[1].label = std::string("raw down ") + title;
  for (int round = 0; round < settings.rounds; ++round) {
    for (int up = 1; withRaw && up >= 0; --up) {
      static int cables = 0;
      const RawResult r = RunRawTransfer(workDir + "/cable-raw-" + std::to_string(++cables), up,
                                         bytes * static_cast<uint64_t>(settings.files),
                                         kSpinWaitPolicy, settings.cap, settings.nice);
      Total& t = raw[up ? 0 : 1];
      ++t.runs;
      if (r.ok && !r.cut) {
        t.bytes += r.bytes;
        t.seconds += r.seconds;
      } else {
        ++t.failed;
      }
    }
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      RunFiles(&totals[i], ProgramsOf(c.isAfter ? after : settings.before), c.put, c.isAfter,
               bytes);
    }
  }
  printf("\n%s files (%d round%s)\n", title, settings.rounds, settings.rounds == 1 ? "" : "s");
  PrintHeader();
  for (int up = 1; withRaw && up >= 0; --up) PrintTotal(raw[up ? 0 : 1], 0);
  for (size_t i = 0; i < cases.size(); ++i) {
    PrintTotal(totals[i], withRaw ? raw[cases[i].put ? 0 : 1].Rate() : 0);
  }
}

// `lpxfer connect` against an idle server of each build in turn.
void RunConnects() {
  std::vector<std::pair<std::string, std::string>> builds;  // label, build
  if (!settings.before.empty()) builds.push_back({"before", settings.before});
  builds.push_back({"after", after});
  std::vector<pid_t> servers;
  std::vector<std::string> runs;
  for (size_t b = 0; b < builds.size(); ++b) {
    runs.push_back(workDir + "/connect-" + builds[b].first);
    mkdir(runs.back().c_str(), 0755);
    servers.push_back(StartServer(ProgramsOf(builds[b].second), runs.back()));
  }
  std::vector<std::vector<double>> times(builds.size());
  std::vector<int> failed(builds.size(), 0);
  for (int i = 0; i < settings.connects * settings.rounds; ++i) {
    for (size_t b = 0; b < builds.size(); ++b) {
      usleep(static_cast<useconds_t>(settings.gap * 1e6));
      setenv("LPXFER_CABLE_DIR", (runs[b] + "/cable").c_str(), 1);
      double seconds = 0;
      if (servers[b] > 0 &&
          RunClient(ProgramsOf(builds[b].second), runs[b], {"connect"}, &seconds)) {
        times[b].push_back(seconds * 1000.0);
      } else {
        ++failed[b];
      }
    }
  }
  printf("\nconnect against a server idle for %.1f s (%d each)\n", settings.gap,
         settings.connects * settings.rounds);
  printf("  %-30s %9s %9s %9s %7s\n", "case", "median ms", "min ms", "max ms", "failed");
  for (size_t b = 0; b < builds.size(); ++b) {
    StopProcess(servers[b], SIGINT, 5);
    std::vector<double>& t = times[b];
    std::sort(t.begin(), t.end());
    const double median = t.empty() ? 0 : t[t.size() / 2];
    printf("  %-30s %9.1f %9.1f %9.1f %7d\n", ("connect, " + builds[b].first).c_str(), median,
           t.empty() ? 0 : t.front(), t.empty() ? 0 : t.back(), failed[b]);
    if (!settings.keep) RemoveTree(runs[b]);
  }
}

int Main(int argc, char** argv) {
  const std::vector<Option> options = {
      {"before", true, [](const char* v) { settings.before = v; }},
      {"files", true, [](const char* v) { settings.files = std::max(1, atoi(v)); }},
      {"small", true, [](const char* v) { settings.small = strtoull(v, nullptr, 10); }},
      {"large", true, [](const char* v) { settings.large = strtoull(v, nullptr, 10); }},
      {"connects", true, [](const char* v) { settings.connects = atoi(v); }},
      {"gap", true, [](const char* v) { settings.gap = atof(v); }},
      {"rounds", true, [](const char* v) { settings.rounds = std::max(1, atoi(v)); }},
      {"nice", true, [](const char* v) { settings.nice = atoi(v); }},
      {"cap", true, [](const char* v) { settings.cap = atof(v); }},
      {"keep", false, [](const char*) { settings.keep = true; }},
  };
  if (!ParseOptions(argc, argv, options,
                    "bench_many [--before DIR] [--files N] [--small BYTES] [--large BYTES] "
                    "[--connects N] [--gap S] [--rounds N] [--nice N] [--cap S] [--keep]")) {
    return 2;
  }
  after = BuildDirOfSelf();
  if (!settings.before.empty() && access(ProgramsOf(settings.before).client.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_many: no %s\n", ProgramsOf(settings.before).client.c_str());
    return 2;
  }
  workDir = MakeTempDir("lpx-bench-many-");
  if (workDir.empty()) return 1;
  chmod(workDir.c_str(), 0700);
  setenv("LPXFER_CABLE_NS", "1000", 1);
  printf("Many files at 1000 ns per register access; server core 0, client core 1, niceness %d\n",
         settings.nice);
  printf("before: %s (one run per file)\nafter:  %s (one run for all files)\n",
         settings.before.empty() ? "(none)" : settings.before.c_str(), after.c_str());
  if (settings.small > 0) RunSize(settings.small, false);
  if (settings.large > 0) RunSize(settings.large, true);
  if (settings.connects > 0) RunConnects();
  FinishWorkDir(workDir, settings.keep);
  return 0;
}

}  // namespace
}  // namespace lpx::bench

int main(int argc, char** argv) { return lpx::bench::Main(argc, argv); }
