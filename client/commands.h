// The client's command table, its option table, the help text made from
// both, and the whole run of the program.
#pragma once

#include <vector>

#include "client/listing_table.h"

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

// Lists the remote directory `path` (as typed) into `entries` and prints
// it as a table. Returns 0 or the exit status after reporting.
int ShowListing(const char* path, std::vector<ListingEntry>* entries);

// Parses argv[1..] (argv[0] names the program or the command) as the command
// line's options, on top of the options already set. Returns -1 with
// *first at the first argument that is no option (getopt moves them all
// behind the options), or the exit status to end with (help, version, port
// list, or a bad option after reporting). Reset optind to 0 first.
int ParseCommandOptions(int argc, char** argv, int* first);

// Sets the Ctrl/C handler: the first Ctrl/C stops a transfer at its next
// frame (keyflag); a second one ends the program.
void CatchInterrupt();

// The whole program. REQUIRES: `platform` set. Returns the exit status.
int ClientMain(int argc, char** argv);

}  // namespace lpx
