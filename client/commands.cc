#include "client/commands.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client/batch.h"
#include "client/exit_status.h"
#include "client/listing_table.h"
#include "client/localtext.h"
#include "client/options.h"
#include "client/session.h"
#include "client/shell_session.h"
#include "client/transfer.h"
#include "client/tree.h"
#include "link/command.h"
#include "link/port.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/rights.h"

namespace lpx {

ClientOptions options;

void ResetClientOptions() { options = ClientOptions(); }

namespace {

constexpr size_t kPathSize = 1024;
// The most arguments of a many-file get or put.
constexpr int kManyArgs = 100000;

int RunConnect(int argc, char** argv);
int RunList(int argc, char** argv);
int RunGet(int argc, char** argv);
int RunPut(int argc, char** argv);
int RunDelete(int argc, char** argv);
int RunMkdir(int argc, char** argv);
int RunRmdir(int argc, char** argv);
int RunRename(int argc, char** argv);

constexpr CommandOption kClientOptions[] = {
    {"port", 'p', "N", "LPT port 1, 2 or 3 (default 2: 0x378)"},
    {"device", 'd', "DEVICE", "a port Linux drives, such as /dev/parport0 (no root)"},
    {"address", 'A', "ADDR", "the port at I/O address ADDR, such as 0xE010 (root)"},
    {"list-ports", 'L', nullptr, "list the ports Linux knows and which you may open"},
    {"text", 'a', nullptr, "text mode: CR LF on the cable, characters converted"},
    {"binary", 'b', nullptr, "binary mode, byte for byte (the default)"},
    {"continue", 'c', nullptr, "get: continue a partial fetch; put: resume an upload"},
    {"recursive", 'r', nullptr, "get and put: whole directory trees (with -c: resume one)"},
    {"offset", 'o', "N", "get: fetch from byte N of the file as it travels"},
    {"charset", 'C', "NAME", "local names and text: latin9 or utf8 (default: locale)"},
    {"timeout", 't', "SECONDS", "the longest a reply may take (default 60)"},
    {"quiet", 'q', nullptr, "no progress bar and no summary lines"},
    {"long-hold", 'H', nullptr, "pause 150 ms after each reply (for an older lpxferd)"},
    {"help", 'h', nullptr, "show this help"},
    {"version", 'V', nullptr, "show the version"},
};

// The commands that change one remote name: each is answered "OK" or with
// its one error reply.
struct NamespaceCommand {
  const char* what;        // names the command in messages
  const char* wire;        // the command sent with the path
  const char* errorReply;  // its error reply, the exit status and what it means
  int errorStatus;
  const char* errorText;
  const char* done;  // printed before the path(s) on success
};

constexpr NamespaceCommand kDelete = {
    "delete",
    "DEL",
    kReplyFileError,
    kExitFileError,
    "cannot delete: no such file, no write permission, or a directory that is not empty",
    "deleted"};
constexpr NamespaceCommand kMkdir = {
    "mkdir",
    "MD",
    kReplyMkdirError,
    kExitMkdirError,
    "cannot create the directory: it exists already, or no write permission in its parent",
    "created directory"};
constexpr NamespaceCommand kRmdir = {
    "rmdir",
    "RD",
    kReplyRmdirError,
    kExitRmdirError,
    "cannot remove the directory: not empty, not a directory, or no write permission",
    "removed directory"};
// Sent after "RNFR" with the old path.
constexpr NamespaceCommand kRename = {"rename",
                                      "RNTO",
                                      kReplyRenameError,
                                      kExitRenameError,
                                      "cannot rename: no such file, or no write permission",
                                      "renamed"};

// Turns "OK" into 0 and the command's error reply into its status with a
// message about `path`; anything else is a protocol error.
int NamespaceReply(const NamespaceCommand& command, const char* path) {
  char reply[kCommandBufferSize];
  if (int status = Reply(command.what, reply, sizeof reply)) return status;
  if (strcmp(reply, kReplyOk) == 0) return 0;
  if (strcmp(reply, command.errorReply) == 0) {
    Complain("%s: %s (%s)", path, command.errorText, command.errorReply);
    return command.errorStatus;
  }
  return UnexpectedReply(command.what, reply);
}

bool ToClientPath(const char* path, char* out, size_t size) {
  if (RemotePathToClient(path, out, size)) return true;
  Complain("%s: the remote path is too long or has a character the far side cannot name", path);
  return false;
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  if (options.quiet) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

// Every session begins with CONNECT, answered "OK A". A server that is
// still in the middle of a frame of a client that vanished would take the
// first command's bytes as the rest of that frame; CONNECT is harmless
// there, and only its proper answer shows that the server is back at its
// command loop. So nothing that changes files is sent before it. One retry
// after the server has had time to give up the old exchange.
int Greet(char* reply, size_t size) {
  for (int attempt = 0;; ++attempt) {
    LinkResult result = SendCommand("CONNECT");
    if (result == LinkResult::kOk) result = ReceiveReply(reply, size);
    if (result == LinkResult::kOk || result == LinkResult::kNoServer || attempt > 0) {
      if (result != LinkResult::kOk) return LinkFailure("connect", result);
      break;
    }
    SettleAfterFailure();
  }
  if (strcmp(reply, kReplyConnected) != 0) return UnexpectedReply("connect", reply);
  return 0;
}

int RunConnect(int, char**) {
  char reply[kCommandBufferSize];
  if (int status = Greet(reply, sizeof reply)) return status;
  char name[kDevicePathSize];
  PortChoiceName(options.port, name, sizeof name);
  Say("connected: the server on %s answers \"%s\"\n", name, reply);
  return 0;
}

int RunList(int argc, char** argv) {
  std::vector<ListingEntry> entries;
  return ShowListing(argc > 0 ? argv[0] : "/", &entries);
}

// More than one remote, or a wildcard in the one remote, fetches many
// files into a directory, as -r fetches trees; otherwise the second
// argument may name a file.
int RunGet(int argc, char** argv) {
  if (argc <= 2 && !HasWildcard(argv[0]) && !options.recursive) {
    return GetFile(argv[0], argc > 1 ? argv[1] : nullptr);
  }
  const int remotes = argc == 1 ? 1 : argc - 1;
  const std::vector<std::string> from(argv, argv + remotes);
  const char* to = argc == 1 ? "." : argv[remotes];
  return options.recursive ? GetTrees(from, to) : GetMany(from, to);
}

int RunPut(int argc, char** argv) {
  if (argc == 2 && !options.recursive) return PutFile(argv[0], argv[1]);
  const std::vector<std::string> from(argv, argv + argc - 1);
  return options.recursive ? PutTrees(from, argv[argc - 1]) : PutMany(from, argv[argc - 1]);
}

int RunNamespace(const NamespaceCommand& command, const char* path) {
  char clientPath[kPathSize];
  if (!ToClientPath(path, clientPath, sizeof clientPath)) return kExitUsage;
  if (int status = Command("%s %s", command.wire, clientPath)) return status;
  if (int status = NamespaceReply(command, path)) return status;
  Say("%s %s\n", command.done, path);
  return 0;
}

}  // namespace

int MakeRemoteDirectory(const char* clientPath, const char* shown) {
  if (int status = Command("%s %s", kMkdir.wire, clientPath)) return status;
  return NamespaceReply(kMkdir, shown);
}

namespace {

int RunDelete(int, char** argv) { return RunNamespace(kDelete, argv[0]); }
int RunMkdir(int, char** argv) { return RunNamespace(kMkdir, argv[0]); }
int RunRmdir(int, char** argv) { return RunNamespace(kRmdir, argv[0]); }

int RunRename(int, char** argv) {
  char from[kPathSize], to[kPathSize];
  if (!ToClientPath(argv[0], from, sizeof from) || !ToClientPath(argv[1], to, sizeof to)) {
    return kExitUsage;
  }
  if (int status = Command("RNFR %s", from)) return status;
  if (int status = Command("%s %s", kRename.wire, to)) return status;
  if (int status = NamespaceReply(kRename, argv[0])) return status;
  Say("%s %s to %s\n", kRename.done, argv[0], argv[1]);
  return 0;
}

// The first Ctrl/C asks the transfer to stop at the next frame; a second
// one ends the program at once.
void OnInterrupt(int) {
  keyflag = 1;
  signal(SIGINT, SIG_DFL);
}

bool ParseNumber(const char* text, int64_t min, int64_t max, int64_t* value) {
  errno = 0;
  char* end = nullptr;
  const long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

}  // namespace

int ParseCommandOptions(int argc, char** argv, int* first) {
  std::vector<option> longOptions;
  std::string shortOptions;
  for (const CommandOption& o : kClientOptions) {
    longOptions.push_back(
        {o.longName, o.arg ? required_argument : no_argument, nullptr, o.shortName});
    shortOptions += o.shortName;
    if (o.arg != nullptr) shortOptions += ':';
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  int c;
  int64_t value = 0;
  bool portNamed = false;
  while ((c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1) {
    if ((c == 'p' || c == 'd' || c == 'A') && std::exchange(portNamed, true)) {
      Complain("one port only: --port, --device or --address");
      return kExitUsage;
    }
    switch (c) {
      case 'p':
        if (!ParseNumber(optarg, 1, 3, &value)) {
          Complain("--port wants 1, 2 or 3, not \"%s\"", optarg);
          return kExitUsage;
        }
        options.port.number = static_cast<int>(value);
        break;
      case 'd':
        options.port = PortChoice{.kind = PortKind::kDevice, .device = optarg};
        break;
      case 'A':
        if (!ParsePortAddress(optarg, &options.port.address)) {
          Complain("--address wants an I/O address from 0x001 to 0xFFFD, not \"%s\"", optarg);
          return kExitUsage;
        }
        options.port.kind = PortKind::kAddress;
        break;
      case 'L':
        if (!DropRights()) return kExitNoPort;  // which ports the user may open, not root
        PrintPortList();
        return kExitOk;
      case 'a':
        options.text = true;
        break;
      case 'b':
        options.text = false;
        break;
      case 'c':
        options.resume = true;
        break;
      case 'r':
        options.recursive = true;
        break;
      case 'o':
        if (!ParseNumber(optarg, 0, 0x7FFFFFFF, &value)) {
          Complain("--offset wants a byte count, not \"%s\"", optarg);
          return kExitUsage;
        }
        options.offset = value;
        break;
      case 'C':
        if (!ParseCharset(optarg, &localCharset)) {
          Complain("--charset wants latin9 or utf8, not \"%s\"", optarg);
          return kExitUsage;
        }
        break;
      case 't':
        if (!ParseNumber(optarg, 1, 86400, &value)) {
          Complain("--timeout wants seconds, not \"%s\"", optarg);
          return kExitUsage;
        }
        replyBudgetMs = value * 1000;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'H':
        options.longHold = true;
        break;
      case 'h':
        PrintClientHelp();
        return kExitOk;
      case 'V':
        printf("lpxfer 1.0\n");
        return kExitOk;
      default:
        fprintf(stderr, "Try 'lpxfer --help'.\n");
        return kExitUsage;
    }
  }
  if (options.quiet) options.progress = false;
  if (options.resume && options.offset >= 0) {
    Complain("--continue and --offset do not go together");
    return kExitUsage;
  }
  if (options.recursive && options.offset >= 0) {
    Complain("--recursive and --offset do not go together");
    return kExitUsage;
  }
  *first = optind;
  return -1;
}

int ShowListing(const char* path, std::vector<ListingEntry>* entries) {
  char clientPath[kPathSize];
  if (!ToClientPath(path, clientPath, sizeof clientPath)) return kExitUsage;
  std::string listing;
  if (int status = FetchListing(clientPath, path, &listing)) return status;
  if (!ParseListing(listing, entries)) {
    Complain("%s: the listing is malformed", path);
    return kExitProtocol;
  }
  const std::string table = FormatListingTable(*entries);
  fwrite(table.data(), 1, table.size(), stdout);
  fflush(stdout);
  return 0;
}

void CatchInterrupt() { signal(SIGINT, OnInterrupt); }

const ClientCommand kClientCommands[] = {
    {"connect", "", "", 0, 0, "check that the server answers", RunConnect},
    {"ls", "list dir", "[REMOTE-DIR]", 0, 1, "list a remote directory (default /)", RunList},
    {"get", "fetch", "REMOTE... [LOCAL]", 1, kManyArgs, "fetch files (* and ? in REMOTE)", RunGet},
    {"put", "store", "LOCAL... REMOTE", 2, kManyArgs, "store files (REMOTE/ keeps the names)",
     RunPut},
    {"rm", "del delete", "REMOTE", 1, 1, "delete a file or an empty directory", RunDelete},
    {"mkdir", "md", "REMOTE-DIR", 1, 1, "create a remote directory", RunMkdir},
    {"rmdir", "rd", "REMOTE-DIR", 1, 1, "remove an empty remote directory", RunRmdir},
    {"rename", "mv", "FROM TO", 2, 2, "rename a remote file or directory", RunRename},
};
const int kClientCommandCount = sizeof kClientCommands / sizeof kClientCommands[0];

const ClientCommand* FindClientCommand(const char* name) {
  for (const ClientCommand& command : kClientCommands) {
    if (strcmp(command.name, name) == 0) return &command;
    const char* p = command.aliases;
    const size_t length = strlen(name);
    while (*p != '\0') {
      const char* end = strchr(p, ' ');
      const size_t aliasLength = end ? static_cast<size_t>(end - p) : strlen(p);
      if (aliasLength == length && strncmp(p, name, length) == 0) return &command;
      p += aliasLength;
      while (*p == ' ') ++p;
    }
  }
  return nullptr;
}

// One screen: a line per command and per option (a leading '-' tells
// them apart; -h and -V on the usage line), the commonest exit statuses;
// the manual page has the rest.
void PrintClientHelp() {
  printf("Usage: lpxfer [OPTIONS] [COMMAND [ARGUMENTS]]   (-V: version; all: man lpxfer)\n");
  printf("  %-21s %s\n", "shell", "a session: commands one a line (also with no command)");
  for (const ClientCommand& c : kClientCommands) {
    std::string synopsis = std::string(c.name) + (c.args[0] ? " " : "") + c.args;
    std::string help = c.help;
    if (c.aliases[0] != '\0') {
      std::string aliases(c.aliases);
      for (size_t at = aliases.find(' '); at != std::string::npos; at = aliases.find(' ', at + 2)) {
        aliases.replace(at, 1, ", ");
      }
      help += " (also: " + aliases + ")";
    }
    printf("  %-21s %s\n", synopsis.c_str(), help.c_str());
  }
  for (const CommandOption& o : kClientOptions) {
    if (o.shortName == 'h' || o.shortName == 'V') continue;  // on the usage line
    std::string synopsis = std::string("-") + o.shortName + ", --" + o.longName;
    if (o.arg != nullptr) synopsis += std::string(" ") + o.arg;
    printf("  %-21s %s\n", synopsis.c_str(), o.help);
  }
  printf("Exit status 0: all went well; 9: some files did not; the others: man lpxfer\n");
}

void Complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("lpxfer: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}

int LinkFailure(const char* what, LinkResult result) {
  Complain("%s: %s", what, LinkResultText(result));
  switch (result) {
    case LinkResult::kOk:
      return kExitOk;
    case LinkResult::kNoServer:
      return kExitNoServer;
    case LinkResult::kTimeout:
      return kExitTimeout;
    default:
      return kExitLink;
  }
}

int Command(const char* format, ...) {
  char text[kMaxPayload + 1];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= kCommandBufferSize) {
    Complain("the command is too long for the server (at most %zu characters)",
             kCommandBufferSize - 1);
    return kExitUsage;
  }
  const LinkResult result = SendCommand(text);
  if (result == LinkResult::kOk) return 0;
  const char* blank = strchr(text, ' ');
  const std::string name = blank ? std::string(text, static_cast<size_t>(blank - text)) : text;
  return LinkFailure(name.c_str(), result);
}

int UnexpectedReply(const char* what, const char* reply) {
  Complain("%s: unexpected reply \"%s\"", what, ShownText(reply).c_str());
  return kExitProtocol;
}

int Reply(const char* what, char* reply, size_t size) {
  const LinkResult result = ReceiveReply(reply, size);
  return result == LinkResult::kOk ? 0 : LinkFailure(what, result);
}

int ClientMain(int argc, char** argv) {
  time_a = platform->Now();
  int first = 0;
  // The locale decides the default character set; --charset overrides it.
  setlocale(LC_CTYPE, "");
  localCharset = CharsetFromLocale();
  options.progress = isatty(STDERR_FILENO) != 0;
  const int parsed = ParseCommandOptions(argc, argv, &first);
  if (parsed >= 0) return parsed;
  // No command, or "shell": the session (shell_session.h).
  const bool shell = first >= argc || strcmp(argv[first], "shell") == 0;
  const ClientCommand* command = shell ? nullptr : FindClientCommand(argv[first]);
  if (!shell && command == nullptr) {
    Complain("unknown command \"%s\"", argv[first]);
    fprintf(stderr, "Try 'lpxfer --help'.\n");
    return kExitUsage;
  }
  const int nargs = shell ? 0 : argc - first - 1;
  if (shell && first + 1 < argc) {
    Complain("usage: lpxfer [shell]");
    return kExitUsage;
  }
  if (!shell && (nargs < command->minArgs || nargs > command->maxArgs)) {
    Complain("usage: lpxfer %s %s", command->name, command->args);
    return kExitUsage;
  }
  auto refuseRoot = [] {
    Complain("cannot give back root's rights; refusing to go on");
    return kExitNoPort;
  };
  // A device, and the simulated cable (a file of the user's), are opened
  // with the user's own rights, never root's; the raw registers need root's.
  const bool ownRights = options.port.kind == PortKind::kDevice || !platform->PermitNeedsRoot();
  if (ownRights && !DropRights()) return refuseRoot();
  char why[kDevicePathSize + 96];
  if (!OpenPort(options.port, why, sizeof why)) {
    const char* refused = platform->WhyRefused();
    if (why[0] != '\0') {
      Complain("%s", why);
    } else if (refused != nullptr) {
      Complain("cannot open LPT%d: access refused: %s", options.port.number, refused);
    } else {
      Complain(
          "cannot open LPT%d: no access to the port (the hardware build needs root's rights: "
          "install it set-user-id root, or use --device; the simulated one a cable file it can "
          "write)",
          options.port.number);
    }
    return kExitNoPort;
  }
  if (options.longHold) linkPolicy.acceptHoldMs = kLongHoldMs;
  if (!DropRights()) return refuseRoot();
  CatchInterrupt();
  int status = 0;
  if (shell || command->run != RunConnect) {
    char reply[kCommandBufferSize];
    status = Greet(reply, sizeof reply);
  }
  if (status == 0) status = shell ? RunShell() : command->run(nargs, argv + first + 1);
  ClosePort();
  ppdevPorts.ReleaseAll();
  return status;
}

}  // namespace lpx
