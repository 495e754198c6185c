// State shared by the transfer handlers and the restart negotiation. At most
// one transfer runs at a time.
#pragma once

#include <sys/stat.h>

#include <cstdio>

namespace lpx {

extern FILE* fi;            // the one open file of a transfer; nullptr when none
extern int ci;              // last character read from fi (EOF = -1)
extern struct stat fprops;  // status record of the entry or file at hand

void ResetTransferState();  // closes fi if open

}  // namespace lpx
