// Start-up: banner, rights check, port selection, giving back root's
// rights, the command loop, and the last log line.
#pragma once

#include <sys/types.h>

namespace lpx {

extern uid_t uid;  // the real user id, read at start-up

// Loads the local time zone for good, so that no time conversion while
// serving reads it (and allocates): the first localtime would load it, and
// with TZ unset every mktime copies the name of the default zone anew.
// Sets TZ to that default (":/etc/localtime", the same zone) when unset.
void LoadTimeZone();

struct PortChoice;

// Reads the command line: an LPT number (only its first character counts;
// an empty one is none) or one of the options of the help text. Prints the
// help, the version or the port list, or a complaint and the usage line.
// Returns -1 when the server is to run on `choice`, else the exit status.
int ParseServerArgs(int argc, char** argv, PortChoice* choice);

// The whole life of the server. REQUIRES: `platform` set. Returns the exit
// status: 0 after the command loop ended, after --help, --version and
// --list-ports; 1 after a bad command line, when no port could be opened or
// root's rights could not be given back.
int ServerMain(int argc, char** argv);

}  // namespace lpx
