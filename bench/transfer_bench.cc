// File transfers between the simulated server and the client program over
// the simulated cable, each beside the bare nibble handshake on the same
// cable in the same run.
//
//   bench_transfer [--slow-bytes N] [--fast-bytes N] [--rounds N] [--cap S]
//                  [--nice N] [--no-strace] [--only 1000|0] [--keep]
//
// For the default register access cost of 1 us (--slow-bytes, 1 MiB) and
// for no access cost (LPXFER_CABLE_NS=0, --fast-bytes, 16 MiB):
//
//   raw down  end 0 sends the bytes with the bare four-write handshake under
//             the server's wait policy, end 1 receives them and never
//             sleeps (the cable's ceiling for a download);
//   raw down, client policy
//             the same with end 1 under kClientWaitPolicy, as lpxfer waits:
//             what the client's pauses cost, apart from the frames;
//   GET, AGET bin/a/lpxferd-sim serves, bin/lpxfer-sim fetches a binary and
//             a text file;
//   raw up    end 1 sends (never sleeping), end 0 receives under the server's
//             policy (the ceiling for an upload);
//   PUT, APUT lpxfer-sim stores the two files on the server.
//
// At 1 us the cases take turns for --rounds rounds (default 4), each run
// moving its share of the bytes, so that a change of the machine's load
// falls on all of them alike; "vs raw" compares the fastest run of a case
// with the fastest raw run of its direction. At no access cost each case
// runs once.
//
// The server runs on core 0 and the client on core 1, both at niceness
// --nice (default 0; scripts/bench.sh passes -10 when it runs as root), so
// that other work on the machine seldom preempts a polling end. Rates count
// the bytes on the wire (text mode: a line feed counts two); a transfer's
// time is the client's own figure for its data phase. Pauses are the
// server's 100 ms sleeps (its waits' pauses), counted with strace, with
// their total time in parentheses; client sleeps are its sleeps of any
// length. A run that does not end within --cap seconds (default 45) is
// interrupted with SIGINT and reported from the bytes that had arrived
// ("cut"), and only the sleeps before the cut are counted.
//
// The benchmark reports; it does not pass or fail.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <map>

#include "bench/bench_util.h"
#include "bench/raw_handshake.h"
#include "link/command.h"
#include "link/frame.h"
#include "platform/sim_cable.h"

namespace lpx::bench {
namespace {

struct Settings {
  uint64_t slowBytes = 1 << 20;
  uint64_t fastBytes = 16 << 20;
  double cap = 45;
  int rounds = 4;     // at the default access cost
  bool keep = false;  // keep the work directory with every run's logs
  int nice = 0;
  bool strace = true;
  int only = -1;  // access cost to run alone; -1 both
  std::string build;
};
Settings settings;
std::string workDir;

// One row of the table.
struct Row {
  std::string label;
  bool ok = false;
  bool cut = false;
  uint64_t bytes = 0;
  double seconds = 0;
  int64_t serverPauses = -1;  // 100 ms pauses of the server's waits; -1 unknown
  double serverPauseSeconds = 0;
  int64_t clientSleeps = -1;
  std::string note;
  double Rate() const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
};

// --- Test files ----------------------------------------------------------------

void WriteRandomFile(const std::string& path, uint64_t bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  uint32_t seed = 12345;
  for (uint64_t i = 0; i < bytes; ++i) {
    seed = seed * 1664525 + 1013904223;
    fputc(static_cast<int>(seed >> 24), f);
  }
  fclose(f);
}

// Printable ASCII lines of 0 to 79 characters ended by LF, `bytes` long in
// all (the last line may be cut). ASCII travels unchanged in text mode, so
// the fetched or stored copy must equal the original. Returns the wire
// size: every LF travels as CR LF.
uint64_t WriteTextFile(const std::string& path, uint64_t bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  uint32_t seed = 777;
  uint64_t written = 0, wire = 0, line = 0, lineLength = 40;
  while (written < bytes) {
    seed = seed * 1664525 + 1013904223;
    int c;
    if (line >= lineLength) {
      c = '\n';
      line = 0;
      lineLength = (seed >> 16) % 80;
    } else {
      c = 32 + static_cast<int>((seed >> 24) % 95);
      ++line;
    }
    fputc(c, f);
    ++written;
    wire += c == '\n' ? 2 : 1;
  }
  fclose(f);
  return wire;
}

// --- Sleeps in strace output ---------------------------------------------------

struct SleepCounts {
  int64_t pauses100ms = 0;
  double pauseSeconds = 0;
  int64_t all = 0;
};

// Counts the nanosleep/clock_nanosleep calls in an strace -f -ttt -T log
// that began before `until` (seconds since the epoch; 0: all of them).
SleepCounts CountSleeps(const std::string& path, double until) {
  SleepCounts counts;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return counts;
  char line[1024];
  while (fgets(line, sizeof line, f) != nullptr) {
    const char* call = strstr(line, "nanosleep(");
    if (call == nullptr) continue;
    double when = 0;
    if (until > 0 && sscanf(line, "%*d %lf", &when) == 1 && when >= until) continue;
    ++counts.all;
    long long sec = -1, nsec = -1;
    const char* spec = strstr(call, "tv_sec=");
    if (spec == nullptr || sscanf(spec, "tv_sec=%lld, tv_nsec=%lld", &sec, &nsec) != 2) continue;
    if (sec * 1000000000LL + nsec != static_cast<long long>(kLongPauseUs) * 1000) continue;
    ++counts.pauses100ms;
    const char* took = strrchr(line, '<');
    if (took != nullptr) counts.pauseSeconds += atof(took + 1);
  }
  fclose(f);
  return counts;
}

// --- The bare handshake between two processes ----------------------------------

// `up`: end 1 (the client's) sends. The client's end waits under
// `clientPolicy`, the server's under its own policy.
Row RunRaw(const std::string& label, bool up, uint64_t bytes, const WaitPolicy& clientPolicy) {
  Row row;
  row.label = label;
  static int runs = 0;
  const RawResult raw = RunRawTransfer(workDir + "/cable-raw-" + std::to_string(++runs), up, bytes,
                                       clientPolicy, settings.cap, settings.nice);
  row.ok = raw.ok;
  row.bytes = raw.bytes;
  row.cut = raw.cut;
  row.seconds = raw.seconds;
  row.serverPauses = raw.serverPauses;
  row.serverPauseSeconds = static_cast<double>(row.serverPauses) * 0.1;
  row.clientSleeps = raw.clientSleeps;
  return row;
}

// --- Transfers with the real programs ------------------------------------------

std::vector<std::string> Traced(const std::string& trace, std::vector<std::string> argv) {
  if (!settings.strace) return argv;
  std::vector<std::string> full = {"/usr/bin/strace",
                                   "-f",
                                   "--seccomp-bpf",
                                   "-qq",
                                   "-ttt",
                                   "-T",
                                   "-e",
                                   "trace=nanosleep,clock_nanosleep",
                                   "-e",
                                   "signal=none",
                                   "-o",
                                   trace};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

// The process that runs `program`, possibly under strace.
pid_t RealPid(pid_t pid, const std::string& program) {
  return settings.strace ? ChildRunning(pid, program, 5) : pid;
}

// Parses "received N bytes in S s" or "sent N bytes in S s".
bool ParseSummary(const std::string& log, uint64_t* bytes, double* seconds) {
  for (const char* verb : {"received ", "sent "}) {
    size_t at = log.find(verb);
    while (at != std::string::npos && at > 0 && log[at - 1] != '\n') at = log.find(verb, at + 1);
    if (at == std::string::npos) continue;
    unsigned long long n = 0;
    double s = 0;
    if (sscanf(log.c_str() + at + strlen(verb), "%llu bytes in %lf s", &n, &s) == 2) {
      *bytes = n;
      *seconds = s;
      return true;
    }
  }
  return false;
}

uint64_t WireSizeOf(const std::string& path, bool text) {
  std::string content;
  if (!ReadWholeFile(path, &content)) return 0;
  uint64_t wire = content.size();
  if (text) {
    for (char c : content) wire += c == '\n' ? 1 : 0;
  }
  return wire;
}

Row RunTransfer(const char* label, bool put, bool text, const std::string& source) {
  Row row;
  row.label = label;
  static int runs = 0;
  const std::string run = workDir + "/run-" + std::to_string(++runs);
  mkdir(run.c_str(), 0755);
  setenv("LPXFER_CABLE_DIR", (run + "/cable").c_str(), 1);

  SpawnOptions serverOptions;
  serverOptions.cpu = 0;
  serverOptions.nice = settings.nice;
  serverOptions.out = run + "/server.log";
  const std::string serverProgram = settings.build + "/bin/a/lpxferd-sim";
  const pid_t serverTracer =
      Spawn(Traced(run + "/server.trace", {serverProgram, "2"}), serverOptions);
  const pid_t server = RealPid(serverTracer, serverProgram);
  if (server <= 0 || !WaitForText(serverOptions.out, "Accepting", 10)) {
    row.note = "server did not start";
    StopProcess(server, SIGINT, 3);
    StopProcess(serverTracer, SIGTERM, 3);
    return row;
  }

  const std::string target = run + "/copy";
  std::vector<std::string> client = {settings.build + "/bin/lpxfer-sim"};
  if (text) client.push_back("-a");
  if (put) {
    client.insert(client.end(), {"put", source, target});
  } else {
    client.insert(client.end(), {"get", source, target});
  }
  SpawnOptions clientOptions;
  clientOptions.cpu = 1;
  clientOptions.nice = settings.nice;
  clientOptions.out = run + "/client.log";
  clientOptions.cwd = run;
  const pid_t clientTracer = Spawn(Traced(run + "/client.trace", client), clientOptions);
  const pid_t clientPid = RealPid(clientTracer, client[0]);
  int status = WaitFor(clientTracer, settings.cap);
  double cutEpoch = 0;  // when the transfer was interrupted, on strace's clock
  if (status < 0) {
    row.cut = true;
    timeval now{};
    gettimeofday(&now, nullptr);
    cutEpoch = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) * 1e-6;
    if (clientPid > 0) kill(clientPid, SIGINT);
    status = WaitFor(clientTracer, 15);
    if (status < 0) {
      StopProcess(clientPid, SIGKILL, 5);
      StopProcess(clientTracer, SIGKILL, 5);
    }
  }
  if (!StopProcess(server, SIGINT, 5)) {
    row.note = "server ignored Ctrl/C (log kept in " + workDir + "-stuck.log)";
    rename(serverOptions.out.c_str(), (workDir + "-stuck.log").c_str());
  }
  if (settings.strace) WaitGone(serverTracer, 5);

  std::string log;
  ReadWholeFile(clientOptions.out, &log);
  if (!row.cut) {
    row.ok =
        status == 0 && ParseSummary(log, &row.bytes, &row.seconds) && SameFiles(source, target);
    if (!row.ok) {
      row.note = "client: " + log.substr(0, log.find('\n'));
      row.bytes = 0;
    }
  } else {
    // What arrived by the cap: the partial file of a fetch, the server's
    // copy of an upload, counted as they travel.
    const std::string partial = put ? target : target + ".lpxpart";
    row.bytes = WireSizeOf(partial, text);
    row.seconds = settings.cap;
    row.ok = row.bytes > 0;
  }
  if (settings.strace) {
    // Only what happened before a cut: afterwards the server times out.
    const SleepCounts serverSleeps = CountSleeps(run + "/server.trace", cutEpoch);
    const SleepCounts clientSleeps = CountSleeps(run + "/client.trace", cutEpoch);
    row.serverPauses = serverSleeps.pauses100ms;
    row.serverPauseSeconds = serverSleeps.pauseSeconds;
    row.clientSleeps = clientSleeps.all;
  }
  if (!settings.keep) RemoveTree(run);
  return row;
}

// --- Rounds and output -------------------------------------------------------------

// The runs of one case added up.
struct Total {
  std::string label;
  int runs = 0;
  int failed = 0;
  int cut = 0;
  uint64_t bytes = 0;
  double seconds = 0;
  double best = 0;  // the fastest run's rate
  int64_t serverPauses = 0;
  double serverPauseSeconds = 0;
  int64_t clientSleeps = 0;
  bool counted = true;  // pauses and sleeps known
  std::string note;

  void Add(const Row& row) {
    ++runs;
    if (!row.ok) ++failed;
    if (row.cut) ++cut;
    if (row.ok) {
      bytes += row.bytes;
      seconds += row.seconds;
      if (row.Rate() > best) best = row.Rate();
    }
    if (row.serverPauses < 0 || row.clientSleeps < 0) counted = false;
    serverPauses += row.serverPauses;
    serverPauseSeconds += row.serverPauseSeconds;
    clientSleeps += row.clientSleeps;
    if (note.empty()) note = row.note;
  }
  double Rate() const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
};

void PrintHeader(const char* title, int rounds) {
  printf("\n%s\n", title);
  if (rounds > 1) {
    printf("  (%d rounds; bytes, s and pauses are sums; \"vs raw\" compares the best runs)\n",
           rounds);
  }
  printf("  %-34s %9s %7s %8s %8s %7s %17s %10s\n", "case", "bytes", "s", "KB/s", "best", "vs raw",
         "srv 100ms pauses", "cli sleeps");
}

void PrintTotal(const Total& t, const Total* raw) {
  char ratio[16] = "";
  if (raw != nullptr && raw->best > 0 && t.best > 0) {
    snprintf(ratio, sizeof ratio, "%.3f", t.best / raw->best);
  }
  char pauses[32] = "n/a";
  char sleeps[24] = "n/a";
  if (t.counted) {
    snprintf(pauses, sizeof pauses, "%" PRId64 " (%.1f s)", t.serverPauses, t.serverPauseSeconds);
    snprintf(sleeps, sizeof sleeps, "%" PRId64, t.clientSleeps);
  }
  char flags[64] = "";
  if (t.failed > 0) snprintf(flags, sizeof flags, "  FAILED %d", t.failed);
  if (t.cut > 0) snprintf(flags + strlen(flags), sizeof flags - strlen(flags), "  cut");
  printf("  %-34s %9" PRIu64 " %7.2f %8.1f %8.1f %7s %17s %10s%s%s\n", t.label.c_str(), t.bytes,
         t.seconds, t.Rate() / 1024.0, t.best / 1024.0, ratio, pauses, sleeps, flags,
         t.note.empty() ? "" : ("  " + t.note).c_str());
  fflush(stdout);
}

enum class Kind { kRawSpin, kRawClientPolicy, kGet, kAget, kPut, kAput };

struct Case {
  std::string label;
  Kind kind;
  bool up;  // the client's end sends
};

Row RunCase(const Case& c, uint64_t bytes, const std::string& binary, const std::string& text) {
  switch (c.kind) {
    case Kind::kRawSpin:
      return RunRaw(c.label, c.up, bytes, kSpinWaitPolicy);
    case Kind::kRawClientPolicy:
      return RunRaw(c.label, c.up, bytes, kClientWaitPolicy);
    case Kind::kGet:
    case Kind::kPut:
      return RunTransfer(c.label.c_str(), c.up, false, binary);
    case Kind::kAget:
    case Kind::kAput:
      return RunTransfer(c.label.c_str(), c.up, true, text);
  }
  return Row();
}

// Every case once per round, in turn, so that a change of the machine's
// load falls on all of them alike; each run moves bytes / rounds.
void RunCost(int64_t ns, uint64_t bytes, int rounds) {
  const std::string cost = std::to_string(ns);
  setenv("LPXFER_CABLE_NS", cost.c_str(), 1);
  char title[160];
  snprintf(title, sizeof title, "Transfers at %s ns per register access, %.0f KiB (%s)",
           cost.c_str(), static_cast<double>(bytes) / 1024.0,
           ns == 0 ? "LPXFER_CABLE_NS=0" : "default cost");
  PrintHeader(title, rounds);

  const uint64_t perRun = bytes / static_cast<uint64_t>(rounds);
  const std::string binary = workDir + "/data-" + cost + ".bin";
  const std::string text = workDir + "/data-" + cost + ".txt";
  WriteRandomFile(binary, perRun);
  WriteTextFile(text, perRun);

  std::vector<Case> cases = {{"raw down (client end spins)", Kind::kRawSpin, false}};
  {
    char label[64];
    snprintf(label, sizeof label, "raw down (client %d reads/%u us)", kClientWaitPolicy.burstReads,
             kClientWaitPolicy.pauseUs);
    cases.push_back({label, Kind::kRawClientPolicy, false});
  }
  cases.push_back({"GET binary", Kind::kGet, false});
  cases.push_back({"AGET text", Kind::kAget, false});
  cases.push_back({"raw up (client end spins)", Kind::kRawSpin, true});
  cases.push_back({"PUT binary", Kind::kPut, true});
  cases.push_back({"APUT text", Kind::kAput, true});

  // One round: each case is printed as it ends, against the raw run of its
  // direction that went before. Several: all are printed at the end.
  std::vector<Total> totals(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) totals[i].label = cases[i].label;
  for (int round = 0; round < rounds; ++round) {
    const Total* raw = nullptr;
    for (size_t i = 0; i < cases.size(); ++i) {
      totals[i].Add(RunCase(cases[i], perRun, binary, text));
      const bool baseline = cases[i].kind == Kind::kRawSpin;
      if (rounds == 1) PrintTotal(totals[i], baseline ? nullptr : raw);
      if (baseline) raw = &totals[i];
    }
  }
  if (rounds > 1) {
    const Total* raw = nullptr;
    for (size_t i = 0; i < cases.size(); ++i) {
      const bool baseline = cases[i].kind == Kind::kRawSpin;
      PrintTotal(totals[i], baseline ? nullptr : raw);
      if (baseline) raw = &totals[i];
    }
  }
  unlink(binary.c_str());
  unlink(text.c_str());
}

int Main(int argc, char** argv) {
  const std::vector<Option> options = {
      {"slow-bytes", true, [](const char* v) { settings.slowBytes = strtoull(v, nullptr, 10); }},
      {"fast-bytes", true, [](const char* v) { settings.fastBytes = strtoull(v, nullptr, 10); }},
      {"cap", true, [](const char* v) { settings.cap = atof(v); }},
      {"nice", true, [](const char* v) { settings.nice = atoi(v); }},
      {"no-strace", false, [](const char*) { settings.strace = false; }},
      {"only", true, [](const char* v) { settings.only = atoi(v); }},
      {"rounds", true, [](const char* v) { settings.rounds = std::max(1, atoi(v)); }},
      {"keep", false, [](const char*) { settings.keep = true; }},
  };
  if (!ParseOptions(argc, argv, options,
                    "bench_transfer [--slow-bytes N] [--fast-bytes N] [--cap S] [--nice N] "
                    "[--no-strace] [--only 1000|0] [--rounds N] [--keep]")) {
    return 2;
  }
  if (settings.strace && access("/usr/bin/strace", X_OK) != 0) settings.strace = false;
  settings.build = BuildDirOfSelf();
  workDir = MakeTempDir("lpx-bench-xfer-");
  if (workDir.empty()) return 1;
  printf("server core 0, client core 1, niceness %d; pauses %s\n", settings.nice,
         settings.strace ? "counted with strace" : "not counted (no strace)");
  if (settings.only != 0) RunCost(1000, settings.slowBytes, settings.rounds);
  if (settings.only != 1000) RunCost(0, settings.fastBytes, 1);
  FinishWorkDir(workDir, settings.keep);
  return 0;
}

}  // namespace
}  // namespace lpx::bench

int main(int argc, char** argv) { return lpx::bench::Main(argc, argv); }
