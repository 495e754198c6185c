#include "client/shell_session.h"

#include <dirent.h>
#include <getopt.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "client/batch.h"
#include "client/commands.h"
#include "client/exit_status.h"
#include "client/line_input.h"
#include "client/localtext.h"
#include "client/options.h"
#include "client/transfer.h"
#include "convert/fattime.h"
#include "link/port.h"

namespace lpx {

std::vector<ShellWord> SplitShellLine(const std::string& line) {
  std::vector<ShellWord> words;
  char quote = 0;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote == 0 && (c == ' ' || c == '\t')) {
      inWord = false;
      continue;
    }
    if (!inWord) words.push_back({"", i, false}), inWord = true;
    if (quote == 0 && (c == '\'' || c == '"')) {
      quote = c, words.back().quoted = true;
    } else if (c == quote) {
      quote = 0;
    } else {
      words.back().text += c;
    }
  }
  return words;
}

std::string ResolveRemotePath(const std::string& cwd, const std::string& path) {
  const bool absolute = !path.empty() && IsPathSeparator(path[0]);
  const std::string joined = absolute ? path : cwd + "/" + path;
  std::vector<std::string> parts;
  for (size_t at = 0; at < joined.size();) {
    size_t end = at;
    while (end < joined.size() && !IsPathSeparator(joined[end])) ++end;
    const std::string part = joined.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  if (out.empty()) return "/";
  if (!path.empty() && IsPathSeparator(path.back())) out += "/";
  return out;
}

Completion CompleteFrom(const ShellWord& word, size_t typed,
                        const std::vector<std::string>& names) {
  const size_t slash = word.text.find_last_of("/\\");
  const size_t split = slash == std::string::npos ? 0 : slash + 1;
  const std::string prefix = word.text.substr(split);
  std::vector<std::string> fits;
  for (const std::string& name : names) {
    if (name.compare(0, prefix.size(), prefix) == 0) fits.push_back(name);
  }
  Completion c;
  if (fits.empty()) return c;
  std::string common = fits[0];
  for (const std::string& fit : fits) {
    size_t n = 0;
    while (n < common.size() && n < fit.size() && common[n] == fit[n]) ++n;
    common.resize(n);
  }
  if (fits.size() > 1 && common.size() == prefix.size()) {
    c.choices = fits;
    return c;
  }
  const std::string text = word.text.substr(0, split) + common;
  const bool done = fits.size() == 1 && common.back() != '/';
  const bool plain = text.find_first_of(" \t'\"") == std::string::npos;
  const char quote = text.find('"') == std::string::npos ? '"' : '\'';
  c.erase = typed;
  c.insert = plain ? text : quote + text + quote;
  if (done) c.insert += ' ';
  return c;
}

namespace {

constexpr size_t kPathSize = 1024;

// The remote working directory, the last listing, and what the program's
// command line set: each command starts from those options (ascii and
// binary change the mode kept there).
struct Shell {
  std::string cwd = "/";
  std::string listed;              // the directory of `names`; empty: none
  std::vector<std::string> names;  // its names in local characters, directories with '/'
  ClientOptions defaults = options;
  LocalCharset charset = localCharset;
  int64_t budgetMs = replyBudgetMs;
};

Shell* shell;

// The entries as names for completion.
void Remember(const std::string& dir, const std::vector<ListingEntry>& entries) {
  shell->listed = dir;
  shell->names.clear();
  for (const ListingEntry& e : entries) {
    char name[kPathSize];
    if (e.name == "." || e.name == ".." || !ClientNameToLocal(e.name.c_str(), name, sizeof name)) {
      continue;
    }
    shell->names.push_back(std::string(name) + ((e.attributes & kAttrDirectory) ? "/" : ""));
  }
}

// Lists the remote directory `dir` (local characters) and remembers its
// names. Returns 0, kExitListError for one that is not there (reported
// when `report`), or the exit status after reporting.
int ListDirectory(const std::string& dir, bool report) {
  char clientDir[kPathSize];
  if (!RemotePathToClient(dir.c_str(), clientDir, sizeof clientDir)) {
    Complain("%s: the remote path is too long or has a character the far side cannot name",
             dir.c_str());
    return kExitUsage;
  }
  std::vector<ListingEntry> entries;
  bool missing = false;
  if (int status = ListRemote(clientDir, &entries, &missing)) return status;
  if (missing) {
    if (report) Complain("%s: no such remote directory", dir.c_str());
    return kExitListError;
  }
  Remember(dir, entries);
  return 0;
}

// The names in the local directory `dir`, directories with '/'.
std::vector<std::string> LocalNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    const bool isDir = stat((dir + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    names.push_back(std::string(e->d_name) + (isDir ? "/" : ""));
  }
  closedir(d);
  return names;
}

// --- The session's own commands ----------------------------------------------

struct ShellCommand {
  const char* name;
  const char* args;
  int minArgs;
  int maxArgs;
  const char* help;
  int (*run)(const std::vector<std::string>& args);
};

int Cd(const std::vector<std::string>& args) {
  const std::string dir = ResolveRemotePath(shell->cwd, args.empty() ? "/" : args[0] + "/.");
  const int status = ListDirectory(dir, true);
  if (status == 0) shell->cwd = dir;
  return status;
}

int Pwd(const std::vector<std::string>&) {
  printf("%s\n", shell->cwd.c_str());
  return 0;
}

int Lcd(const std::vector<std::string>& args) {
  if (chdir(args[0].c_str()) == 0) return 0;
  Complain("%s: %s", args[0].c_str(), strerror(errno));
  return kExitLocal;
}

int Lpwd(const std::vector<std::string>&) {
  char dir[4096];
  if (getcwd(dir, sizeof dir) == nullptr) {
    Complain("lpwd: %s", strerror(errno));
    return kExitLocal;
  }
  printf("%s\n", dir);
  return 0;
}

int Ls(const std::vector<std::string>& args) {
  const std::string dir = ResolveRemotePath(shell->cwd, args.empty() ? "." : args[0] + "/.");
  std::vector<ListingEntry> entries;
  if (int status = ShowListing(dir.c_str(), &entries)) return status;
  Remember(dir, entries);
  return 0;
}

int Ascii(const std::vector<std::string>&) {
  shell->defaults.text = true;
  return 0;
}

int Binary(const std::vector<std::string>&) {
  shell->defaults.text = false;
  return 0;
}

int Help(const std::vector<std::string>&);

constexpr ShellCommand kShellCommands[] = {
    {"cd", "[REMOTE-DIR]", 0, 1, "change the remote working directory (default /)", Cd},
    {"pwd", "", 0, 0, "show the remote working directory", Pwd},
    {"lcd", "LOCAL-DIR", 1, 1, "change the local working directory", Lcd},
    {"lpwd", "", 0, 0, "show the local working directory", Lpwd},
    {"ls", "[REMOTE-DIR]", 0, 1, "list a remote directory (default: the working one)", Ls},
    {"ascii", "", 0, 0, "text mode from now on (as -a)", Ascii},
    {"binary", "", 0, 0, "binary mode from now on (as -b, the default)", Binary},
    {"help", "", 0, 0, "show this help", Help},
    {"quit", "", 0, 0, "end the session (also: exit, or Ctrl/D)", nullptr},
};

int Help(const std::vector<std::string>&) {
  printf(
      "Remote paths are taken from the remote working directory; options go after\n"
      "the command (get -a NOTES.TXT); a '-' before a command lets a script go on\n"
      "when it fails.\n");
  for (const ShellCommand& c : kShellCommands) {
    const std::string synopsis = std::string(c.name) + (c.args[0] ? " " : "") + c.args;
    printf("  %-21s %s\n", synopsis.c_str(), c.help);
  }
  for (int i = 0; i < kClientCommandCount; ++i) {
    const ClientCommand& c = kClientCommands[i];
    if (strcmp(c.name, "ls") == 0) continue;  // the session's own
    const std::string synopsis = std::string(c.name) + (c.args[0] ? " " : "") + c.args;
    printf("  %-21s %s\n", synopsis.c_str(), c.help);
  }
  fflush(stdout);
  return 0;
}

const ShellCommand* FindShellCommand(const std::string& name) {
  for (const ShellCommand& c : kShellCommands) {
    if (name == c.name || (c.run == nullptr && (name == "exit" || name == "bye"))) return &c;
  }
  return nullptr;
}

// --- The client's commands ---------------------------------------------------

bool SamePort(const PortChoice& a, const PortChoice& b) {
  return a.kind == b.kind && a.number == b.number && a.address == b.address && a.device == b.device;
}

// The arguments of `command` made ready to run: remote paths resolved, and
// local wildcards of put expanded as a shell would (a pattern that matches
// nothing stays as it is). put with one argument stores into the working
// directory.
std::vector<std::string> Prepare(const ClientCommand& command, char** argv, int argc,
                                 const std::vector<bool>& quoted) {
  const bool get = strcmp(command.name, "get") == 0;
  const bool put = strcmp(command.name, "put") == 0;
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const bool remote = get ? (argc == 1 || i < argc - 1) : !put || (argc > 1 && i == argc - 1);
    if (put && !remote && !quoted[i] && HasWildcard(argv[i])) {
      glob_t g;
      if (glob(argv[i], GLOB_NOCHECK, nullptr, &g) == 0) {
        args.insert(args.end(), g.gl_pathv, g.gl_pathv + g.gl_pathc);
      }
      globfree(&g);
      continue;
    }
    args.push_back(remote ? ResolveRemotePath(shell->cwd, argv[i]) : argv[i]);
  }
  if (put && argc == 1) args.push_back(shell->cwd == "/" ? "/" : shell->cwd + "/");
  return args;
}

// Runs a command of the client's table with the options of its line on top
// of the session's.
int RunClientCommand(const std::vector<ShellWord>& words) {
  std::vector<std::string> texts;
  for (const ShellWord& w : words) texts.push_back(w.text);
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  optind = 0;
  int first = 0;
  const int parsed = ParseCommandOptions(static_cast<int>(argv.size()), argv.data(), &first);
  if (parsed >= 0) return parsed;
  if (!SamePort(options.port, shell->defaults.port)) {
    Complain("the port is chosen when the session starts");
    return kExitUsage;
  }
  const ClientCommand* command = FindClientCommand(argv[0]);
  std::vector<bool> quoted;  // getopt moved the arguments behind the options
  for (int i = first; i < static_cast<int>(argv.size()); ++i) {
    for (size_t w = 0; w < words.size(); ++w) {
      if (texts[w].data() == argv[i]) quoted.push_back(words[w].quoted);
    }
  }
  std::vector<std::string> args =
      Prepare(*command, argv.data() + first, static_cast<int>(argv.size()) - first, quoted);
  const int nargs = static_cast<int>(args.size());
  if (nargs < command->minArgs || nargs > command->maxArgs) {
    Complain("usage: %s %s", command->name, command->args);
    return kExitUsage;
  }
  std::vector<char*> run;
  for (std::string& a : args) run.push_back(a.data());
  run.push_back(nullptr);
  return command->run(nargs, run.data());
}

// Runs one line's command. Returns its exit status.
int RunCommand(const std::vector<ShellWord>& words) {
  // ls and its other names list the working directory by default.
  const ClientCommand* client = FindClientCommand(words[0].text.c_str());
  const bool ls = client != nullptr && strcmp(client->name, "ls") == 0;
  if (const ShellCommand* c = FindShellCommand(ls ? "ls" : words[0].text)) {
    std::vector<std::string> args;
    for (size_t i = 1; i < words.size(); ++i) args.push_back(words[i].text);
    const int nargs = static_cast<int>(args.size());
    if (nargs >= c->minArgs && nargs <= c->maxArgs) return c->run(args);
    Complain("usage: %s %s", c->name, c->args);
    return kExitUsage;
  }
  if (client == nullptr) {
    Complain("unknown command \"%s\" ('help' lists them)", words[0].text.c_str());
    return kExitUsage;
  }
  options = shell->defaults;
  const int status = RunClientCommand(words);
  options = shell->defaults;
  localCharset = shell->charset;
  replyBudgetMs = shell->budgetMs;
  shell->listed.clear();  // it may have changed what is there
  return status;
}

// Completes the word before the cursor: a command name first, then local
// names for put and lcd, remote names for the others.
Completion CompleteLine(const std::string& before) {
  std::vector<ShellWord> words = SplitShellLine(before);
  if (words.empty() || before.back() == ' ' || before.back() == '\t') {
    words.push_back({"", before.size(), false});
  }
  const ShellWord& word = words.back();
  const size_t typed = before.size() - word.start;
  std::vector<std::string> names;
  if (words.size() == 1) {
    for (const ShellCommand& c : kShellCommands) names.push_back(c.name);
    for (int i = 0; i < kClientCommandCount; ++i) names.push_back(kClientCommands[i].name);
    return CompleteFrom(word, typed, names);
  }
  const size_t slash = word.text.find_last_of("/\\");
  const std::string dirPart = slash == std::string::npos ? "" : word.text.substr(0, slash + 1);
  if (words[0].text == "put" || words[0].text == "lcd") {
    return CompleteFrom(word, typed, LocalNames(dirPart));
  }
  // The last listing, or one of the directory.
  const std::string dir = ResolveRemotePath(shell->cwd, dirPart + ".");
  if (shell->listed != dir && ListDirectory(dir, false) != 0) return {};
  return CompleteFrom(word, typed, shell->names);
}

}  // namespace

int RunShell() {
  const bool terminal = isatty(STDIN_FILENO) != 0;
  Shell session;
  shell = &session;
  LineInput input(terminal, CompleteLine);
  std::string line;
  int status = 0;
  while (input.Read(&line)) {
    // A leading '-': a failure of this command does not end a script.
    const size_t start = line.find_first_not_of(" \t");
    const bool mayFail = start != std::string::npos && line[start] == '-';
    const std::vector<ShellWord> words = SplitShellLine(mayFail ? line.substr(start + 1) : line);
    if (words.empty() || words[0].text[0] == '#') continue;
    if (const ShellCommand* c = FindShellCommand(words[0].text);
        c != nullptr && c->run == nullptr) {
      break;
    }
    // Ctrl/C stops the command's transfer, not the session: the handler is
    // set afresh around each command (a Ctrl/C just before libedit takes the
    // terminal reaches it too); in a script it ends the script.
    keyflag = 0;
    CatchInterrupt();
    status = RunCommand(words);
    if (keyflag && status == 0 && !terminal) status = kExitInterrupted;
    keyflag = abortClicked = 0;
    CatchInterrupt();
    if (status != 0 && mayFail) status = 0;
    if (status != 0 && !terminal) break;
  }
  shell = nullptr;
  return status;
}

}  // namespace lpx
