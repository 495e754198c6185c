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
constexpr uint16_t kPortBases[3] = {0x3BC, 0x378, 0x278};  // LPT1..LPT3

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class SimulatedCable final : public SystemTimePlatform {
 public:
  explicit SimulatedCable(int end) : end_(end) {
    const char* ns = getenv("LPXFER_CABLE_NS");
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

  // Opens (creating when missing) and maps the cable file of port n.
  uint8_t* Map(int n) {
    if (maps_[n - 1] != nullptr) return maps_[n - 1];
    char path[512];
    if (!SimCablePath(n, path, sizeof path)) return nullptr;
    SimMakeParentDirs(path);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 ||
        (st.st_size < kCableFileSize && ftruncate(fd, kCableFileSize) != 0)) {
      close(fd);
      return nullptr;
    }
    void* p = mmap(nullptr, kCableFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return nullptr;
    maps_[n - 1] = static_cast<uint8_t*>(p);
    return maps_[n - 1];
  }

  int end_;
  int64_t access_ns_ = 1000;
  uint8_t* maps_[3] = {nullptr, nullptr, nullptr};
};

}  // namespace

bool SimCablePath(int n, char* out, size_t size) {
  const char* dir = getenv("LPXFER_CABLE_DIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp/lpxfer-cable";
  int len = snprintf(out, size, "%s/lpt%d", dir, n);
  return len > 0 && static_cast<size_t>(len) < size;
}

void SimMakeParentDirs(const char* path) {
  char dir[512];
  size_t len = strlen(path);
  if (len >= sizeof dir) return;
  memcpy(dir, path, len + 1);
  for (size_t i = 1; i < len; ++i) {
    if (dir[i] != '/') continue;
    dir[i] = '\0';
    mkdir(dir, 0777);  // an existing directory is fine
    dir[i] = '/';
  }
}

Platform* NewSimulatedCable(int end) { return new SimulatedCable(end); }

Platform* MakeDefaultPlatform(int end) {
  static SimulatedCable cable(end);
  return &cable;
}

}  // namespace lpx
