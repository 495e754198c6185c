// Whole directory trees: "put -r LOCAL-DIR... REMOTE-DIR" and "get -r
// REMOTE-DIR... LOCAL-DIR". Each tree goes into the target directory under
// its own name; directories are made as needed (MD on the server, empty
// ones too) and a fetched tree is built from the server's listings. Files
// travel one by one as the many-file forms send them, with their times.
//
// With -c a broken tree copy picks up where it stopped: a file whose copy
// at the far end has the same size and time is complete and skipped; the
// partial one continues (get: its .lpxpart; put: a server copy with the
// same time but fewer bytes, as a broken upload leaves it); the rest go
// whole.
//
// What is never done: a local symbolic link or special file inside a tree
// is not followed but reported and passed over (one named on the command
// line is followed); a name that cannot travel the cable unchanged is
// reported and skipped, never altered; a fetched name that is ".", "..",
// holds a separator or is listed twice is refused, and nothing is written
// through a local symbolic link, so a fetch stays inside its target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/listing_table.h"

namespace lpx {

// What a tree copy does with one file.
enum class TreeStep {
  kSend,      // send it whole
  kContinue,  // continue the partial copy
  kSkip,      // complete already
};

// put: the local file's size and FAT time against the server's entry of
// the same name (null when there is none).
TreeStep ChoosePutStep(bool resume, const ListingEntry* remote, uint64_t size, uint32_t fatTime);

// get: the server's entry against the local target (`localSize` -1 when
// there is no regular file) and whether a .lpxpart file lies beside it.
TreeStep ChooseGetStep(bool resume, const ListingEntry& remote, int64_t localSize,
                       uint32_t localFatTime, bool partial);

// The tree forms. They print a line per file as the many-file forms do and
// a summary at the end. Return the exit status: 0 when every file made it,
// kExitSomeFailed when some did not, or the status of a failure that ended
// the session.
int PutTrees(const std::vector<std::string>& locals, const std::string& remoteDir);
int GetTrees(const std::vector<std::string>& remotes, const std::string& localDir);

}  // namespace lpx
