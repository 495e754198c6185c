// The client's command table, its option table, the help text made from
// both, and the whole run of the program.
#pragma once

namespace lpx {

struct ClientCommand {
  const char* name;
  const char* aliases;  // other names, blank-separated, or ""
  const char* args;     // argument synopsis
  int minArgs;
  int maxArgs;
  const char* help;
  int (*run)(int argc, char** argv);
};

// The commands, in the order the help text shows them.
extern const ClientCommand kClientCommands[];
extern const int kClientCommandCount;

// The command named `name` (or one of its aliases), or null.
const ClientCommand* FindClientCommand(const char* name);

// Writes the help text, made from the command, option and exit tables.
void PrintClientHelp();

// The whole program. REQUIRES: `platform` set. Returns the exit status.
int ClientMain(int argc, char** argv);

}  // namespace lpx
