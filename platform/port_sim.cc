// Simulated backend: the port registers live in a 64-byte cable file that
// two processes map shared. See docs/cable.md for the contract.
//
// Layout: offset 0/1 the data registers of end 0/1, offset 2/3 their
// control registers. The status register of end k is derived from the
// other end's data byte: bits 3-6 its bits 0-3, bit 7 its bit 4 inverted,
// bits 0-2 always 1.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/sim_cable.h"
#include "platform/system_time.h"
#include "platform/wiring.h"

namespace lpx {
namespace {

constexpr int kCableFileSize = 64;
constexpr size_t kPathSize = 512;
constexpr uint16_t kPortBases[3] = {0x3BC, 0x378, 0x278};  // LPT1..LPT3

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class SimulatedCable final : public SystemTimePlatform {
 public:
  explicit SimulatedCable(int end) : end_(end) {
    const char* ns = secure_getenv("LPXFER_CABLE_NS");
    if (ns != nullptr && *ns != '\0') {
      char* stop = nullptr;
      long value = strtol(ns, &stop, 10);
      if (*stop == '\0' && value >= 0) access_ns_ = value;
    }
  }

  uint8_t In(uint16_t addr) override {
    Cost();
    uint8_t* cable = CableFor(addr);
    if (cable == nullptr) return 0xFF;
    int reg = RegisterOf(addr);
    if (reg == 0) return Load(cable, end_);
    if (reg == 2) return Load(cable, 2 + end_);
    return StatusFromPeerData(Load(cable, 1 - end_));
  }

  void Out(uint16_t addr, uint8_t value) override {
    Cost();
    uint8_t* cable = CableFor(addr);
    if (cable == nullptr) return;
    int reg = RegisterOf(addr);
    if (reg == 0) Store(cable, end_, value);
    if (reg == 2) Store(cable, 2 + end_, value);
  }

  bool Permit(uint16_t base) override {
    int n = PortNumberOf(base);
    if (n == 0) return false;
    return Map(n) != nullptr;
  }

  // The cable is a file of the user's: opened with the user's own rights.
  bool PermitNeedsRoot() override { return false; }
  const char* WhyRefused() override { return refusal_[0] != '\0' ? refusal_ : nullptr; }

 private:
  static uint8_t Load(uint8_t* cable, int offset) {
    return std::atomic_ref<uint8_t>(cable[offset]).load(std::memory_order_seq_cst);
  }
  static void Store(uint8_t* cable, int offset, uint8_t v) {
    std::atomic_ref<uint8_t>(cable[offset]).store(v, std::memory_order_seq_cst);
  }

  // Spins for the configured access cost: an ISA bus access takes about a
  // microsecond, and the link's polling budgets are counted in accesses.
  void Cost() const {
    if (access_ns_ <= 0) return;
    int64_t until = MonotonicNs() + access_ns_;
    while (MonotonicNs() < until) {
    }
  }

  static int PortNumberOf(uint16_t base) {
    for (int i = 0; i < 3; ++i) {
      if (kPortBases[i] == base) return i + 1;
    }
    return 0;
  }

  static int RegisterOf(uint16_t addr) {
    for (uint16_t base : kPortBases) {
      if (addr >= base && addr < base + 3) return addr - base;
    }
    return -1;
  }

  uint8_t* CableFor(uint16_t addr) {
    for (int i = 0; i < 3; ++i) {
      if (addr >= kPortBases[i] && addr < kPortBases[i] + 3) return maps_[i];
    }
    return nullptr;
  }

  // Opens (creating when missing) and maps the cable file of port n. The
  // cable is private to the real user: see OpenCableDir, OpenCableFile and
  // Trusted. On a refusal the reason is left in refusal_.
  uint8_t* Map(int n) {
    if (maps_[n - 1] != nullptr) return maps_[n - 1];
    char dir[kPathSize];
    if (!SimCableDir(dir, sizeof dir))
      return Refuse("the cable directory's name is too long"), nullptr;
    const int dirFd = OpenCableDir(dir);
    if (dirFd < 0) return nullptr;
    char path[kPathSize + 8];
    snprintf(path, sizeof path, "%s/lpt%d", dir, n);
    const int fd = OpenCableFile(dirFd, path, path + strlen(dir) + 1);
    close(dirFd);
    if (fd < 0) return nullptr;
    void* p = mmap(nullptr, kCableFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
      return Refuse("the cable file %s cannot be mapped (%s)", path, strerror(errno)), nullptr;
    maps_[n - 1] = static_cast<uint8_t*>(p);
    return maps_[n - 1];
  }

  // Opens the cable directory, creating it (mode 0700) when missing, never
  // through a symbolic link. O_PATH: another user's directory is looked at,
  // not read, so that the refusal can say whose it is.
  int OpenCableDir(const char* dir) {
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(dir, kFlags);
    if (fd < 0 && errno == ENOENT) {
      const mode_t mask = umask(077);  // exactly 0700, whatever the umask
      const bool made = mkdir(dir, 0700) == 0 || errno == EEXIST;
      umask(mask);
      if (!made)
        return Refuse("the cable directory %s cannot be created (%s)", dir, strerror(errno)), -1;
      fd = open(dir, kFlags);
    }
    struct stat st {};
    if (fd < 0) {
      // A symbolic link or another kind of file in its place: say which.
      const int error = errno;
      if ((error == ENOTDIR || error == ELOOP) && lstat(dir, &st) == 0 && !Trusted(st, dir, true))
        return -1;
      return Refuse("the cable directory %s cannot be opened (%s)", dir, strerror(error)), -1;
    }
    if (!StatTrusted(fd, dir, true, &st)) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // Opens the cable file `name` (at `path`) in the cable directory, creating
  // it (mode 0600) when missing, never through a symbolic link, and extends
  // a shorter file to kCableFileSize with zeros.
  int OpenCableFile(int dirFd, const char* path, const char* name) {
    const mode_t mask = umask(077);  // exactly 0600, whatever the umask
    const int fd = openat(dirFd, name,
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    const int error = errno;
    umask(mask);
    if (fd < 0 && error == ELOOP) return Refuse("the cable file %s is a symbolic link", path), -1;
    if (fd < 0) return Refuse("the cable file %s cannot be opened (%s)", path, strerror(error)), -1;
    struct stat st {};
    bool usable = StatTrusted(fd, path, false, &st);
    if (usable && st.st_size < kCableFileSize && ftruncate(fd, kCableFileSize) != 0) {
      usable = Refuse("the cable file %s cannot be extended to %d bytes (%s)", path, kCableFileSize,
                      strerror(errno));
    }
    if (usable) return fd;
    close(fd);
    return -1;
  }

  bool StatTrusted(int fd, const char* path, bool directory, struct stat* st) {
    if (fstat(fd, st) == 0) return Trusted(*st, path, directory);
    return Refuse("the cable %s %s cannot be examined (%s)", directory ? "directory" : "file", path,
                  strerror(errno));
  }

  // Whether the real user may use this cable directory or file: not a
  // symbolic link, of its kind, the user's own (root may use any user's),
  // and no one else may write it.
  bool Trusted(const struct stat& st, const char* path, bool directory) {
    const char* what = directory ? "directory" : "file";
    const uid_t user = getuid();
    if (S_ISLNK(st.st_mode)) return Refuse("the cable %s %s is a symbolic link", what, path);
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
      return Refuse("the cable %s %s is not a %s", what, path,
                    directory ? "directory" : "regular file");
    }
    if (user != 0 && st.st_uid != user) {
      return Refuse("the cable %s %s belongs to another user (uid %u)", what, path,
                    static_cast<unsigned>(st.st_uid));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      return Refuse("the cable %s %s may be written by group or others (mode %04o)", what, path,
                    static_cast<unsigned>(st.st_mode & 07777));
    }
    return true;
  }

  // Keeps the reason of a refusal for WhyRefused. Returns false.
  __attribute__((format(printf, 2, 3))) bool Refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(refusal_, sizeof refusal_, format, args);
    va_end(args);
    return false;
  }

  int end_;
  int64_t access_ns_ = 1000;
  uint8_t* maps_[3] = {nullptr, nullptr, nullptr};
  char refusal_[kPathSize + 128] = "";
};

}  // namespace

bool SimCableDir(char* out, size_t size) {
  const char* dir = secure_getenv("LPXFER_CABLE_DIR");
  const char* runtime = secure_getenv("XDG_RUNTIME_DIR");
  int len = 0;
  if (dir != nullptr && *dir != '\0') {
    len = snprintf(out, size, "%s", dir);
  } else if (runtime != nullptr && *runtime != '\0') {
    len = snprintf(out, size, "%s/lpxfer-cable", runtime);
  } else {
    len = snprintf(out, size, "/tmp/lpxfer-cable-%u", static_cast<unsigned>(getuid()));
  }
  if (len <= 0 || static_cast<size_t>(len) >= size) return false;
  // "dir/" would be followed where it is a symbolic link.
  while (len > 1 && out[len - 1] == '/') out[--len] = '\0';
  return true;
}

bool SimCablePath(int n, char* out, size_t size) {
  char dir[kPathSize];
  if (!SimCableDir(dir, sizeof dir)) return false;
  const int len = snprintf(out, size, "%s/lpt%d", dir, n);
  return len > 0 && static_cast<size_t>(len) < size;
}

Platform* NewSimulatedCable(int end) { return new SimulatedCable(end); }

Platform* MakeDefaultPlatform(int end) {
  static SimulatedCable cable(end);
  return &cable;
}

}  // namespace lpx
