#include "shell/startup.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "convert/variant.h"
#include "link/command.h"
#include "link/port.h"
#include "link/port_select.h"
#include "log/console.h"
#include "log/memo.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/ppdev.h"
#include "platform/rights.h"
#include "service/command_loop.h"
#include "shell/signals.h"

namespace lpx {

uid_t uid = 999;

namespace {

void Print(const char* text) {
  const char* end = text;
  while (*end != '\0') ++end;
  ConsoleWrite(text, static_cast<size_t>(end - text));
}

constexpr CommandOption kServerOptions[] = {
    {"device", 'd', "DEVICE", "a port Linux drives, such as /dev/parport0 (no root)"},
    {"address", 'A', "ADDR", "the port at I/O address ADDR, such as 0xE010 (root)"},
    {"list-ports", 'L', nullptr, "list the ports Linux knows and which you may open"},
    {"help", 'h', nullptr, "show this help"},
    {"version", 'V', nullptr, "show the version"},
};

constexpr char kUsage[] =
    "Usage: lpxferd [1|2|3 | --device DEVICE | --address ADDR | --list-ports | --help | "
    "--version]\n";

void PrintHelp() {
  printf(
      "Usage: lpxferd [1|2|3 | --device DEVICE | --address ADDR]\n"
      "       lpxferd --list-ports | --help | --version\n"
      "Serves this machine's files, with the rights of the user who runs it, to\n"
      "the file manager at the far end of a parallel-port transfer cable.\n\n"
      "  %-22s %s\n  %-22s %s\n  %-22s %s\n",
      "1, 2, 3", "LPT1 (0x3BC), LPT2 (0x378) or LPT3 (0x278), raw", "(none)",
      "wait for the client on LPT3, LPT2, LPT1, or, without", "",
      "the rights for those, on the /dev/parport* you may open");
  for (const CommandOption& o : kServerOptions) {
    char synopsis[40];
    snprintf(synopsis, sizeof synopsis, "-%c, --%s%s%s", o.shortName, o.longName, o.arg ? " " : "",
             o.arg ? o.arg : "");
    printf("  %-22s %s\n", synopsis, o.help);
  }
  printf(
      "\nRaw access needs root's rights: install lpxferd set-user-id root; it gives\n"
      "them back for good as soon as the port is open. Ctrl/C ends the server.\n");
}

// Turns a complaint into the usage line and exit status 1.
int Usage(const char* complaint, const char* what) {
  fprintf(stderr, "lpxferd: %s \"%s\"\n%s", complaint, what, kUsage);
  return 1;
}

void PrintBanner() {
  Print("\nLPXFERD 1.0 -- Parallel port server for Quillfile.\n\n");
  Print("Usage:  ./lpxferd <portnr>     with <portnr> = 1|2|3 or empty\n");
  Print("This program can be aborted by pressing Ctrl/C\n");
  Print("Serves this machine's files to the file manager at the far end of the cable.\n");
  if (variantC) {
    Print("UTF-8 build: local file names, console and text files are UTF-8.\n");
  }
  Print("==========================================================\n");
}

void PrintRightsWarning() {
  Print("\nWARNING:\n   You can run this program as a normal user,\n");
  Print("   but it must have the \"root sticky bit\" set.\n");
  Print("   This is achieved with the following commands:\n");
  Print("\tsu\n\tchown root lpxferd\n\tchmod  +s  lpxferd\n\texit\n\n");
}

}  // namespace

void LoadTimeZone() {
  if (getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 0);
  tzset();
}

int ParseServerArgs(int argc, char** argv, PortChoice* choice) {
  option longOptions[std::size(kServerOptions) + 1] = {};
  char shortOptions[2 * std::size(kServerOptions) + 2] = "+";
  size_t n = 1;
  for (size_t i = 0; i < std::size(kServerOptions); ++i) {
    const CommandOption& o = kServerOptions[i];
    longOptions[i] = {o.longName, o.arg ? required_argument : no_argument, nullptr, o.shortName};
    shortOptions[n++] = o.shortName;
    if (o.arg != nullptr) shortOptions[n++] = ':';
  }
  *choice = PortChoice{};
  optind = 0;  // a new parse, also when a test parses again
  bool positional = false;
  for (;;) {
    // "+": getopt stops at the first argument that is no option, so that
    // the port number is read where it stands; only the first one counts.
    const int c = getopt_long(argc, argv, shortOptions, longOptions, nullptr);
    if (c == -1 && optind < argc) {
      const char* arg = argv[optind++];
      if (std::exchange(positional, true) || arg[0] == '\0') continue;
      if (choice->kind != PortKind::kDiscover) return Usage("one port only, not also", arg);
      if (arg[0] < '1' || arg[0] > '3') return Usage("no such port number", arg);
      *choice = PortChoice{.kind = PortKind::kNumber, .number = arg[0] - '0'};
      continue;
    }
    if (c == -1) break;
    const bool named = c == 'd' || c == 'A';
    if (named && choice->kind != PortKind::kDiscover)
      return Usage("one port only, not also", optarg);
    switch (c) {
      case 'd':
        *choice = PortChoice{.kind = PortKind::kDevice, .device = optarg};
        break;
      case 'A':
        if (!ParsePortAddress(optarg, &choice->address)) {
          return Usage("--address wants an I/O address from 0x001 to 0xFFFD, not", optarg);
        }
        choice->kind = PortKind::kAddress;
        break;
      case 'L':
        // Which ports the user may open, not root: nothing borrowed.
        uid = identity.getuid();
        if (!DropRights()) return 1;
        PrintPortList();
        return 0;
      case 'h':
        PrintHelp();
        return 0;
      case 'V':
        printf("lpxferd 1.0\n");
        return 0;
      default:
        fputs(kUsage, stderr);
        return 1;
    }
  }
  return -1;
}

int ServerMain(int argc, char** argv) {
  time_a = platform->Now();
  PortChoice choice;
  const int parsed = ParseServerArgs(argc, argv, &choice);
  if (parsed >= 0) return parsed;
  // The ppdev device, when one was opened, is released on every way out.
  struct ReleaseDevices {
    ~ReleaseDevices() { ppdevPorts.ReleaseAll(); }
  } releaseDevices;
  LoadTimeZone();
  PrintBanner();
  InstallSignalHandlers();

  uid = identity.getuid();
  uid_t euid = identity.geteuid();
  // A device needs no root, so no advice to borrow it.
  if (!(uid != 0 && euid == 0) && choice.kind != PortKind::kDevice) PrintRightsWarning();

  char name[kDevicePathSize] = "";
  if (choice.kind == PortKind::kNumber) portnr[0] = static_cast<char>('0' + choice.number);
  if (choice.kind == PortKind::kNumber || choice.kind == PortKind::kDiscover) {
    snprintf(name, sizeof name, "LPT%s", portnr);
  } else {
    PortChoiceName(choice, name, sizeof name);
  }
  ConsolePrintf("Allocating port %s:", name);

  char why[kDevicePathSize + 96] = "";
  bool baseKnown = true;
  int base = 0;
  // A port that needs no borrowed rights (a device, or the simulated cable,
  // a file of the user's) is opened with the user's own: a set-user-id copy
  // gives root's back before, so that it opens no file the user may not.
  const bool ownRights = choice.kind == PortKind::kDevice || !platform->PermitNeedsRoot();
  const bool dropped = ownRights && DropRights();
  if (ownRights && !dropped) {
    ConsolePrintf("\nFailed! -- cannot give back root's rights; refusing to %s as root.\n\n",
                  choice.kind == PortKind::kDevice ? "open a device" : "serve files");
    return 1;
  }
  if (choice.kind != PortKind::kDiscover) {
    base = OpenChosenPort(choice, &baseKnown, why, sizeof why);
  } else if (portBackend.devices && !RawPortsPermitted()) {
    base = FindDevicePort(name, sizeof name, &baseKnown);
  }
  if (choice.kind == PortKind::kDiscover && base == 0) base = FindPort();
  portaddr = base;
  portaddr1 = base + 1;
  if (base == 0) {
    const char* refused = platform->WhyRefused();
    if (refused != nullptr) ConsolePrintf("\nAccess refused: %s", refused);
    if (why[0] == '\0') snprintf(why, sizeof why, "no response on any port.");
    ConsolePrintf("\nFailed! -- %s\n\n", why);
    return 1;
  }

  if (!dropped && !DropRights()) {
    Print("\nFailed! -- cannot give back root's rights; refusing to serve files as root.\n\n");
    return 1;
  }

  abortClicked = 0;
  blocktransfer = 0;
  // After discovery portnr names the LPT port that answered, else the
  // name does (its address only when Linux told it).
  if (portnr[0] != '\0') snprintf(name, sizeof name, "LPT%s", portnr);
  if (baseKnown) {
    ConsolePrintf("\t\t\t\tOK\nAccepting connections through port %s, port addr 0x%03X\n", name,
                  static_cast<unsigned>(portaddr));
  } else {
    ConsolePrintf("\t\t\t\tOK\nAccepting connections through port %s\n", name);
  }
  DoServer();
  AddToMemo("\nDISCONNECT\t\t\t\t\tOK\n");
  return 0;
}

}  // namespace lpx
