// Helpers shared by the benchmark programs: clocks, options, temporary
// directories, child processes pinned to a core, /proc readings, a platform
// wrapper that counts the sleeps of the waits, one end of the simulated
// cable, and an in-process far end that takes every frame at once.
//
// Benchmarks report; they do not pass or fail. None of this is used by the
// programs themselves or by the tests.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/session.h"
#include "link/command.h"
#include "link/port.h"
#include "platform/platform.h"
#include "platform/sim_cable.h"
#include "platform/wiring.h"

namespace lpx::bench {

// The port every benchmark uses: LPT2.
constexpr uint16_t kBase = 0x378;
// A wait pause of this length or more is one of the server's long pauses.
constexpr uint32_t kLongPauseUs = 100000;

// A wait policy that never sleeps: a pause of 0 us is skipped by
// CountingPlatform, so the wait polls without a break. Its budget (19 x
// 20,000 bursts of 9,999 reads) is about 19 s at no access cost; it only
// matters when the peer is gone.
constexpr WaitPolicy kSpinWaitPolicy{9999, 0, 20000};

inline double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Forwards to another platform and counts the sleeps: long ones (the
// server's 100 ms pauses and longer) and short ones. A sleep of 0 us is
// no sleep at all (no system call), which is how kSpinWaitPolicy spins.
class CountingPlatform final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  void SleepUs(uint32_t us) override {
    if (us == 0) return;
    ++(us >= kLongPauseUs ? longPauses : shortPauses);
    PlatformWrapper::SleepUs(us);
  }

  uint64_t longPauses = 0;
  uint64_t shortPauses = 0;
};

// Opens `end` of the simulated cable at kBase (0 the server's, 1 the
// client's) as the platform, with the link reset and waiting under
// `policy`. portaddr is 0 when the port was refused.
inline CountingPlatform* OpenEnd(int end, const WaitPolicy& policy) {
  ResetLinkPortState();
  ResetLinkCommandState();
  CountingPlatform* counting = new CountingPlatform(NewSimulatedCable(end));
  platform = counting;
  portaddr = platform->Permit(kBase) ? kBase : 0;
  portaddr1 = kBase + 1;
  linkPolicy.wait = policy;
  if (portaddr != 0) WritePort(kBase, 0);
  return counting;
}

// A long option of a benchmark program: "--name value" or "--name=value"
// hands the value to `set`; a flag (no value) gets nullptr.
struct Option {
  const char* name;
  bool takesValue;
  std::function<void(const char*)> set;
};

// Reads the arguments after the program's name. Prints `usage` and
// returns false at the first one that is not in `options`.
inline bool ParseOptions(int argc, char** argv, const std::vector<Option>& options,
                         const char* usage) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    const size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const Option* found = nullptr;
    for (const Option& option : options) {
      if (name.size() > 2 && name.substr(0, 2) == "--" && name.substr(2) == option.name) {
        found = &option;
      }
    }
    const bool hasValue = equals != std::string_view::npos || i + 1 < argc;
    if (found == nullptr || (found->takesValue && !hasValue) ||
        (!found->takesValue && equals != std::string_view::npos)) {
      fprintf(stderr, "usage: %s\n", usage);
      return false;
    }
    if (!found->takesValue) {
      found->set(nullptr);
    } else if (equals != std::string_view::npos) {
      found->set(argv[i] + equals + 1);
    } else {
      found->set(argv[++i]);
    }
  }
  return true;
}

// The far end of the cable inside the same process, as a receiver that
// takes every byte and every frame at once: it acknowledges each low
// nibble and answers link code 0 after each high nibble, so that every wait
// of the code under test succeeds on its first status read. It parses the
// frames only to count them and their payload bytes. No allocation, no
// logging: its own cost stays small and is confined to In and Out.
class ReactiveReceiver final : public Platform {
 public:
  uint8_t In(uint16_t addr) override {
    ++reads;
    if (addr == kBase + 1) return StatusFromPeerData(peer_);
    return addr == kBase ? data_ : control_;
  }

  void Out(uint16_t addr, uint8_t value) override {
    ++writes;
    if (addr == kBase + 2) {
      control_ = value;
      return;
    }
    if (addr != kBase) return;
    data_ = value;
    if (value & 0x10) {
      low_ = value & 0x0F;
      peer_ = 0x10;  // acknowledgement: busy line raised, D0-D3 = 0
      return;
    }
    if (peer_ != 0x10) return;  // a write at rest, not a high nibble
    TakeByte(static_cast<uint8_t>(low_ | ((value & 0x0F) << 4)));
    peer_ = 0x00;  // link code 0, busy line lowered
  }

  bool Permit(uint16_t base) override { return base == kBase; }
  void SleepUs(uint32_t) override { ++sleeps; }
  TimeB Now() override {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return TimeB{tv.tv_sec, static_cast<uint16_t>(tv.tv_usec / 1000)};
  }

  void ResetCounts() {
    reads = writes = sleeps = wireBytes = frames = payloadBytes = dataFrames = dataBytes = 0;
    NextFrame();
  }

  uint64_t reads = 0;
  uint64_t writes = 0;
  uint64_t sleeps = 0;
  uint64_t wireBytes = 0;
  uint64_t frames = 0;        // all frames
  uint64_t payloadBytes = 0;  // their payload bytes
  uint64_t dataFrames = 0;    // frames with a block number other than 0
  uint64_t dataBytes = 0;     // their payload bytes

 private:
  void TakeByte(uint8_t byte) {
    ++wireBytes;
    if (position_ >= 4 && position_ < 8) {
      length_ |= static_cast<uint32_t>(byte) << (8 * (position_ - 4));
    } else if (position_ >= 8 && position_ < 12) {
      block_ |= static_cast<uint32_t>(byte) << (8 * (position_ - 8));
    }
    ++position_;
    if (position_ >= 12 && position_ == length_ + 16) {
      ++frames;
      payloadBytes += length_;
      if (block_ != 0) {
        ++dataFrames;
        dataBytes += length_;
      }
      NextFrame();
    }
  }

  // The next byte is the first of a frame.
  void NextFrame() { position_ = length_ = block_ = 0; }

  uint8_t data_ = 0;
  uint8_t control_ = 0;
  uint8_t peer_ = 0;
  uint8_t low_ = 0;
  uint32_t position_ = 0;
  uint32_t length_ = 0;
  uint32_t block_ = 0;
};

// --- Files and directories ---------------------------------------------------

// A fresh directory /tmp/<prefix>XXXXXX; empty on failure.
inline std::string MakeTempDir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return std::string();
  return std::string(buf.data());
}

// Removes a directory tree (only under /tmp, as every benchmark uses).
inline void RemoveTree(const std::string& path) {
  if (path.rfind("/tmp/", 0) != 0) return;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    unlink(path.c_str());
    return;
  }
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    const std::string child = path + "/" + e->d_name;
    struct stat st {};
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      RemoveTree(child);
    } else {
      unlink(child.c_str());
    }
  }
  closedir(dir);
  rmdir(path.c_str());
}

inline int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

inline bool ReadWholeFile(const std::string& path, std::string* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return true;
}

inline bool SameFiles(const std::string& a, const std::string& b) {
  std::string x, y;
  return ReadWholeFile(a, &x) && ReadWholeFile(b, &y) && x == y;
}

// --- Processes -----------------------------------------------------------------

struct SpawnOptions {
  int cpu = -1;     // pin to this core; -1 leaves the affinity alone
  int nice = 0;     // niceness to set (negative needs root; ignored if refused)
  std::string out;  // standard output and error go here; empty: /dev/null
  std::string cwd;  // working directory; empty: unchanged
};

// Pins the calling process to `cpu` and sets its niceness, as far as the
// system allows. With the scheduler's automatic session groups on
// (kernel.sched_autogroup_enabled), niceness only weighs against the
// processes of the same session, and every session's group gets an equal
// share of a core: so the process starts a session of its own and gives
// that group the niceness as well.
inline void PinAndNice(int cpu, int niceness) {
  if (cpu >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
  }
  if (niceness == 0) return;
  // A process that leads its group (started from an interactive shell)
  // cannot start a session; it leaves the shell's group alone.
  if (setsid() >= 0) {
    if (FILE* group = fopen("/proc/self/autogroup", "w")) {
      fprintf(group, "%d", niceness);
      fclose(group);
    }
  }
  setpriority(PRIO_PROCESS, 0, niceness);
}

// Starts `argv` (argv[0] a path) with the environment of this process.
// Returns its pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  PinAndNice(options.cpu, options.nice);
  const char* out = options.out.empty() ? "/dev/null" : options.out.c_str();
  const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
  }
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) dup2(null, 0);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  execv(args[0], args.data());
  _exit(127);
}

// Waits at most `seconds` for `pid`, a child of this process or not, to be
// gone. Returns the wait status of a child (0 for any other process), or -1
// when it is still running.
inline int WaitFor(pid_t pid, double seconds) {
  const double until = NowSeconds() + seconds;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR && (errno != ECHILD || kill(pid, 0) != 0)) return 0;
    if (NowSeconds() >= until) return -1;
    usleep(2000);
  }
}

inline bool WaitGone(pid_t pid, double seconds) { return WaitFor(pid, seconds) != -1; }

// Stops `pid` with `sig`, then SIGKILL after `grace` seconds. Returns false
// when it took SIGKILL.
inline bool StopProcess(pid_t pid, int sig, double grace) {
  if (pid <= 0) return true;
  kill(pid, sig);
  if (WaitGone(pid, grace)) return true;
  kill(pid, SIGKILL);
  WaitGone(pid, 5);
  return false;
}

// The child process of `parent` that runs `program` (found through /proc,
// by the file its /proc/<pid>/exe names), or -1. A tracer such as strace
// also starts short-lived children of its own before the program.
inline pid_t ChildRunning(pid_t parent, const std::string& program, double seconds) {
  char wanted[4096];
  if (realpath(program.c_str(), wanted) == nullptr) return -1;
  const double until = NowSeconds() + seconds;
  while (NowSeconds() < until) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    pid_t found = -1;
    while (struct dirent* e = readdir(proc)) {
      const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
      if (pid <= 0) continue;
      char path[64];
      snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
      std::string stat;
      if (!ReadWholeFile(path, &stat)) continue;
      const size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      char state = 0;
      int ppid = 0;
      if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent) {
        continue;
      }
      snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
      char exe[4096];
      const ssize_t n = readlink(path, exe, sizeof exe - 1);
      if (n <= 0) continue;
      exe[n] = '\0';
      if (strcmp(exe, wanted) == 0) {
        found = pid;
        break;
      }
    }
    closedir(proc);
    if (found > 0) return found;
    usleep(2000);
  }
  return -1;
}

// A "Name:   value kB" field of /proc/<pid>/status, in kB; -1 when absent.
inline int64_t ProcStatusKb(pid_t pid, const char* name) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  std::string text;
  if (!ReadWholeFile(path, &text)) return -1;
  const std::string key = std::string("\n") + name + ":";
  const size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  return atoll(text.c_str() + at + key.size());
}

// CPU time of `pid` so far: user + system clock ticks from /proc/<pid>/stat
// and nanoseconds on the CPU from /proc/<pid>/schedstat.
struct CpuTime {
  int64_t ticks = -1;
  int64_t ns = -1;
  int64_t slices = -1;  // times the process was put on a CPU
};

inline CpuTime ReadCpuTime(pid_t pid) {
  CpuTime t;
  char path[64];
  std::string text;
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  if (ReadWholeFile(path, &text)) {
    const size_t close = text.rfind(')');
    if (close != std::string::npos) {
      // Fields after the name: state(3) ... utime(14) stime(15).
      const char* p = text.c_str() + close + 2;
      long long utime = 0, stime = 0;
      if (sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &utime, &stime) == 2) {
        t.ticks = utime + stime;
      }
    }
  }
  snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
  if (ReadWholeFile(path, &text)) {
    long long run = 0, wait = 0, slices = 0;
    if (sscanf(text.c_str(), "%lld %lld %lld", &run, &wait, &slices) == 3) {
      t.ns = run;
      t.slices = slices;
    }
  }
  return t;
}

// Waits until `path` holds `text`, at most `seconds`.
inline bool WaitForText(const std::string& path, const char* text, double seconds) {
  const double until = NowSeconds() + seconds;
  std::string content;
  while (NowSeconds() < until) {
    if (ReadWholeFile(path, &content) && content.find(text) != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

// Removes a benchmark's work directory, or with `keep` says where it is.
inline void FinishWorkDir(const std::string& dir, bool keep) {
  if (keep) {
    printf("logs kept in %s\n", dir.c_str());
  } else {
    RemoveTree(dir);
  }
}

// The directory of this program's build tree: the parent of the directory
// that holds the running program (bench/ sits in the build directory).
inline std::string BuildDirOfSelf() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  self[n] = '\0';
  std::string path(self);
  for (int i = 0; i < 2; ++i) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    path.resize(slash);
  }
  return path;
}

}  // namespace lpx::bench
