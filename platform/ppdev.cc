#include "platform/ppdev.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lpx {

PpdevOps ppdevOps;
PpdevPorts ppdevPorts;

void ResetPpdevOps() {
  ppdevOps = PpdevOps{
      [](const char* path, int flags) { return ::open(path, flags); },
      [](int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); },
      ::close,
  };
}

namespace {

struct PpdevOpsInit {
  PpdevOpsInit() { ResetPpdevOps(); }
} ppdevOpsInit;

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_CLOEXEC;
constexpr uint8_t kControlLines = 0x0F;  // what PPWCONTROL writes
constexpr uint8_t kControlReverse = 0x20;

}  // namespace

void PpdevPorts::Reset(Platform* clock) {
  ReleaseAll();
  clock_ = clock;
  count_ = 0;
  error_ = PortFault{};
}

bool PpdevPorts::Add(const char* path, uint16_t base) {
  const size_t length = strlen(path);
  if (count_ == kMaxPpdevPorts || length >= kDevicePathSize) return false;
  Device& device = devices_[count_++];
  memcpy(device.path, path, length + 1);
  device.base = base;
  device.fd = -1;
  device.reverse = -1;
  return true;
}

PpdevPorts::Device* PpdevPorts::DeviceAt(uint16_t addr) {
  for (int i = 0; i < count_; ++i) {
    if (addr >= devices_[i].base && addr - devices_[i].base < 3) return &devices_[i];
  }
  return nullptr;
}

bool PpdevPorts::Call(Device* device, unsigned long request, const char* name, void* arg) {
  if (ppdevOps.ioctl(device->fd, request, arg) == 0) return true;
  portFault = PortFault{name, errno};
  return false;
}

// Exclusive before the claim: ppdev registers the device with the port at
// the first PPCLAIM, and only then can no printer driver share it.
bool PpdevPorts::Permit(uint16_t base) {
  Device* device = DeviceAt(base);
  if (device == nullptr || device->base != base) {
    error_ = PortFault{"open", ENODEV};
    return false;
  }
  if (device->fd >= 0) return true;
  const int fd = ppdevOps.open(device->path, kOpenFlags);
  if (fd < 0) {
    error_ = PortFault{"open", errno};
    return false;
  }
  const char* failed = nullptr;
  if (ppdevOps.ioctl(fd, PPEXCL, nullptr) != 0) {
    failed = "PPEXCL";
  } else if (ppdevOps.ioctl(fd, PPCLAIM, nullptr) != 0) {
    failed = "PPCLAIM";
  }
  if (failed != nullptr) {
    error_ = PortFault{failed, errno};
    ppdevOps.close(fd);
    return false;
  }
  device->fd = fd;
  device->reverse = -1;
  return true;
}

uint8_t PpdevPorts::In(uint16_t addr) {
  Device* device = DeviceAt(addr);
  if (device == nullptr || device->fd < 0) return 0xFF;
  unsigned char value = 0xFF;
  switch (addr - device->base) {
    case 0:
      if (!Call(device, PPRDATA, "PPRDATA", &value)) return 0xFF;
      return value;
    case 1:
      if (!Call(device, PPRSTATUS, "PPRSTATUS", &value)) return 0xFF;
      return value;
    default:
      if (!Call(device, PPRCONTROL, "PPRCONTROL", &value)) return 0xFF;
      return static_cast<uint8_t>((value & kControlLines) | (device->reverse == 1 ? 0x20 : 0));
  }
}

void PpdevPorts::Out(uint16_t addr, uint8_t value) {
  Device* device = DeviceAt(addr);
  if (device == nullptr || device->fd < 0) return;
  const int reg = addr - device->base;
  unsigned char byte = value;
  if (reg == 0) {
    Call(device, PPWDATA, "PPWDATA", &byte);
  } else if (reg == 2) {
    int reverse = (value & kControlReverse) != 0 ? 1 : 0;
    if (reverse != device->reverse && Call(device, PPDATADIR, "PPDATADIR", &reverse)) {
      device->reverse = static_cast<int8_t>(reverse);
    }
    byte = value & kControlLines;
    Call(device, PPWCONTROL, "PPWCONTROL", &byte);
  }
  // The status register takes no writes.
}

void PpdevPorts::ReleaseAllBut(uint16_t keep) {
  for (int i = 0; i < count_; ++i) {
    Device& device = devices_[i];
    if (device.fd < 0 || device.base == keep) continue;
    ppdevOps.ioctl(device.fd, PPRELEASE, nullptr);
    ppdevOps.close(device.fd);
    device.fd = -1;
  }
}

namespace {

struct Advice {
  const char* call;    // the failed call this row is about
  int errors[3];       // its errno values (0 ends the list)
  const char* before;  // the line: before, the device, after
  const char* after;
};

constexpr char kNotAPort[] = " is not a parallel port device (give one such as /dev/parport0)";

constexpr Advice kAdvice[] = {
    {"open", {ENOENT}, "no ", ": is the parport_pc module loaded? (modprobe parport_pc ppdev)"},
    {"open", {ENXIO, ENODEV}, "", " has no port behind it: is the parport_pc module loaded?"},
    {"open",
     {EACCES, EPERM},
     "no permission to open ",
     ": add yourself to the group lp, then log in again"},
    {"open", {EISDIR}, "", kNotAPort},
    {"PPEXCL", {ENOTTY, EINVAL}, "", kNotAPort},
    {"PPCLAIM", {ENOTTY}, "", kNotAPort},
    {"PPCLAIM",
     {EBUSY, ENXIO},
     "",
     " is in use by another driver or program (a printer driver? modprobe -r lp)"},
};

}  // namespace

void PpdevAdvice(const char* path, const PortFault& fault, char* out, size_t size) {
  for (const Advice& advice : kAdvice) {
    if (strcmp(advice.call, fault.call) != 0) continue;
    for (int error : advice.errors) {
      if (error != 0 && error == fault.error) {
        snprintf(out, size, "%s%s%s", advice.before, path, advice.after);
        return;
      }
    }
  }
  snprintf(out, size, "cannot open %s: %s: %s", path, fault.call, strerror(fault.error));
}

namespace {

constexpr int kMaxPortNumber = 32;

// Marks every N of the entries "parportN" in `dir`.
void MarkPorts(const char* root, const char* dir, bool* seen) {
  char path[512];
  if (snprintf(path, sizeof path, "%s%s", root, dir) >= static_cast<int>(sizeof path)) return;
  DIR* d = opendir(path);
  if (d == nullptr) return;
  while (const dirent* entry = readdir(d)) {
    const char* name = entry->d_name;
    if (strncmp(name, "parport", 7) != 0 || name[7] < '0' || name[7] > '9') continue;
    char* end = nullptr;
    const long n = strtol(name + 7, &end, 10);
    if (*end == '\0' && n < kMaxPortNumber) seen[n] = true;
  }
  closedir(d);
}

// The first number in procfs's base-addr ("888\t1912"), or 0.
uint16_t BaseAddress(const char* root, int n) {
  char path[512];
  snprintf(path, sizeof path, "%s/proc/sys/dev/parport/parport%d/base-addr", root, n);
  FILE* f = fopen(path, "re");
  if (f == nullptr) return 0;
  unsigned long base = 0;
  if (fscanf(f, "%lu", &base) != 1 || base > 0xFFFD) base = 0;
  fclose(f);
  return static_cast<uint16_t>(base);
}

}  // namespace

int ListSystemPorts(const char* root, PortInfo* out, int max) {
  if (strcmp(root, "/") == 0) root = "";
  bool seen[kMaxPortNumber] = {};
  MarkPorts(root, "/proc/sys/dev/parport", seen);
  MarkPorts(root, "/sys/class/ppdev", seen);
  MarkPorts(root, "/dev", seen);
  int count = 0;
  for (int n = 0; n < kMaxPortNumber && count < max; ++n) {
    if (!seen[n]) continue;
    PortInfo& info = out[count++];
    snprintf(info.device, sizeof info.device, "/dev/parport%d", n);
    info.base = BaseAddress(root, n);
    char path[512];
    snprintf(path, sizeof path, "%s%s", root, info.device);
    const int fd = ppdevOps.open(path, kOpenFlags);
    info.openFault = fd < 0 ? PortFault{"open", errno} : PortFault{};
    if (fd >= 0) ppdevOps.close(fd);
  }
  return count;
}

}  // namespace lpx
