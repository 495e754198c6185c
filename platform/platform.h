// The one seam between the program and the outside world: the port
// registers, the permission to use them, the sleeps and the clock.
//
// Three implementations exist and the build picks one per program:
//   port_hw.cc   ioperm/inb/outb on a real x86 parallel port;
//   port_sim.cc  the simulated cable, a shared 64-byte file per port;
//   testing/fake_port.h  a recording fake with a virtual clock (tests only).
// Nothing above this layer touches hardware, sleeps or reads the clock
// in any other way.
#pragma once

#include <cstdint>

namespace lpx {

// A clock reading: whole seconds since the epoch and milliseconds.
struct TimeB {
  int64_t time = 0;
  uint16_t millitm = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // One byte input from an I/O address.
  virtual uint8_t In(uint16_t addr) = 0;
  // One byte output to an I/O address.
  virtual void Out(uint16_t addr, uint8_t value) = 0;
  // Asks for access to the three addresses base, base + 1, base + 2.
  // Returns true when access was granted.
  virtual bool Permit(uint16_t base) = 0;
  // True when Permit needs the rights that a set-user-id program borrowed
  // (ioperm needs root's): start-up then asks for the port before it gives
  // them back. A backend that opens files answers false, and start-up gives
  // the rights back first, so that nothing is opened or created with them.
  virtual bool PermitNeedsRoot() { return true; }
  // Why a Permit was last refused: one line that names what was refused
  // and what is wrong with it, or nullptr when there is nothing to add.
  virtual const char* WhyRefused() { return nullptr; }
  // Sleeps for the given number of microseconds.
  virtual void SleepUs(uint32_t us) = 0;
  // Reads the clock.
  virtual TimeB Now() = 0;
};

// Forwards every call to another platform. A wrapper that needs one call
// changed (a clock that steps, sleeps that are counted) derives from it and
// overrides only that call.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform* target) : target_(target) {}
  Platform* target() const { return target_; }
  uint8_t In(uint16_t addr) override { return target_->In(addr); }
  void Out(uint16_t addr, uint8_t value) override { target_->Out(addr, value); }
  bool Permit(uint16_t base) override { return target_->Permit(base); }
  bool PermitNeedsRoot() override { return target_->PermitNeedsRoot(); }
  const char* WhyRefused() override { return target_->WhyRefused(); }
  void SleepUs(uint32_t us) override { target_->SleepUs(us); }
  TimeB Now() override { return target_->Now(); }

 private:
  Platform* target_;
};

// The last register access that failed: a backend whose accesses can fail
// (the ppdev one) records it, and the link, which looks after each read,
// ends the exchange as a time-out and logs it. `call` null: none.
struct PortFault {
  const char* call = nullptr;  // the operation that failed, e.g. "PPRSTATUS"
  int error = 0;               // its errno
};
extern PortFault portFault;

// The platform in use. Programs set it first thing in main; tests point it
// at a fake.
extern Platform* platform;

// The factory each program links in from exactly one backend source file.
// `end` is the cable end for the simulated build (0 server, 1 client); the
// hardware build ignores it.
Platform* MakeDefaultPlatform(int end);

// From the same backend source: the ports it can reach, for --list-ports
// (up to `max` into `out`), and whether it opens ppdev devices (--device).
struct PortInfo;
int ListBackendPorts(PortInfo* out, int max);
extern const bool kBackendDevices;

}  // namespace lpx
