// Many files in one connection: "get REMOTE... LOCAL-DIR", with '*' and
// '?' in the last part of a remote path matched against one listing of its
// directory, and "put LOCAL... REMOTE-DIR", checked with one listing of the
// directory after all its files have gone. Each file travels as a single
// fetch or store does; one that fails is reported and the others go on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/listing_table.h"
#include "platform/clock.h"

namespace lpx {

// True when `text` holds '*' or '?'. Brackets are no wildcard: a name such
// as "photo [1].jpg" is fetched by its plain name.
bool HasWildcard(const char* text);

// Whether `name` matches `pattern`: '*' any run of bytes, '?' any one byte
// (one character on the cable), every other byte itself. As in a shell, a
// name that begins with '.' is matched only by a pattern that does.
bool MatchName(const char* pattern, const char* name);

// True when a failure with `status` leaves the session unfit for another
// file.
bool EndsSession(int status);

// The local name of the listed name `name` (client bytes), when it travels
// both ways unchanged: no control character (it would be shown as '?'), no
// separator, and back to the same client bytes. False otherwise, or when it
// does not fit `size`.
bool ListedNameToLocal(const std::string& name, char* local, size_t size);

// Adds up a many-file transfer and prints its summary line.
struct BatchTally {
  const char* verb;  // "fetched" or "stored"
  int64_t startMs = NowMs();
  int files = 0;  // planned and skipped
  int done = 0;
  int failed = 0;
  int passedOver = 0;  // local symbolic links and special files left alone
  uint64_t bytes = 0;
  int ended = 0;  // the status that ended the session, if one did

  // Counts one file; false when the transfer cannot go on.
  bool Count(int status);
  // Prints the summary (none with --quiet). Returns the exit status: 0,
  // kExitSomeFailed, or the status that ended the session.
  int Finish();
};

// One file of a many-file transfer.
struct BatchFile {
  std::string from;     // get: the remote path in client form; put: the local path
  std::string to;       // get: the local file; put: the remote path as typed
  std::string shown;    // the remote path in local characters, for messages
  bool resume = false;  // put: continue the server's copy ("REST ?")
};

struct BatchPlan {
  std::vector<BatchFile> files;
  int skipped = 0;  // reported and not tried; each counts as failed
};

// Lists a remote directory (client form): 0, kExitListError after reporting
// one that cannot be listed, or the status that ends the session.
using ListRemoteDir = std::function<int(const std::string& clientDir, std::vector<ListingEntry>*)>;

// Plans fetching `remotes` (as typed) into the directory `localDir`. A
// pattern is matched against the files (not directories) of one listing
// per directory; a match whose name cannot travel both ways, a name listed
// twice, a pattern without a match and a second file for the same local
// name are reported and skipped. Returns 0, or the status of a listing
// that ended the session.
int PlanFetches(const std::vector<std::string>& remotes, const std::string& localDir,
                const ListRemoteDir& list, BatchPlan* plan);

// Plans storing `locals` in the remote directory `remoteDir` under their
// own names; a second file for the same remote name is reported and
// skipped.
void PlanStores(const std::vector<std::string>& locals, const std::string& remoteDir,
                BatchPlan* plan);

// Stores the files of `plan` (each with its own `resume`) and checks them
// with one listing per remote directory, counting each in `tally`; stops
// at a failure that ends the session.
void StoreBatch(const BatchPlan& plan, BatchTally* tally);

// The many-file forms. They print a line per file as single transfers do
// and a summary at the end; the status is 0 when every file made it,
// kExitSomeFailed when some did not, or the status of a failure that ended
// the session. Return the exit status.
int GetMany(const std::vector<std::string>& remotes, const std::string& localDir);
int PutMany(const std::vector<std::string>& locals, const std::string& remoteDir);

}  // namespace lpx
