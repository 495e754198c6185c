// Which port a program uses, as its command line names it, the opening of
// that port, and the list of the ports this machine has. Shared by the
// server and the client.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ppdev.h"

namespace lpx {

enum class PortKind : uint8_t {
  kDiscover,  // none named: the server probes for the client
  kNumber,    // LPT1, LPT2 or LPT3
  kAddress,   // a raw I/O address (ioperm)
  kDevice,    // a ppdev device such as /dev/parport0
};

struct PortChoice {
  PortKind kind = PortKind::kDiscover;
  int number = 0;                // kNumber: 1..3
  uint16_t address = 0;          // kAddress
  const char* device = nullptr;  // kDevice
};

// A command-line option as the programs' option tables give it; the three
// that name the port (--device, --address, --list-ports) mean the same in
// both programs.
struct CommandOption {
  const char* longName;
  char shortName;
  const char* arg;  // null when the option takes none
  const char* help;
};

// What the build offers beyond raw port addresses; main sets it.
struct PortBackend {
  bool devices = false;  // ppdev devices: --device, and discovery among them
  // The ports --list-ports shows, up to `max` entries into `out`; with
  // devices, also where device discovery and base addresses come from.
  int (*list)(PortInfo* out, int max) = nullptr;
};
extern PortBackend portBackend;

// Parses an I/O address: hexadecimal with "0x", else decimal, from 0x001
// to 0xFFFD (the three registers end at 0xFFFF at most).
bool ParsePortAddress(const char* text, uint16_t* address);

// The port as messages name it: "LPT2", "0xE010" or the device.
void PortChoiceName(const PortChoice& choice, char* out, size_t size);

// Opens the named port (not kDiscover). A device becomes the platform
// (ppdevPorts, with the sleeps and clock of the platform before). Returns
// the base address, or 0 with the reason in `why` (empty when the only
// reason is that access was refused). `baseKnown` (may be null) tells
// whether Linux gave a device's base address; otherwise its base is one of
// our own, not to be shown.
int OpenChosenPort(const PortChoice& choice, bool* baseKnown, char* why, size_t size);

// Discovery when the raw ports cannot be opened: probes the ppdev devices
// this user may open, in the order of their numbers, as FindPort probes the
// LPT ports, and releases the others. Returns the base address (portaddr,
// portaddr1 set; `device` names it, `baseKnown` as above), or 0 with the
// previous platform back.
int FindDevicePort(char* device, size_t size, bool* baseKnown);

// Whether any of the three LPT ports' registers may be used.
bool RawPortsPermitted();

// Prints the ports the build can reach on standard output: each device
// with its base address and whether this user may open it.
void PrintPortList();

}  // namespace lpx
