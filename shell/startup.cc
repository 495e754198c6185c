#include "shell/startup.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "convert/variant.h"
#include "link/command.h"
#include "link/port.h"
#include "log/console.h"
#include "log/memo.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "service/command_loop.h"
#include "shell/signals.h"

namespace lpx {

IdentityOps identity;
uid_t uid = 999;

void ResetIdentityOps() {
  identity = IdentityOps{::getuid, ::geteuid,   ::getresuid, ::setresuid,
                         ::getgid, ::getresgid, ::setresgid};
}

namespace {

struct IdentityInit {
  IdentityInit() { ResetIdentityOps(); }
} identityInit;

void Print(const char* text) {
  const char* end = text;
  while (*end != '\0') ++end;
  ConsoleWrite(text, static_cast<size_t>(end - text));
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

// Gives back a borrowed group for good: "chmod +s" sets the set-group-id
// bit too, and a copy installed by root belongs to root's group. Real,
// effective and saved group ids all become the real group. Must run while
// the process still has root's rights. Returns false when that could not
// be done or verified.
bool DropGroup() {
  const gid_t gid = identity.getgid();
  gid_t r = 0, e = 0, s = 0;
  if (identity.getresgid(&r, &e, &s) != 0) return false;
  if (r == gid && e == gid && s == gid) return true;
  if (identity.setresgid(gid, gid, gid) != 0) return false;
  if (identity.getresgid(&r, &e, &s) != 0) return false;
  return r == gid && e == gid && s == gid;
}

// Gives back root's rights for good: the borrowed group first, then real,
// effective and saved user ids all become the real user's. The access to
// the port registers stays with the process. Returns false when that could
// not be done or verified.
bool DropRights() {
  if (!DropGroup()) return false;
  uid_t r = 0, e = 0, s = 0;
  if (identity.getresuid(&r, &e, &s) != 0) return false;
  if (r == uid && e == uid && s == uid) return true;
  if (identity.setresuid(uid, uid, uid) != 0) return false;
  if (identity.getresuid(&r, &e, &s) != 0) return false;
  return r == uid && e == uid && s == uid;
}

}  // namespace

void LoadTimeZone() {
  if (getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 0);
  tzset();
}

int ServerMain(int argc, char** argv) {
  time_a = platform->Now();
  LoadTimeZone();
  PrintBanner();
  InstallSignalHandlers();

  uid = identity.getuid();
  uid_t euid = identity.geteuid();
  if (!(uid != 0 && euid == 0)) PrintRightsWarning();

  if (argc > 1 && argv[1] != nullptr) {
    portnr[0] = argv[1][0];
    portnr[1] = '\0';
  }
  ConsolePrintf("Allocating port LPT%s:", portnr);

  // A port that needs no borrowed rights (the simulated cable, a file of the
  // user's) is opened with the user's own; the hardware port needs them.
  auto refuseRoot = [] {
    Print("\nFailed! -- cannot give back root's rights; refusing to serve files as root.\n\n");
    return 1;
  };
  if (!platform->PermitNeedsRoot() && !DropRights()) return refuseRoot();

  int base = portnr[0] != '\0' ? GetPortAddress(portnr[0] - '0') : FindPort();
  portaddr = base;
  portaddr1 = base + 1;
  if (base == 0) {
    const char* why = platform->WhyRefused();
    if (why != nullptr) ConsolePrintf("\nAccess refused: %s", why);
    Print("\nFailed! -- no response on any port.\n\n");
    return 1;
  }

  if (!DropRights()) return refuseRoot();

  abortClicked = 0;
  blocktransfer = 0;
  ConsolePrintf("\t\t\t\tOK\nAccepting connections through port LPT%s, port addr 0x%03X\n", portnr,
                static_cast<unsigned>(portaddr));
  DoServer();
  AddToMemo("\nDISCONNECT\t\t\t\t\tOK\n");
  return 0;
}

}  // namespace lpx
