#include "link/port_select.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/port.h"
#include "platform/platform.h"

namespace lpx {

PortBackend portBackend;

namespace {

// A device whose base address Linux does not tell gets one of these: its
// registers are reached through the driver, never at this address.
constexpr uint16_t kOwnBases = 0xFF00;

// The ports the build lists (the system's, in a build with devices).
int ListPorts(PortInfo* out) {
  return portBackend.list != nullptr ? portBackend.list(out, kMaxPpdevPorts) : 0;
}

// Finds `path` among the listed ports for its base address.
uint16_t KnownBase(const char* path) {
  PortInfo ports[kMaxPpdevPorts];
  const int n = ListPorts(ports);
  for (int i = 0; i < n; ++i) {
    if (strcmp(ports[i].device, path) == 0) return ports[i].base;
  }
  return 0;
}

}  // namespace

bool ParsePortAddress(const char* text, uint16_t* address) {
  errno = 0;
  char* end = nullptr;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned long value = strtoul(hex ? text + 2 : text, &end, hex ? 16 : 10);
  if (errno != 0 || end == text || *end != '\0' || text[hex ? 2 : 0] == '\0' ||
      text[hex ? 2 : 0] == '-' || value < 1 || value > 0xFFFD) {
    return false;
  }
  *address = static_cast<uint16_t>(value);
  return true;
}

void PortChoiceName(const PortChoice& choice, char* out, size_t size) {
  switch (choice.kind) {
    case PortKind::kNumber:
      snprintf(out, size, "LPT%d", choice.number);
      break;
    case PortKind::kAddress:
      snprintf(out, size, "0x%04X", choice.address);
      break;
    case PortKind::kDevice:
      snprintf(out, size, "%s", choice.device);
      break;
    case PortKind::kDiscover:
      snprintf(out, size, "LPT");
      break;
  }
}

int OpenChosenPort(const PortChoice& choice, bool* baseKnown, char* why, size_t size) {
  why[0] = '\0';
  if (baseKnown != nullptr) *baseKnown = true;
  switch (choice.kind) {
    case PortKind::kNumber:
      return GetPortAddress(choice.number);
    case PortKind::kAddress:
      if (platform->Permit(choice.address)) return choice.address;
      snprintf(why, size, "no access to the registers at 0x%04X (%s)", choice.address,
               errno == ENOSYS ? "this processor has no I/O ports: name a device instead"
                               : "raw access needs root's rights");
      return 0;
    case PortKind::kDevice:
      break;
    case PortKind::kDiscover:
      return 0;
  }
  if (!portBackend.devices) {
    snprintf(why, size,
             "this build reaches the simulated cable only: name its port by number (1, 2 or 3)");
    return 0;
  }
  const uint16_t known = KnownBase(choice.device);
  const uint16_t base = known != 0 ? known : kOwnBases;
  if (baseKnown != nullptr) *baseKnown = known != 0;
  ppdevPorts.Reset(platform);
  ppdevPorts.Add(choice.device, base);
  if (!ppdevPorts.Permit(base)) {
    PpdevAdvice(choice.device, ppdevPorts.error(), why, size);
    return 0;
  }
  platform = &ppdevPorts;
  return base;
}

int FindDevicePort(char* device, size_t size, bool* baseKnown) {
  PortInfo ports[kMaxPpdevPorts];
  const int n = ListPorts(ports);
  uint16_t bases[kMaxPpdevPorts];
  Platform* before = platform;
  ppdevPorts.Reset(platform);
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (ports[i].openFault.call != nullptr) continue;
    bases[count] = ports[i].base != 0 ? ports[i].base : static_cast<uint16_t>(kOwnBases + 4 * i);
    ports[count] = ports[i];
    ppdevPorts.Add(ports[count].device, bases[count]);
    ++count;
  }
  if (count == 0) return 0;
  platform = &ppdevPorts;
  const int found = ProbePorts(bases, count);
  ppdevPorts.ReleaseAllBut(found < 0 ? 0 : bases[found]);
  if (found < 0) {
    platform = before;
    return 0;
  }
  snprintf(device, size, "%s", ports[found].device);
  *baseKnown = ports[found].base != 0;
  return bases[found];
}

bool RawPortsPermitted() {
  for (int number = 3; number >= 1; --number) {
    if (GetPortAddress(number) != 0) return true;
  }
  return false;
}

void PrintPortList() {
  PortInfo ports[kMaxPpdevPorts];
  const int n = ListPorts(ports);
  if (n == 0) printf("No parallel port is known here (is the parport_pc module loaded?).\n");
  for (int i = 0; i < n; ++i) {
    char base[8] = "?";
    if (ports[i].base != 0) snprintf(base, sizeof base, "0x%03X", ports[i].base);
    char access[kDevicePathSize + 96] = "you may open it";
    if (ports[i].openFault.call != nullptr && portBackend.devices) {
      PpdevAdvice(ports[i].device, ports[i].openFault, access, sizeof access);
    } else if (ports[i].openFault.call != nullptr) {
      snprintf(access, sizeof access, "cannot open: %s", strerror(ports[i].openFault.error));
    }
    printf("%-20s %-7s %s\n", ports[i].device, base, access);
  }
  if (portBackend.devices) {
    printf("The raw addresses (1, 2, 3 or --address) need root's rights.\n");
  }
}

}  // namespace lpx
