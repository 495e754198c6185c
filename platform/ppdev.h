// The ppdev backend: a parallel port that Linux drives (parport), reached
// through /dev/parportN and its ioctls, without root's rights and on any
// architecture. Every open, ioctl and close goes through PpdevOps, which a
// test replaces.
//
// Register conventions. The parport layer hands every low-level driver's
// registers to ppdev in the PC's register format, and parport_pc (the driver
// of on-board ports and PCI/PCIe cards) does no conversion at all:
//   PPRSTATUS  the status register as inb(base + 1) reads it: BUSY (bit 7)
//              is the inverted pin, as on the raw port; no bit is flipped.
//   PPRDATA    inb(base), PPWDATA outb(base).
//   PPWCONTROL bits 0-3 (STROBE, AUTOFD, INIT, SELECT) go to the register as
//              given, again without inversion (the pins of 0, 1 and 3 are
//              inverted by the hardware, as with outb). Bit 4, the interrupt
//              enable, stays the driver's (ppdev counts the interrupts; the
//              protocol never waits for one), and bit 5, the direction, is
//              set with PPDATADIR, which this backend issues whenever a
//              control value changes it.
//   PPRCONTROL the driver's copy of bits 0-3 only; this backend adds bit 5
//              from the direction it set.
// So a value written or read here means what it means through inb/outb.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace lpx {

// The system calls of the ppdev backend, replaceable by tests.
struct PpdevOps {
  int (*open)(const char* path, int flags);
  int (*ioctl)(int fd, unsigned long request, void* arg);
  int (*close)(int fd);
};
extern PpdevOps ppdevOps;
void ResetPpdevOps();

constexpr int kMaxPpdevPorts = 8;
constexpr size_t kDevicePathSize = 128;

// Up to kMaxPpdevPorts ppdev devices, each at a base address of its own:
// its three registers answer at base, base + 1 and base + 2. Sleeps and
// the clock come from another platform.
class PpdevPorts final : public Platform {
 public:
  // Releases every device and forgets them; sleeps and clock from `clock`.
  void Reset(Platform* clock);
  // Adds a device at `base`. False when the table is full or the path
  // does not fit.
  bool Add(const char* path, uint16_t base);
  // Opens the device at `base` and claims it exclusively, once; later calls
  // return true at once. On failure error() says which call failed.
  bool Permit(uint16_t base) override;
  uint8_t In(uint16_t addr) override;
  void Out(uint16_t addr, uint8_t value) override;
  void SleepUs(uint32_t us) override { clock_->SleepUs(us); }
  TimeB Now() override { return clock_->Now(); }

  // Releases and closes every device but the one at `keep` (0: all).
  // Async-signal-safe when the ops are the system's.
  void ReleaseAllBut(uint16_t keep);
  void ReleaseAll() { ReleaseAllBut(0); }
  // Why the last Permit failed.
  PortFault error() const { return error_; }

 private:
  struct Device {
    char path[kDevicePathSize];
    uint16_t base;
    int fd;
    int8_t reverse;  // data direction set: 1 input, 0 output, -1 not yet
  };
  Device* DeviceAt(uint16_t addr);
  bool Call(Device* device, unsigned long request, const char* name, void* arg);

  Platform* clock_ = nullptr;
  Device devices_[kMaxPpdevPorts] = {};
  int count_ = 0;
  PortFault error_;
};

// The ppdev ports of the program. The signal handler releases them.
extern PpdevPorts ppdevPorts;

// What to do about a device that cannot be opened or claimed: one line
// naming the device, written into `out` (cut to fit).
void PpdevAdvice(const char* path, const PortFault& fault, char* out, size_t size);

// --- The ports Linux knows ---------------------------------------------------
struct PortInfo {
  char device[kDevicePathSize];  // "/dev/parport0", or the simulated cable's file
  uint16_t base;                 // base address; 0 when unknown
  PortFault openFault;           // why this user may not open it (call null: may)
};

// Lists the parallel ports under `root` ("/" normally; a test gives a tree
// of its own): every N of ROOT/proc/sys/dev/parport/parportN,
// ROOT/sys/class/ppdev/parportN and ROOT/dev/parportN, in ascending order,
// as /dev/parportN with the base address from the first number in
// ROOT/proc/sys/dev/parport/parportN/base-addr and whether ROOT/dev/parportN
// opens. Returns the number of entries written (at most `max`).
int ListSystemPorts(const char* root, PortInfo* out, int max);

}  // namespace lpx
